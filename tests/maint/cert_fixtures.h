#pragma once
// Certificate fixtures for the certificate tests, made with the openssl
// command, and the same command as the oracle for hashes, digests and dates.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/support/command.h"

namespace certfixture {

inline std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// "openssl <args>" with its output discarded; true on exit status 0.
inline bool openssl(const std::string& args) {
  int status = std::system(("openssl " + args + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The standard output of "openssl <args>", without the final newline.
inline std::string opensslOutput(const std::string& args) {
  std::string out = runCommand("openssl " + args + " 2>/dev/null").output;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// A self-signed certificate and key; `extra` is added to the command
// ("-addext ...", "-days N").
inline bool selfSigned(const std::string& certificate, const std::string& key,
                       const std::string& subject, const std::string& extra = "", int bits = 2048) {
  return openssl("req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -keyout " +
                 quoted(key) + " -out " + quoted(certificate) + " -subj " + quoted(subject) +
                 " " + extra);
}

// A certificate request and its key.
inline bool request(const std::string& path, const std::string& key, const std::string& subject,
                    const std::string& extra = "", int bits = 2048) {
  return openssl("req -new -newkey rsa:" + std::to_string(bits) + " -nodes -keyout " +
                 quoted(key) + " -out " + quoted(path) + " -subj " + quoted(subject) + " " +
                 extra);
}

}  // namespace certfixture

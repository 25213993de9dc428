#include "bench/usb_bench_env.h"

#include <fcntl.h>
#include <net/if.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>

#include "core/paths.h"
#include "core/tls_session.h"
#include "core/unique_fd.h"

std::string enterPrivateNetwork() {
  if (unshare(CLONE_NEWNET) != 0) return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
  UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd.get() < 0) return std::string("socket: ") + std::strerror(errno);
  ifreq request{};
  std::snprintf(request.ifr_name, sizeof request.ifr_name, "lo");
  if (ioctl(fd.get(), SIOCGIFFLAGS, &request) != 0) return std::string("SIOCGIFFLAGS lo: ") + std::strerror(errno);
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  if (ioctl(fd.get(), SIOCSIFFLAGS, &request) != 0) return std::string("SIOCSIFFLAGS lo: ") + std::strerror(errno);
  return {};
}

BenchRoot::BenchRoot() {
  std::string pattern = (std::filesystem::temp_directory_path() / "usbbenchXXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return;
  path_ = pattern;
  setRootDirectory(path_);
}

BenchRoot::~BenchRoot() {
  setRootDirectory("");
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

namespace {

template <typename T, void (*Free)(T*)>
struct Deleter {
  void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

bool writePem(const std::string& path, mode_t mode, const std::function<int(FILE*)>& write) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return false;
  FILE* file = ::fdopen(fd, "w");
  if (!file) {
    ::close(fd);
    return false;
  }
  const bool written = write(file) == 1;
  return std::fclose(file) == 0 && written;
}

}  // namespace

std::string writeOwnCertificatePair() {
  KeyPtr key(EVP_RSA_gen(2048));
  if (!key) return "RSA key generation failed";
  CertPtr cert(X509_new());
  if (!cert) return "X509_new failed";
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7 * 24 * 3600);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("usbbench"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return "certificate signing failed";

  const std::string certPath = certPairCertificatePath(CERT_PAIR_OWN);
  const std::string keyPath = certPairKeyPath(CERT_PAIR_OWN);
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(certPath).parent_path(), ec);
  if (!writePem(keyPath, 0600, [&](FILE* f) {
        return PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
      })) {
    return "cannot write " + keyPath;
  }
  if (!writePem(certPath, 0644, [&](FILE* f) { return PEM_write_X509(f, cert.get()); })) {
    return "cannot write " + certPath;
  }
  return {};
}

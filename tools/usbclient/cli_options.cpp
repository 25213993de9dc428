#include <unistd.h>

#include <charconv>
#include <cstring>
#include <string_view>

#include "tools/usbclient/cli.h"

namespace usbclient {
namespace {

constexpr uint16_t kPlainPort = 9200;
constexpr uint16_t kTlsPort = 9443;

template <typename T>
bool parseNumber(std::string_view text, T& out, int base = 10) {
  if (base == 16 && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    text.remove_prefix(2);
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && p == text.data() + text.size() && !text.empty();
}

// "PORT:KEY"; the key may itself contain ':'.
bool parseKey(std::string_view text, PortKey& out) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned port = 0;
  if (!parseNumber(text.substr(0, colon), port) || port < 1 || port > 20) return false;
  out.port = static_cast<uint16_t>(port);
  out.key = std::string(text.substr(colon + 1));
  return true;
}

std::string defaultClientName() {
  char host[65] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == 0) return "usbclient";
  return host;
}

}  // namespace

const char* cliUsage() {
  return "usage: usbclient --host HOST [--port PORT] [--tls] [--ca FILE] [--timeout MS]\n"
         "                 [--key PORT:KEY]... [--digest] [--nonce N] [--name NAME]\n"
         "                 COMMAND [ARGUMENTS]\n"
         "commands:\n"
         "  version                      protocol version and device table size\n"
         "  list                         devices the server lists to this client\n"
         "                               (with key proofs for the --key ports)\n"
         "  connect INDEX PORT [SECONDS] take the device, show its descriptors, hold it\n"
         "                               for SECONDS printing server events, release it\n"
         "  disconnect INDEX PORT        release a connected device\n"
         "  status INDEX PORT            port status word and owner\n"
         "  tags                         port tags\n"
         "  mask                         connected-device mask\n"
         "  sysname                      the appliance's system name\n"
         "  storage-check INDEX PORT [BLOCKS]\n"
         "                               write, read back and compare BLOCKS blocks at the\n"
         "                               start, middle and end of a mass-storage device\n"
         "                               (the old contents are written back)\n"
         "  fuse INDEX PORT MOUNTPOINT [FUSE-OPTION]...\n"
         "                               the device's disk as the file MOUNTPOINT/disk,\n"
         "                               served until unmounted\n"
         "The default port is 9200, or 9443 with --tls. Without --ca the server's\n"
         "certificate is not checked.\n";
}

bool parseCliOptions(int argc, char** argv, CliOptions& out, std::string& error) {
  out = CliOptions{};
  out.clientName = defaultClientName();
  int i = 1;
  auto value = [&](const char* name) -> const char* {
    if (i + 1 >= argc) {
      error = std::string(name) + " needs a value";
      return nullptr;
    }
    return argv[++i];
  };
  for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
    std::string_view opt = argv[i];
    const char* v = nullptr;
    if (opt == "--tls") {
      out.server.tls = true;
    } else if (opt == "--digest") {
      out.proofForm = ProofForm::Digest;
    } else if (opt == "--host") {
      if (!(v = value("--host"))) return false;
      out.server.host = v;
    } else if (opt == "--port") {
      if (!(v = value("--port"))) return false;
      if (!parseNumber(v, out.server.port) || out.server.port == 0) {
        error = "bad port: " + std::string(v);
        return false;
      }
      out.portGiven = true;
    } else if (opt == "--ca") {
      if (!(v = value("--ca"))) return false;
      out.server.caFile = v;
    } else if (opt == "--timeout") {
      if (!(v = value("--timeout"))) return false;
      if (!parseNumber(v, out.server.timeoutMs) || out.server.timeoutMs <= 0) {
        error = "bad time-out: " + std::string(v);
        return false;
      }
    } else if (opt == "--key") {
      if (!(v = value("--key"))) return false;
      PortKey k;
      if (!parseKey(v, k)) {
        error = "bad key, expected PORT:KEY with PORT 1..20: " + std::string(v);
        return false;
      }
      out.keys.push_back(std::move(k));
    } else if (opt == "--nonce") {
      if (!(v = value("--nonce"))) return false;
      uint32_t n = 0;
      if (!parseNumber(v, n, std::strncmp(v, "0x", 2) == 0 ? 16 : 10)) {
        error = "bad nonce: " + std::string(v);
        return false;
      }
      out.nonce = n;
    } else if (opt == "--name") {
      if (!(v = value("--name"))) return false;
      out.clientName = v;
    } else {
      error = "unknown option " + std::string(opt);
      return false;
    }
  }
  if (out.server.host.empty()) {
    error = "--host is required";
    return false;
  }
  if (i >= argc) {
    error = "no command";
    return false;
  }
  out.command = argv[i++];
  for (; i < argc; ++i) out.args.emplace_back(argv[i]);
  if (!out.portGiven) out.server.port = out.server.tls ? kTlsPort : kPlainPort;
  if (out.keys.size() > kMaxProofEntries) {
    error = "at most 20 keys";
    return false;
  }
  return true;
}

}  // namespace usbclient

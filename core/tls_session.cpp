#include "core/tls_session.h"

#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#ifndef OPENSSL_NO_ENGINE
#include <openssl/engine.h>
#endif
#include <sys/random.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/paths.h"
#include "core/tick_clock.h"

namespace {

struct MethodRow {
  TlsMethod method;
  const char* keyword;
  int version;  // pinned protocol version, 0 for "any"
  int securityLevel;
};

// TLS 1.0 and 1.1 handshakes fail at every level above 0 on OpenSSL 3.
constexpr MethodRow kMethods[] = {
    {TlsMethod::Any, "any", 0, 1},
    {TlsMethod::Tls10, "tls10", TLS1_VERSION, 0},
    {TlsMethod::Tls11, "tls11", TLS1_1_VERSION, 0},
    {TlsMethod::Tls12, "tls12", TLS1_2_VERSION, 1},
};

const MethodRow& methodRow(TlsMethod method) {
  for (const MethodRow& row : kMethods)
    if (row.method == method) return row;
  return kMethods[0];
}

struct PairRow {
  const char* certificate;
  const char* key;
};

constexpr PairRow kPairs[] = {
    {"/flash/cert_srv.pem", "/flash/cert_pkey.pem"},
    {"/flash/cert_fsrv.pem", "/flash/cert_fpkey.pem"},
    {"/flash/cert_rcert.pem", "/flash/cert_rpriv.pem"},
};
constexpr int kPairCount = sizeof(kPairs) / sizeof(kPairs[0]);

struct VersionName {
  int version;
  const char* name;
};

// SSL_get_version spells TLS 1.0 "TLSv1"; the status pages and logs have
// always said "TLSv1.0".
constexpr VersionName kVersionRenames[] = {{TLS1_VERSION, "TLSv1.0"}};

bool fileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

void printErrors() { ERR_print_errors_fp(stderr); }

// Time left of a bounded loop, in ticks.
class Deadline {
 public:
  explicit Deadline(int timeout) : limit_(timeout), start_(ticks()) {}
  // -1 without a limit, 0 once the time is up, else the ticks left.
  int remaining() const {
    if (limit_ < 0) return -1;
    int64_t left = limit_ - (ticks() - start_);
    return left > 0 ? static_cast<int>(left) : 0;
  }

 private:
  int limit_;
  int64_t start_;
};

struct Providers {
  OSSL_PROVIDER* standard = nullptr;
  OSSL_PROVIDER* legacy = nullptr;
};

Providers& loadedProviders() {
  static Providers providers;
  return providers;
}

constexpr char kEngineId[] = "devcrypto";

// The "devcrypto" engine, looked up once per process. Debian's OpenSSL is
// built without it, so the miss is the normal case there; it is reported
// once, not once per connection.
class HwEngine {
 public:
  static HwEngine& instance() {
    static HwEngine engine;
    return engine;
  }

#ifndef OPENSSL_NO_ENGINE
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  ENGINE* lookup(const char* caller) {
    std::call_once(once_, [&] {
      OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_CRYPTODEV, nullptr);
      engine_ = ENGINE_by_id(kEngineId);
      if (engine_ == nullptr) {
        // The failed DSO load leaves errors that the next error print
        // would show as if they were its own.
        ERR_clear_error();
        std::fprintf(stderr, "%s() can not find engine Id: %s\n", caller, kEngineId);
      }
    });
    return engine_;
  }

  void makeDefault() {
    ENGINE* engine = lookup("InitHwEngineServerSSL");
    if (engine == nullptr) return;
    if (!ENGINE_init(engine)) {
      reportActivation("InitHwEngineServerSSL");
      return;
    }
    ENGINE_register_complete(engine);
    if (!ENGINE_set_default(engine, ENGINE_METHOD_ALL & ~ENGINE_METHOD_RAND))
      reportActivation("InitHwEngineServerSSL");
    ENGINE_finish(engine);
  }

  void offerForClientCertificates(SSL_CTX* ctx) {
    ENGINE* engine = lookup("EnableHwEngineClientSSL");
    if (engine == nullptr) return;
    if (!SSL_CTX_set_client_cert_engine(ctx, engine)) {
      ERR_clear_error();
      reportActivation("EnableHwEngineClientSSL");
    }
  }
#pragma GCC diagnostic pop
#else
  void* lookup(const char* caller) {
    std::call_once(once_, [&] {
      std::fprintf(stderr, "%s() can not find engine Id: %s\n", caller, kEngineId);
    });
    return nullptr;
  }
  void makeDefault() { lookup("InitHwEngineServerSSL"); }
  void offerForClientCertificates(SSL_CTX*) { lookup("EnableHwEngineClientSSL"); }
#endif

 private:
  void reportActivation(const char* caller) {
    if (!activationReported_.exchange(true))
      std::fprintf(stderr, "%s() can not activate engine: %s\n", caller, kEngineId);
  }

  std::once_flag once_;
#ifndef OPENSSL_NO_ENGINE
  ENGINE* engine_ = nullptr;  // kept for the life of the process
#endif
  std::atomic<bool> activationReported_{false};
};

// One step of a bounded loop: waits for what SSL_get_error(result) asks for
// within `left` ticks (-1: no limit). 1 to try again, -4 for an error that
// is no want, else the wait's result (0 or a negative code).
int waitForSocket(SSL* ssl, int result, int left, TlsTransport& transport) {
  int error = SSL_get_error(ssl, result);
  if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -4;
  if (left == 0) return -2;
  return error == SSL_ERROR_WANT_READ ? transport.waitReadable(left)
                                      : transport.waitWritable(left);
}

struct CtxDeleter {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<SSL_CTX, CtxDeleter>;

// A context for one connection: method, security level, engine, cipher list
// and write modes, without a certificate yet.
CtxPtr makeContext(TlsRole role, const TlsSettings& settings) {
  CtxPtr ctx(SSL_CTX_new(role == TlsRole::Server ? TLS_server_method() : TLS_client_method()));
  if (!ctx) {
    printErrors();
    return nullptr;
  }
  const MethodRow& row = methodRow(settings.method);
  SSL_CTX_set_security_level(ctx.get(), row.securityLevel);
  if (row.version != 0 && (!SSL_CTX_set_min_proto_version(ctx.get(), row.version) ||
                           !SSL_CTX_set_max_proto_version(ctx.get(), row.version))) {
    printErrors();
    return nullptr;
  }
  EnableHwEngineClientSSL(ctx.get());
  // A list without TLS 1.2 ciphers (LOW has no members left) is refused but
  // still replaces the context's list, which would leave TLS 1.3 alone;
  // such a setting gets the default list instead.
  if (!SSL_CTX_set_cipher_list(ctx.get(), tlsCipherList(settings.security))) {
    ERR_clear_error();
    SSL_CTX_set_cipher_list(ctx.get(), tlsCipherList(0));
  }
  SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  return ctx;
}

}  // namespace

TlsMethod tlsMethodFromKeyword(std::string_view keyword) {
  for (const MethodRow& row : kMethods)
    if (keyword == row.keyword) return row.method;
  return TlsMethod::Any;
}

const char* tlsCipherList(int security) {
  switch (security) {
    case 1: return "LOW";
    case 2: return "MEDIUM:RSA+AES128+SHA";
    case 3: return "HIGH";
    default: return "DEFAULT";
  }
}

int tlsSecurityLevel(TlsMethod method) { return methodRow(method).securityLevel; }

std::string certPairCertificatePath(int kind) {
  return kind >= 0 && kind < kPairCount ? sysPath(kPairs[kind].certificate) : std::string();
}

std::string certPairKeyPath(int kind) {
  return kind >= 0 && kind < kPairCount ? sysPath(kPairs[kind].key) : std::string();
}

void tlsInitOnce(uint32_t seed) {
  static std::once_flag once;
  std::call_once(once, [seed] {
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    OPENSSL_init_ssl(0, nullptr);
    // Loading one provider by hand stops the default one from loading by
    // itself, so both are named; "legacy" reads old PKCS#12 bundles.
    Providers& providers = loadedProviders();
    providers.standard = OSSL_PROVIDER_load(nullptr, "default");
    if (providers.standard == nullptr) printErrors();
    providers.legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    if (providers.legacy == nullptr) ERR_clear_error();
    unsigned char mix[8];
    std::memcpy(mix, &seed, sizeof seed);
    if (getrandom(mix + 4, 4, 0) != 4) std::memset(mix + 4, 0, 4);
    RAND_seed(mix, sizeof mix);
    InitHwEngineServerSSL();
    ::chmod(certPairKeyPath(CERT_PAIR_OWN).c_str(), 0600);
  });
}

void InitHwEngineServerSSL() { HwEngine::instance().makeDefault(); }

void EnableHwEngineClientSSL(SSL_CTX* ctx) { HwEngine::instance().offerForClientCertificates(ctx); }

void tlsCleanup() {
  // The legacy provider's own library context is freed only when the
  // provider is unloaded before the library's exit handler runs.
  Providers& providers = loadedProviders();
  for (OSSL_PROVIDER** provider : {&providers.legacy, &providers.standard}) {
    if (*provider) OSSL_PROVIDER_unload(*provider);
    *provider = nullptr;
  }
}

int loadCertificatePair(SSL_CTX* ctx, int kind) {
  if (ctx == nullptr || kind < 0 || kind >= kPairCount) return 0;
  std::string key = certPairKeyPath(kind);
  std::string certificate = certPairCertificatePath(kind);
  if (!fileExists(key) || !fileExists(certificate)) return 0;
  // OpenSSL drops a key that does not match the certificate loaded after it
  // without failing either load; only the explicit check tells.
  if (SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_use_certificate_file(ctx, certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(ctx) != 1) {
    printErrors();
    return 0;
  }
  return 1;
}

int checkCertificatePair(int kind) {
  CtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    printErrors();
    return 0;
  }
  SSL_CTX_set_security_level(ctx.get(), methodRow(TlsMethod::Any).securityLevel);
  return loadCertificatePair(ctx.get(), kind);
}

std::unique_ptr<TlsSession> newTlsSession(TlsRole role, const TlsSettings& settings) {
  // Each pair is tried in a context of its own, so nothing of a failed
  // imported pair stays behind next to the own pair.
  CtxPtr ctx;
  for (int kind : {CERT_PAIR_IMPORTED, CERT_PAIR_OWN}) {
    ctx = makeContext(role, settings);
    if (!ctx) return nullptr;
    if (loadCertificatePair(ctx.get(), kind)) break;
    ctx.reset();
  }
  if (!ctx) return nullptr;
  SSL* ssl = SSL_new(ctx.get());  // the session holds its own reference
  if (ssl == nullptr) {
    printErrors();
    return nullptr;
  }
  return std::unique_ptr<TlsSession>(new TlsSession(ssl));
}

TlsSession::~TlsSession() {
  // Quick close: freeing without SSL_shutdown sends no close_notify; the
  // context goes with the session's last reference.
  SSL_free(ssl_);
}

int TlsSession::attach(int fd) {
  if (SSL_set_fd(ssl_, fd) != 1) {
    printErrors();
    return 0;
  }
  return 1;
}

int TlsSession::accept(TlsTransport& transport, int timeLimit) {
  Deadline deadline(timeLimit);
  for (;;) {
    ERR_clear_error();
    int result = SSL_accept(ssl_);
    if (result == 1) return 1;
    int next = waitForSocket(ssl_, result, deadline.remaining(), transport);
    if (next == -4) printErrors();
    // A message that ended the wait early does not end the handshake.
    if (next < 0) return 0;
  }
}

int TlsSession::connect(TlsTransport& transport, bool verify, int* lastResult, int timeLimit) {
  Deadline deadline(timeLimit);
  for (;;) {
    ERR_clear_error();
    int result = SSL_connect(ssl_);
    if (lastResult) *lastResult = result;
    if (result == 1) break;
    int next = waitForSocket(ssl_, result, deadline.remaining(), transport);
    if (next == -4) printErrors();
    if (next < 0) return 0;
  }
  if (!verify) return 1;
  long verified = SSL_get_verify_result(ssl_);
  if (lastResult) *lastResult = static_cast<int>(verified);
  return verified == X509_V_OK ? 1 : 0;
}

namespace {

// The result of a failed SSL_read or SSL_write that is not a want: a clean
// close_notify and an end of stream without one both mean the peer closed.
int transferFailure(SSL* ssl, int result) {
  int error = SSL_get_error(ssl, result);
  if (error == SSL_ERROR_ZERO_RETURN) return -3;
  if (error == SSL_ERROR_SSL &&
      ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
    ERR_clear_error();
    return -3;
  }
  if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == EPIPE) return -3;
  ERR_clear_error();
  return -4;
}

}  // namespace

namespace {

// SSL_read or SSL_write until it moves bytes, waiting for the socket within
// `timeout` ticks (0: no wait).
template <typename Step>
int boundedTransfer(SSL* ssl, Step step, int timeout, TlsTransport& transport) {
  Deadline deadline(timeout);
  for (;;) {
    ERR_clear_error();
    int result = step();
    if (result > 0) return result;
    int error = SSL_get_error(ssl, result);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE)
      return transferFailure(ssl, result);
    if (timeout == 0) return 0;
    int next = waitForSocket(ssl, result, deadline.remaining(), transport);
    if (next != 1) return next;
  }
}

}  // namespace

int TlsSession::read(void* data, int size, int timeout, TlsTransport& transport) {
  if (size <= 0) return 0;
  // SSL_read serves bytes decrypted earlier before it touches the socket.
  return boundedTransfer(ssl_, [&] { return SSL_read(ssl_, data, size); }, timeout, transport);
}

int TlsSession::write(const void* data, int length, int timeout, TlsTransport& transport) {
  if (length <= 0) return 0;
  return boundedTransfer(ssl_, [&] { return SSL_write(ssl_, data, length); }, timeout, transport);
}

int TlsSession::pending() const { return SSL_pending(ssl_); }

std::string TlsSession::versionName() const {
  if (!SSL_is_init_finished(ssl_)) return std::string();
  int version = SSL_version(ssl_);
  for (const VersionName& rename : kVersionRenames)
    if (rename.version == version) return rename.name;
  return SSL_get_version(ssl_);
}

int TlsSession::describe(char* buffer, size_t size) const {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_);
  if (cipher == nullptr || buffer == nullptr || size == 0) return 0;
  int written = std::snprintf(buffer, size, "%s ", versionName().c_str());
  if (written < 0) return 0;
  size_t used = static_cast<size_t>(written) < size ? static_cast<size_t>(written) : size - 1;
  if (size - used > 128) SSL_CIPHER_description(cipher, buffer + used, static_cast<int>(size - used));
  return 1;
}

#pragma once
// TLS sessions on OpenSSL 3 for the stream connections: the HTTPS listener
// and the USB server's TLS port accept server sessions, the mail client opens
// client sessions.
//
// Every session gets a context of its own, built from the settings its
// caller passes in, so a changed setting applies to the next connection.
// The session never blocks on its socket by itself: whenever OpenSSL wants
// the socket, it asks its `TlsTransport` (the connection that carries it) to
// wait, and the transport keeps serving its task's messages meanwhile.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

// The protocol versions a context accepts, after the keyword of the
// `sslmethod` setting ("any", "tls10", "tls11", "tls12").
enum class TlsMethod { Any, Tls10, Tls11, Tls12 };

// "tls10" -> Tls10, ...; any other text (the default "any" included) -> Any.
TlsMethod tlsMethodFromKeyword(std::string_view keyword);

// What a new session is built from: the `sslmethod` and `security` settings
// of the moment. `security` picks the cipher list: 1 "LOW", 2
// "MEDIUM:RSA+AES128+SHA", 3 "HIGH", anything else "DEFAULT".
struct TlsSettings {
  TlsMethod method = TlsMethod::Any;
  int security = 4;
};

// The cipher list text a `security` value selects.
const char* tlsCipherList(int security);

// The OpenSSL security level a method needs: TLS 1.0 and 1.1 only work at
// level 0; level 1 keeps 1024-bit keys usable, which Debian's built-in level 2
// refuses.
int tlsSecurityLevel(TlsMethod method);

// The certificate and key file pairs under /flash.
enum CertPairKind {
  CERT_PAIR_OWN = 0,       // cert_srv.pem + cert_pkey.pem, the appliance's own pair
  CERT_PAIR_IMPORTED = 1,  // cert_fsrv.pem + cert_fpkey.pem, preferred when it loads
  CERT_PAIR_REQUEST = 2,   // cert_rcert.pem + cert_rpriv.pem, a pending request's pair
};

enum class TlsRole { Server, Client };

// Handshake time limit in ticks (hundredths of a second).
constexpr int kTlsHandshakeTicks = 2000;

// The waits a session needs from the connection that carries it. Both wait
// at most `timeout` ticks (negative: no limit) and serve the owning task's
// messages meanwhile. Result: 1 when the socket is ready; 0 when a handled
// message ended the wait early (the socket is not ready); otherwise a
// negative code: -2 time-out, -19 no socket, or a negated errno.
class TlsTransport {
 public:
  virtual ~TlsTransport() = default;
  virtual int descriptor() const = 0;
  virtual int waitReadable(int timeout) = 0;
  virtual int waitWritable(int timeout) = 0;
};

// Once per process, before any task uses TLS: starts the library with its
// error strings, loads the "default" and "legacy" providers, mixes `seed`
// into the random generator, looks up the "devcrypto" engine and sets
// /flash/cert_pkey.pem to mode 0600. Later calls do nothing.
void tlsInitOnce(uint32_t seed);

// Makes the "devcrypto" engine the library's default (all but random
// numbers). The engine is looked up once; when it is missing,
// "InitHwEngineServerSSL() can not find engine Id: devcrypto" is printed once.
void InitHwEngineServerSSL();

// Hands the engine found by the one look-up to `ctx` for client
// certificates; without an engine it does nothing (the miss was reported).
void EnableHwEngineClientSSL(SSL_CTX* ctx);

// Loads pair `kind` into `ctx`: both files must exist; the key and the
// certificate must load and belong together. 1/0; a failed load prints the
// library's error queue on standard error.
int loadCertificatePair(SSL_CTX* ctx, int kind);

// Whether pair `kind` loads and its key matches its certificate, checked in
// a context of its own. 1/0.
int checkCertificatePair(int kind);

// Called at process exit; the library cleans up after itself.
void tlsCleanup();

// One TLS session over one socket, with the context it was made from. The
// socket stays the connection's: ending the session never closes it.
class TlsSession {
 public:
  // Quick close: no close_notify is sent, session and context are freed.
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // SSL_set_fd: attaches the (non-blocking) socket. 1/0.
  int attach(int fd);

  // The server handshake, bounded by `timeLimit` ticks. 1 established, 0 failed.
  int accept(TlsTransport& transport, int timeLimit = kTlsHandshakeTicks);

  // The client handshake, bounded by `timeLimit` ticks. `lastResult` receives
  // every SSL_connect result and, with `verify`, the verification result
  // (0 when the peer's certificate verified). 1 established, 0 failed.
  int connect(TlsTransport& transport, bool verify, int* lastResult,
              int timeLimit = kTlsHandshakeTicks);

  // Reads up to `size` decrypted bytes. Bytes already decrypted inside the
  // session come first, without touching the socket. Otherwise it waits at
  // most `timeout` ticks (negative: no limit; 0: no wait). Result: bytes
  // read; 0 nothing within a zero time-out, or the wait was ended by a
  // message; -2 time-out; -3 the peer closed; -4 I/O or protocol error;
  // another negative value is the wait's code.
  int read(void* data, int size, int timeout, TlsTransport& transport);

  // Writes up to `length` bytes (a partial write is possible), waiting at
  // most `timeout` ticks as `read` does. Result: bytes written, or 0 / a
  // negative code as for `read`.
  int write(const void* data, int length, int timeout, TlsTransport& transport);

  // Decrypted bytes waiting inside the session (SSL_pending).
  int pending() const;

  // "TLSv1.0", "TLSv1.1", "TLSv1.2", "TLSv1.3" (SSL_get_version, with the
  // system's spelling of TLS 1.0); "" before the handshake.
  std::string versionName() const;

  // "%s " with the version name, then, when more than 128 bytes of room are
  // left, the cipher description (SSL_CIPHER_description). 1, or 0 without a
  // current cipher (nothing written then).
  int describe(char* buffer, size_t size) const;

  SSL* handle() const { return ssl_; }

 private:
  friend std::unique_ptr<TlsSession> newTlsSession(TlsRole role, const TlsSettings& settings);
  explicit TlsSession(SSL* ssl) : ssl_(ssl) {}

  SSL* ssl_;
};

// A configured context and a session made from it (the imported pair when it
// loads, else the own pair); null when no context or no pair can be made.
// No peer verification is configured for either role.
std::unique_ptr<TlsSession> newTlsSession(TlsRole role, const TlsSettings& settings);

// The certificate and key file of a pair, under the root directory.
std::string certPairCertificatePath(int kind);
std::string certPairKeyPath(int kind);

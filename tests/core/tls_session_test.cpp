// TLS sessions against the openssl command line tool and a hand-driven
// client, over loopback TCP.
#include "core/tls_session.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include "core/paths.h"
#include "tests/core/tls_test_support.h"
#include "tests/support/temp_root.h"

using namespace tlstest;

namespace {

using Clock = std::chrono::steady_clock;

int64_t msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Lets the peers of the tests use every protocol version and cipher, so
// that every refusal seen is the session's own.
const std::vector<std::string> kPermissivePeer = {"-cipher", "DEFAULT:@SECLEVEL=0"};

class TlsSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As in the appliance, a write to a closed peer is an error, not a signal.
    ::signal(SIGPIPE, SIG_IGN);
    // The appliance makes 1024-bit keys; they must load.
    ASSERT_TRUE(makeSelfSigned(flash("cert_srv.pem"), flash("cert_pkey.pem"), 1024, "/CN=own"));
  }
  std::string flash(const std::string& name) const { return root_.makeDirs("/flash") + "/" + name; }

  struct Served {
    bool established = false;
    std::string version;
    std::string cipher;
    bool echoed = false;
  };

  // One server session against "openssl s_client" with `clientArgs`: the
  // handshake, then a line each way.
  Served serveOpensslClient(const TlsSettings& settings, const std::vector<std::string>& clientArgs) {
    Served served;
    LoopbackListener listener;
    std::vector<std::string> args = {"s_client", "-connect",
                                     "127.0.0.1:" + std::to_string(listener.port()), "-quiet"};
    args.insert(args.end(), kPermissivePeer.begin(), kPermissivePeer.end());
    args.insert(args.end(), clientArgs.begin(), clientArgs.end());
    OpensslProcess client(args);
    int fd = listener.accept(5000);
    EXPECT_GE(fd, 0);
    if (fd < 0) return served;
    std::unique_ptr<TlsSession> session = newTlsSession(TlsRole::Server, settings);
    EXPECT_TRUE(session);
    if (session && session->attach(fd)) {
      PollTransport transport(fd);
      served.established = session->accept(transport, 500) == 1;
      if (served.established) {
        served.version = session->versionName();
        served.cipher = SSL_get_cipher_name(session->handle());
        client.send("ping\n");
        char line[64] = {};
        int n = session->read(line, sizeof line - 1, 300, transport);
        EXPECT_EQ(n, 5);
        EXPECT_STREQ(line, "ping\n");
        EXPECT_EQ(session->write("pong\n", 5, 300, transport), 5);
        served.echoed = client.waitForOutput("pong", 3000);
      }
    }
    session.reset();
    ::close(fd);
    return served;
  }

  TempRoot root_;
};

struct MethodCase {
  const char* sslmethod;
  std::vector<std::string> clientArgs;
  const char* expectedVersion;  // null: refused
};

TEST_F(TlsSessionTest, ServerNegotiatesExactlyWhatTheMethodAllows) {
  const MethodCase cases[] = {
      {"any", {}, "TLSv1.3"},
      {"any", {"-tls1_2"}, "TLSv1.2"},
      {"any", {"-tls1_1"}, nullptr},
      {"any", {"-tls1"}, nullptr},
      {"tls12", {}, "TLSv1.2"},
      {"tls12", {"-tls1_3"}, nullptr},
      {"tls12", {"-tls1_1"}, nullptr},
      {"tls11", {"-tls1_1"}, "TLSv1.1"},
      {"tls11", {"-tls1_2"}, nullptr},
      {"tls10", {"-tls1"}, "TLSv1.0"},
      {"tls10", {"-tls1_1"}, nullptr},
      {"bogus", {}, "TLSv1.3"},
  };
  for (const MethodCase& c : cases) {
    SCOPED_TRACE(std::string(c.sslmethod) + (c.clientArgs.empty() ? "" : " " + c.clientArgs[0]));
    TlsSettings settings{tlsMethodFromKeyword(c.sslmethod), 4};
    Served served = serveOpensslClient(settings, c.clientArgs);
    EXPECT_EQ(served.established, c.expectedVersion != nullptr);
    if (c.expectedVersion) {
      EXPECT_EQ(served.version, c.expectedVersion);
      EXPECT_TRUE(served.echoed);
    }
  }
}

struct CipherCase {
  int security;
  const char* clientCipher;
  bool accepted;
};

TEST_F(TlsSessionTest, CipherListFollowsTheSecuritySetting) {
  EXPECT_STREQ(tlsCipherList(1), "LOW");
  EXPECT_STREQ(tlsCipherList(2), "MEDIUM:RSA+AES128+SHA");
  EXPECT_STREQ(tlsCipherList(3), "HIGH");
  EXPECT_STREQ(tlsCipherList(4), "DEFAULT");
  EXPECT_STREQ(tlsCipherList(0), "DEFAULT");
  const CipherCase cases[] = {
      {2, "ECDHE-RSA-AES256-GCM-SHA384", false},
      {2, "AES128-SHA", true},
      {3, "ECDHE-RSA-AES256-GCM-SHA384", true},
      // "LOW" matches no cipher any more: the default list stays.
      {1, "ECDHE-RSA-AES256-GCM-SHA384", true},
      {1, "AES128-SHA", true},
      {4, "ECDHE-RSA-AES256-GCM-SHA384", true},
  };
  for (const CipherCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.security) + " " + c.clientCipher);
    TlsSettings settings{TlsMethod::Any, c.security};
    Served served = serveOpensslClient(
        settings, {"-tls1_2", "-cipher", std::string(c.clientCipher) + ":@SECLEVEL=0"});
    EXPECT_EQ(served.established, c.accepted);
    if (c.accepted) {
      EXPECT_EQ(served.cipher, c.clientCipher);
    }
  }
  // The cipher list never restricts TLS 1.3.
  Served served = serveOpensslClient(TlsSettings{TlsMethod::Any, 2}, {"-tls1_3"});
  EXPECT_EQ(served.version, "TLSv1.3");
}

struct ClientCase {
  const char* sslmethod;
  std::vector<std::string> serverArgs;
  const char* expectedVersion;
};

TEST_F(TlsSessionTest, ClientNegotiatesExactlyWhatTheMethodAllows) {
  ASSERT_TRUE(makeSelfSigned(flash("peer.pem"), flash("peer.key"), 2048, "/CN=peer"));
  const ClientCase cases[] = {
      {"any", {}, "TLSv1.3"},
      {"any", {"-tls1_2"}, "TLSv1.2"},
      {"any", {"-tls1"}, nullptr},
      {"tls12", {"-tls1_3"}, nullptr},
      {"tls12", {}, "TLSv1.2"},
      {"tls11", {}, "TLSv1.1"},
      {"tls10", {}, "TLSv1.0"},
      {"tls10", {"-tls1_2"}, nullptr},
  };
  for (const ClientCase& c : cases) {
    SCOPED_TRACE(std::string(c.sslmethod) + (c.serverArgs.empty() ? "" : " " + c.serverArgs[0]));
    std::vector<std::string> extra = {"-rev"};
    extra.insert(extra.end(), kPermissivePeer.begin(), kPermissivePeer.end());
    extra.insert(extra.end(), c.serverArgs.begin(), c.serverArgs.end());
    OpensslServer server(flash("peer.pem"), flash("peer.key"), extra);
    ASSERT_GT(server.port(), 0) << server.process().output();
    int fd = connectLoopback(server.port());
    ASSERT_GE(fd, 0);
    setNonBlocking(fd);
    TlsSettings settings{tlsMethodFromKeyword(c.sslmethod), 4};
    std::unique_ptr<TlsSession> session = newTlsSession(TlsRole::Client, settings);
    ASSERT_TRUE(session);
    ASSERT_TRUE(session->attach(fd));
    PollTransport transport(fd);
    int lastResult = 99;
    int connected = session->connect(transport, false, &lastResult, 500);
    EXPECT_EQ(connected, c.expectedVersion ? 1 : 0);
    if (c.expectedVersion) {
      EXPECT_EQ(lastResult, 1);
      EXPECT_EQ(session->versionName(), c.expectedVersion);
      EXPECT_EQ(session->write("hello\n", 6, 300, transport), 6);
      char reply[64] = {};
      int n = session->read(reply, sizeof reply - 1, 300, transport);
      EXPECT_GT(n, 0);
      EXPECT_NE(std::string(reply).find("olleh"), std::string::npos) << reply;
    } else {
      EXPECT_LE(lastResult, 0);
    }
    session.reset();
    ::close(fd);
  }
}

TEST_F(TlsSessionTest, VerifyingClientRejectsAnUntrustedPeer) {
  ASSERT_TRUE(makeSelfSigned(flash("peer.pem"), flash("peer.key"), 2048, "/CN=peer"));
  OpensslServer server(flash("peer.pem"), flash("peer.key"), {});
  ASSERT_GT(server.port(), 0);
  int fd = connectLoopback(server.port());
  setNonBlocking(fd);
  std::unique_ptr<TlsSession> session = newTlsSession(TlsRole::Client, {});
  ASSERT_TRUE(session && session->attach(fd));
  PollTransport transport(fd);
  int lastResult = 0;
  EXPECT_EQ(session->connect(transport, true, &lastResult, 500), 0);
  EXPECT_EQ(lastResult, X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT);
  session.reset();
  ::close(fd);
}

// A server session over loopback whose client the test drives by hand.
class ManualPeerTest : public TlsSessionTest {
 protected:
  void establish(const TlsSettings& settings = {}) {
    client_.emplace(connectLoopback(listener_.port()));
    fd_ = listener_.accept(2000);
    ASSERT_GE(fd_, 0);
    session_ = newTlsSession(TlsRole::Server, settings);
    ASSERT_TRUE(session_);
    ASSERT_TRUE(session_->attach(fd_));
    transport_.emplace(fd_);
    int accepted = 0;
    std::thread server([&] { accepted = session_->accept(*transport_, 500); });
    bool shaken = client_->handshake(3000);
    server.join();
    ASSERT_TRUE(shaken);
    ASSERT_EQ(accepted, 1);
  }
  void TearDown() override {
    session_.reset();
    if (fd_ >= 0) ::close(fd_);
  }

  LoopbackListener listener_;
  std::optional<ManualClient> client_;
  int fd_ = -1;
  std::unique_ptr<TlsSession> session_;
  std::optional<PollTransport> transport_;
};

TEST_F(ManualPeerTest, HalfARecordTimesOutAndTheRestCompletesIt) {
  establish();
  std::string record = client_->seal("hello");
  size_t half = record.size() / 2;
  ASSERT_TRUE(client_->sendRaw(record.substr(0, half)));
  char data[64] = {};
  auto start = Clock::now();
  EXPECT_EQ(session_->read(data, sizeof data, 30, *transport_), -2);
  EXPECT_GE(msSince(start), 250);
  EXPECT_LT(msSince(start), 6000);  // a loaded machine is slow, never early
  ASSERT_TRUE(client_->sendRaw(record.substr(half)));
  EXPECT_EQ(session_->read(data, sizeof data, 100, *transport_), 5);
  EXPECT_EQ(std::string(data, 5), "hello");
}

TEST_F(ManualPeerTest, DecryptedBytesAreServedWithoutWaiting) {
  establish();
  ASSERT_TRUE(client_->sendRaw(client_->seal("abcdef")));
  char data[8] = {};
  ASSERT_EQ(session_->read(data, 3, 100, *transport_), 3);
  EXPECT_EQ(std::string(data, 3), "abc");
  EXPECT_EQ(session_->pending(), 3);
  int waits = transport_->waits();
  EXPECT_EQ(session_->read(data, 3, 0, *transport_), 3);
  EXPECT_EQ(std::string(data, 3), "def");
  EXPECT_EQ(transport_->waits(), waits);
  EXPECT_EQ(session_->read(data, 3, 0, *transport_), 0);
}

TEST_F(ManualPeerTest, PeerCloseGivesMinusThree) {
  for (bool closeNotify : {true, false}) {
    SCOPED_TRACE(closeNotify ? "close_notify" : "plain close");
    establish();
    if (closeNotify) {
      ASSERT_TRUE(client_->sendCloseNotify());
    }
    client_->closeSocket();
    char data[16];
    EXPECT_EQ(session_->read(data, sizeof data, 100, *transport_), -3);
    session_.reset();
    ::close(fd_);
    fd_ = -1;
  }
}

TEST_F(ManualPeerTest, WriteToAPeerThatStopsReadingTimesOut) {
  establish();
  std::string block(65536, 'x');
  int result = 0;
  long total = 0;
  auto start = Clock::now();
  for (int i = 0; i < 4096 && (result = session_->write(block.data(), 65536, 20, *transport_)) > 0; ++i)
    total += result;
  EXPECT_EQ(result, -2);
  EXPECT_GT(total, 0);
  EXPECT_LT(msSince(start), 10000);
}

TEST_F(ManualPeerTest, DescriptionNamesVersionAndCipherWhenThereIsRoom) {
  establish();
  char small[100];
  EXPECT_EQ(session_->describe(small, sizeof small), 1);
  EXPECT_STREQ(small, "TLSv1.3 ");
  char large[512];
  EXPECT_EQ(session_->describe(large, sizeof large), 1);
  EXPECT_EQ(std::string(large).rfind("TLSv1.3 TLS_AES_256_GCM_SHA384 ", 0), 0u) << large;
}

TEST_F(ManualPeerTest, SilentClientFailsTheHandshakeAtTheTimeLimit) {
  int fd = connectLoopback(listener_.port());
  int accepted = listener_.accept(2000);
  ASSERT_GE(accepted, 0);
  std::unique_ptr<TlsSession> session = newTlsSession(TlsRole::Server, {});
  ASSERT_TRUE(session && session->attach(accepted));
  PollTransport transport(accepted);
  auto start = Clock::now();
  EXPECT_EQ(session->accept(transport, 30), 0);
  EXPECT_GE(msSince(start), 250);
  EXPECT_LT(msSince(start), 6000);  // a loaded machine is slow, never early
  EXPECT_EQ(session->versionName(), "");
  session.reset();
  ::close(accepted);
  ::close(fd);
}

struct PairCase {
  const char* name;
  bool importedCertificate;
  bool importedKey;
  bool keyOfAnotherPair;
  const char* servedSubject;
};

TEST_F(ManualPeerTest, ImportedPairIsPreferredAndABrokenOneFallsBackToTheOwnPair) {
  ASSERT_TRUE(makeSelfSigned(flash("imported.pem"), flash("imported.key"), 2048, "/CN=imported"));
  ASSERT_TRUE(makeSelfSigned(flash("other.pem"), flash("other.key"), 2048, "/CN=other"));
  const PairCase cases[] = {
      {"matching pair", true, true, false, "/CN=imported"},
      {"key of another pair", true, true, true, "/CN=own"},
      {"certificate without key", true, false, false, "/CN=own"},
      {"key without certificate", false, true, false, "/CN=own"},
  };
  for (const PairCase& c : cases) {
    SCOPED_TRACE(c.name);
    ::unlink(flash("cert_fsrv.pem").c_str());
    ::unlink(flash("cert_fpkey.pem").c_str());
    if (c.importedCertificate) ::link(flash("imported.pem").c_str(), flash("cert_fsrv.pem").c_str());
    if (c.importedKey)
      ::link(flash(c.keyOfAnotherPair ? "other.key" : "imported.key").c_str(),
             flash("cert_fpkey.pem").c_str());
    EXPECT_EQ(checkCertificatePair(CERT_PAIR_IMPORTED),
              std::string(c.servedSubject) == "/CN=imported" ? 1 : 0);
    establish();
    EXPECT_EQ(client_->peerSubject(), c.servedSubject);
    session_.reset();
    ::close(fd_);
    fd_ = -1;
  }
  EXPECT_EQ(checkCertificatePair(CERT_PAIR_OWN), 1);
  EXPECT_EQ(checkCertificatePair(CERT_PAIR_REQUEST), 0);
  EXPECT_EQ(checkCertificatePair(7), 0);
}

TEST_F(TlsSessionTest, WithoutAnyPairNoSessionIsMade) {
  ::unlink(flash("cert_srv.pem").c_str());
  EXPECT_FALSE(newTlsSession(TlsRole::Server, {}));
  EXPECT_FALSE(newTlsSession(TlsRole::Client, {}));
  EXPECT_EQ(checkCertificatePair(CERT_PAIR_OWN), 0);
}

TEST_F(TlsSessionTest, MethodKeywordsAndSecurityLevels) {
  EXPECT_EQ(tlsMethodFromKeyword("tls10"), TlsMethod::Tls10);
  EXPECT_EQ(tlsMethodFromKeyword("tls11"), TlsMethod::Tls11);
  EXPECT_EQ(tlsMethodFromKeyword("tls12"), TlsMethod::Tls12);
  EXPECT_EQ(tlsMethodFromKeyword("any"), TlsMethod::Any);
  EXPECT_EQ(tlsMethodFromKeyword("TLS12"), TlsMethod::Any);
  EXPECT_EQ(tlsSecurityLevel(TlsMethod::Tls10), 0);
  EXPECT_EQ(tlsSecurityLevel(TlsMethod::Tls11), 0);
  EXPECT_EQ(tlsSecurityLevel(TlsMethod::Tls12), 1);
  EXPECT_EQ(tlsSecurityLevel(TlsMethod::Any), 1);
}

TEST_F(TlsSessionTest, LibraryStartProtectsTheOwnKeyAndReportsTheMissingEngineOnce) {
  ASSERT_EQ(::chmod(flash("cert_pkey.pem").c_str(), 0644), 0);
  ::testing::internal::CaptureStderr();
  tlsInitOnce(0x1234);
  tlsInitOnce(0x5678);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(newTlsSession(TlsRole::Server, {}));
  std::string printed = ::testing::internal::GetCapturedStderr();
  const std::string message = "InitHwEngineServerSSL() can not find engine Id: devcrypto\n";
  size_t first = printed.find(message);
  EXPECT_NE(first, std::string::npos) << printed;
  EXPECT_EQ(printed.find("can not find engine", first + message.size()), std::string::npos)
      << printed;
  struct stat st;
  ASSERT_EQ(::stat(flash("cert_pkey.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  tlsCleanup();
}

}  // namespace

// The certificate file table, deletion with card copies, the root CA link
// and its start-up tidying, and the server pair for S/MIME.
#include "maint/cert_files.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "core/paths.h"
#include "tests/maint/cert_fixtures.h"
#include "tests/support/temp_root.h"

using namespace certfixture;

namespace {

// The card as the SD card task would present it: copies go to
// <root>/var/slot1 when it backs up the flash.
class FakeCard : public CardMirror {
 public:
  bool backsUp = true;
  std::vector<std::string> mirrored;
  bool backsUpFlash() override { return backsUp; }
  int mirrorToCard(const std::string& flashPath) override {
    mirrored.push_back(flashPath);
    return 1;
  }
};

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::string linkTarget(const std::string& path) {
  char target[256];
  ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
  return n < 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

class CertFilesTest : public TempRootTest {
 protected:
  void SetUp() override {
    root_.makeDirs("/flash");
    root_.makeDirs("/var/slot1");
  }
  std::string at(const std::string& path) const { return root_.path() + path; }
  FakeCard card_;
};

TEST_F(CertFilesTest, TableNamesEveryFileUnderTheRoot) {
  const char* expected[] = {"cert_pkey.pem",  "cert_fpkey.pem", "cert_rpriv.pem", "cert_srv.pem",
                            "cert_fsrv.pem",  "cert_rcert.pem", "cert_req.pem",   "cert_mime.pem",
                            "cert_root.pem",  "cert.tmp"};
  for (int type = 0; type < kCertFileCount; ++type) {
    EXPECT_EQ(certFileTable[type].type, type);
    EXPECT_STREQ(certFileName(type), expected[type]);
    EXPECT_EQ(certFilePath(type), at("/flash/") + expected[type]);
  }
  EXPECT_EQ(certFilePath(10), "");
  EXPECT_EQ(caStorePath(0x1a2b3cUL), "/flash/001a2b3c.0");
  EXPECT_TRUE(isCaStorePath("/flash/001a2b3c.0"));
  for (const char* bad : {"/flash/001A2B3C.0", "/flash/../etc/x.0", "/flash/001a2b3c.1",
                          "/flash/01a2b3c.0", "/var/001a2b3c.0", "/flash/00/a2b3c.0"})
    EXPECT_FALSE(isCaStorePath(bad)) << bad;
}

struct DeleteCase {
  const char* name;
  int type;
  const char* path;
  bool backsUp;
  const char* flashFile;
  const char* cardFile;
  int result;
  bool cardCopyKept;
};

TEST_F(CertFilesTest, DeletionRemovesTheCardCopyOnlyWhileTheCardBacksUp) {
  const DeleteCase cases[] = {
      {"imported key", CERT_FPKEY, nullptr, true, "/flash/cert_fpkey.pem", "/var/slot1/cert_fpkey.pem", 1, false},
      {"card not backing up", CERT_MIME, nullptr, false, "/flash/cert_mime.pem", "/var/slot1/cert_mime.pem", 1, true},
      {"explicit CA file", CERT_TMP, "/flash/0badcafe.0", true, "/flash/0badcafe.0", "/var/slot1/0badcafe.0", 1, false},
      {"empty path is the table's", CERT_TMP, "", true, "/flash/cert.tmp", "/var/slot1/cert.tmp", 1, false},
      {"path ignored for others", CERT_REQ, "/flash/0badcafe.0", true, "/flash/cert_req.pem", "/var/slot1/cert_req.pem", 1, false},
  };
  for (const DeleteCase& c : cases) {
    SCOPED_TRACE(c.name);
    root_.writeFile(c.flashFile, "x");
    root_.writeFile(c.cardFile, "x");
    card_.backsUp = c.backsUp;
    EXPECT_EQ(deleteCertFile(c.type, c.path, card_), c.result);
    EXPECT_FALSE(exists(at(c.flashFile)));
    EXPECT_EQ(exists(at(c.cardFile)), c.cardCopyKept);
  }
  EXPECT_EQ(deleteCertFile(CERT_MIME, nullptr, card_), 0);
  EXPECT_EQ(deleteCertFile(10, nullptr, card_), 0);
}

TEST_F(CertFilesTest, RootLinkOnlyToAStoreFile) {
  root_.writeFile("/flash/0badcafe.0", "ca");
  EXPECT_EQ(linkRootCertificate("/flash/0badcafe.0", card_), 1);
  EXPECT_EQ(linkTarget(at("/flash/cert_root.pem")), "0badcafe.0");
  EXPECT_EQ(readFileText(at("/flash/cert_root.pem")), "ca");
  ASSERT_EQ(card_.mirrored.size(), 1u);
  EXPECT_EQ(card_.mirrored[0], "/flash/cert_root.pem");

  for (const char* bad : {"/flash/../../etc/passwd", "/flash/cert_srv.pem", "/flash/0BADCAFE.0"}) {
    EXPECT_EQ(linkRootCertificate(bad, card_), 0) << bad;
    EXPECT_EQ(linkTarget(at("/flash/cert_root.pem")), "0badcafe.0");
  }
}

TEST_F(CertFilesTest, MigrationMovesAPlainRootIntoTheStore) {
  ASSERT_TRUE(selfSigned(at("/flash/cert_root.pem"), at("/flash/ca.key"), "/CN=Root CA", "-days 30"));
  std::string hash = opensslOutput("x509 -noout -subject_hash -in " + at("/flash/cert_root.pem"));
  ASSERT_EQ(hash.size(), 8u);
  root_.writeFile("/flash/" + hash + ".0", "an older CA of the same name");
  std::string content = readFileText(at("/flash/cert_root.pem"));
  migrateRootCertificate(card_);
  EXPECT_EQ(linkTarget(at("/flash/cert_root.pem")), hash + ".0");
  EXPECT_EQ(readFileText(at("/flash/" + hash + ".0")), content);
  ASSERT_EQ(card_.mirrored.size(), 1u);

  // A valid link stays as it is.
  migrateRootCertificate(card_);
  EXPECT_EQ(linkTarget(at("/flash/cert_root.pem")), hash + ".0");

  // A dangling link goes.
  ::unlink(at("/flash/" + hash + ".0").c_str());
  migrateRootCertificate(card_);
  EXPECT_FALSE(exists(at("/flash/cert_root.pem")));

  // So does a root that is no certificate; nothing there, nothing happens.
  root_.writeFile("/flash/cert_root.pem", "garbage");
  migrateRootCertificate(card_);
  EXPECT_FALSE(exists(at("/flash/cert_root.pem")));
  migrateRootCertificate(card_);
  EXPECT_EQ(card_.mirrored.size(), 1u);
}

TEST_F(CertFilesTest, AnImportedKeyWithoutItsCertificateIsRemoved) {
  root_.writeFile("/flash/cert_fpkey.pem", "key");
  root_.writeFile("/flash/cert_fsrv.pem", "");
  EXPECT_EQ(removeUnpairedImportedKey(card_), 1);
  EXPECT_FALSE(exists(at("/flash/cert_fpkey.pem")));

  root_.writeFile("/flash/cert_fpkey.pem", "key");
  root_.writeFile("/flash/cert_fsrv.pem", "certificate");
  EXPECT_EQ(removeUnpairedImportedKey(card_), 0);
  EXPECT_TRUE(exists(at("/flash/cert_fpkey.pem")));

  root_.writeFile("/flash/cert_fpkey.pem", "k");
  ::unlink(at("/flash/cert_fsrv.pem").c_str());
  EXPECT_EQ(removeUnpairedImportedKey(card_), 0);
}

std::string commonName(X509* certificate) {
  char name[128] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, name, sizeof name);
  return name;
}

TEST_F(CertFilesTest, ServerPairForSmimePrefersTheImportedPair) {
  EVP_PKEY* key = nullptr;
  X509* certificate = nullptr;
  EXPECT_EQ(loadServerKeyAndCert(&key, &certificate), 0);

  ASSERT_TRUE(selfSigned(at("/flash/cert_srv.pem"), at("/flash/cert_pkey.pem"), "/CN=own", "-days 30", 1024));
  ASSERT_EQ(loadServerKeyAndCert(&key, &certificate), 1);
  EXPECT_EQ(commonName(certificate), "own");
  EXPECT_EQ(X509_check_private_key(certificate, key), 1);
  EVP_PKEY_free(key);
  X509_free(certificate);

  ASSERT_TRUE(selfSigned(at("/flash/cert_fsrv.pem"), at("/flash/cert_fpkey.pem"), "/CN=imported", "-days 30"));
  ASSERT_EQ(loadServerKeyAndCert(&key, &certificate), 1);
  EXPECT_EQ(commonName(certificate), "imported");
  EVP_PKEY_free(key);
  X509_free(certificate);

  // An unreadable imported key fails the load; nothing is handed out.
  root_.writeFile("/flash/cert_fpkey.pem", "not a key");
  EXPECT_EQ(loadServerKeyAndCert(&key, &certificate), 0);
  EXPECT_EQ(key, nullptr);
  EXPECT_EQ(certificate, nullptr);
}

}  // namespace

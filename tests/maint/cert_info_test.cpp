// CertInfo: parsing of certificates and requests made by the openssl
// command, the page values, the record's pool and its lock.
#include "maint/cert_info.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "maint/cert_files.h"
#include "tests/maint/cert_fixtures.h"
#include "tests/support/temp_root.h"

using namespace certfixture;

namespace {

std::string value(int type, const char* field, int size = 256) {
  std::vector<char> out(static_cast<size_t>(size), '#');
  int n = certTemplateValue(type, field, out.data(), size);
  if (n == 0) return std::string();
  EXPECT_EQ(static_cast<size_t>(n), std::strlen(out.data()));
  return std::string(out.data(), static_cast<size_t>(n));
}

// Days from now until the middle of June of `year`.
int daysUntil(int year) {
  std::tm target{};
  target.tm_year = year - 1900;
  target.tm_mon = 5;
  target.tm_mday = 15;
  return static_cast<int>((timegm(&target) - std::time(nullptr)) / 86400);
}

struct Date {
  std::string year, month, day;
};

// The end date as "openssl x509 -enddate" prints it.
Date endDateOf(const std::string& certificate) {
  std::string text = opensslOutput("x509 -noout -enddate -in " + quoted(certificate));
  // notAfter=Jun 15 10:11:12 2049 GMT
  static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char month[4] = {};
  int day = 0, year = 0;
  std::sscanf(text.c_str(), "notAfter=%3s %d %*d:%*d:%*d %d", month, &day, &year);
  Date date;
  for (int i = 0; i < 12; ++i)
    if (std::strcmp(kMonths[i], month) == 0) {
      char text2[3];
      std::snprintf(text2, sizeof text2, "%02d", i + 1);
      date.month = text2;
    }
  char dayText[3];
  std::snprintf(dayText, sizeof dayText, "%02d", day);
  date.day = dayText;
  date.year = std::to_string(year);
  return date;
}

class CertInfoTest : public TempRootTest {
 protected:
  void SetUp() override {
    root_.makeDirs("/flash");
    releaseCertInfo();
    certGenState = 0;
  }
  std::string flash(const std::string& name) const { return root_.path() + "/flash/" + name; }
};

TEST_F(CertInfoTest, SubjectIssuerAlternativeNamesAndFingerprintsOfACertificate) {
  const std::string subject =
      "/C=DE/ST=Bavaria/L=Munich/O=A/OU=Lab/CN=x/DC=example/DC=com/emailAddress=admin@example.com";
  ASSERT_TRUE(selfSigned(flash("cert_mime.pem"), flash("mime.key"), subject,
                         "-days 30 -addext 'subjectAltName=DNS:box.example,IP:192.0.2.7,"
                         "IP:2001:db8::1,email:x@example.com,DNS:second.example'"));
  ASSERT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 1);
  EXPECT_EQ(certGenMode.load(), CERT_MIME);
  struct Expected {
    const char* field;
    const char* text;
  };
  const Expected expected[] = {
      {"ctry", "DE"},        {"sn", "Bavaria"},   {"ln", "Munich"},
      {"on", "A"},           {"ou", "Lab"},       {"cn", "x"},
      {"dc", "example/com"}, {"mail", "admin@example.com"},
      {"san", "DNS:box.example, IP:192.0.2.7, IP:2001:db8::1, DNS:second.example"},
      {"i_ctry", "DE"},      {"i_on", "A"},       {"i_cn", "x"},
      {"i_dc", "example/com"}, {"i_mail", "admin@example.com"},
      {"ct", ""},            {"bits", "2048"},
  };
  for (const Expected& e : expected) EXPECT_EQ(value(CERT_MIME, e.field), e.text) << e.field;

  std::string sha1 = opensslOutput("x509 -noout -fingerprint -sha1 -in " + flash("cert_mime.pem"));
  std::string sha256 =
      opensslOutput("x509 -noout -fingerprint -sha256 -in " + flash("cert_mime.pem"));
  EXPECT_EQ("sha1 Fingerprint=" + value(CERT_MIME, "sha1"), sha1);
  EXPECT_EQ("sha256 Fingerprint=" + value(CERT_MIME, "sha2"), sha256);
  EXPECT_EQ(certSubjectHash.load(),
            std::stoul(opensslOutput("x509 -noout -subject_hash -in " + flash("cert_mime.pem")),
                       nullptr, 16));
}

TEST_F(CertInfoTest, ASingleDomainComponentAndMissingPartsReadEmpty) {
  ASSERT_TRUE(selfSigned(flash("cert_mime.pem"), flash("mime.key"), "/C=DE/O=A/CN=x/DC=example",
                         "-days 30"));
  ASSERT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 1);
  EXPECT_EQ(value(CERT_MIME, "dc"), "example");
  EXPECT_EQ(value(CERT_MIME, "ou"), "");
  EXPECT_EQ(value(CERT_MIME, "mail"), "");
  EXPECT_EQ(value(CERT_MIME, "san"), "");
}

TEST_F(CertInfoTest, ValidityDatesOfBothTimeForms) {
  for (int year : {2049, 2051}) {
    SCOPED_TRACE(year);
    std::string path = flash("valid" + std::to_string(year) + ".pem");
    ASSERT_TRUE(selfSigned(path, flash("valid.key"), "/CN=dates",
                           "-days " + std::to_string(daysUntil(year)), 1024));
    Date end = endDateOf(path);
    ASSERT_EQ(end.year, std::to_string(year));
    ASSERT_EQ(parseCertificate(CERT_TMP, ("/flash/valid" + std::to_string(year) + ".pem").c_str(), -1), 1);
    EXPECT_EQ(value(CERT_TMP, "eyear"), end.year);
    EXPECT_EQ(value(CERT_TMP, "emon"), end.month);
    EXPECT_EQ(value(CERT_TMP, "eday"), end.day);
    EXPECT_EQ(value(CERT_TMP, "end"), end.year + "/" + end.month + "/" + end.day);
    EXPECT_EQ(value(CERT_TMP, "bits"), "1024");
  }
}

// A certificate of the last century (two-digit year 99) made through the
// library, since the openssl command only dates from now.
TEST_F(CertInfoTest, TwoDigitYearsFromFiftyOnAreOfTheLastCentury) {
  EVP_PKEY* key = EVP_RSA_gen(1024);
  ASSERT_NE(key, nullptr);
  X509* certificate = X509_new();
  X509_set_pubkey(certificate, key);
  ASN1_TIME_set_string(X509_getm_notBefore(certificate), "990102030405Z");
  ASN1_TIME_set_string(X509_getm_notAfter(certificate), "491231235959Z");
  X509_NAME_add_entry_by_txt(X509_get_subject_name(certificate), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("old"), -1, -1, 0);
  X509_set_issuer_name(certificate, X509_get_subject_name(certificate));
  ASSERT_GT(X509_sign(certificate, key, EVP_sha256()), 0);
  FILE* file = std::fopen(flash("cert_mime.pem").c_str(), "w");
  ASSERT_NE(file, nullptr);
  PEM_write_X509(file, certificate);
  std::fclose(file);
  X509_free(certificate);
  EVP_PKEY_free(key);

  ASSERT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 1);
  EXPECT_EQ(value(CERT_MIME, "start"), "1999/01/02");
  EXPECT_EQ(value(CERT_MIME, "end"), "2049/12/31");
}

TEST_F(CertInfoTest, RequestGivesSubjectKeySizeAndText) {
  ASSERT_TRUE(request(flash("cert_req.pem"), flash("cert_rpriv.pem"), "/C=DE/O=Maker/CN=box",
                      "-addext subjectAltName=DNS:box.example,IP:198.18.0.1"));
  EXPECT_EQ(value(CERT_REQ, "state"), "ISSUED");
  EXPECT_EQ(certGenMode.load(), CERT_REQ);
  EXPECT_EQ(value(CERT_REQ, "bits"), "2048");
  EXPECT_EQ(value(CERT_REQ, "cn"), "box");
  EXPECT_EQ(value(CERT_REQ, "on"), "Maker");
  EXPECT_EQ(value(CERT_REQ, "san"), "DNS:box.example, IP:198.18.0.1");
  EXPECT_EQ(value(CERT_REQ, "i_cn"), "");
  EXPECT_EQ(value(CERT_REQ, "sha1"), "");
  std::string text = readFileText(flash("cert_req.pem"));
  EXPECT_EQ(value(CERT_REQ, "text", 4096), text);
  EXPECT_EQ(certField(SLOT_REQUEST), text);
  EXPECT_EQ(certField(SLOT_END_MARKER), "-----END CERTIFICATE-----");
}

TEST_F(CertInfoTest, ADnsNameWithAZeroByteIsLeftOut) {
  // DNS "evil.example\0.good", DNS "ok.example", IP 192.0.2.7
  const std::string der =
      "302682126576696C2E6578616D706C65002E676F6F64"
      "820A6F6B2E6578616D706C65"
      "8704C0000207";
  ASSERT_TRUE(selfSigned(flash("cert_mime.pem"), flash("mime.key"), "/CN=x",
                         "-days 30 -addext subjectAltName=DER:" + der));
  ASSERT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 1);
  EXPECT_EQ(value(CERT_MIME, "san"), "DNS:ok.example, IP:192.0.2.7");
}

TEST_F(CertInfoTest, ParsingFromADescriptorAndFailures) {
  ASSERT_TRUE(selfSigned(flash("upload.pem"), flash("upload.key"), "/CN=upload", "-days 30"));
  int fd = ::open(flash("upload.pem").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(parseCertificate(CERT_TMP, nullptr, fd), 1);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // taken over and closed
  EXPECT_EQ(value(CERT_TMP, "cn"), "upload");

  // A missing file changes nothing; an unreadable one only the mode.
  EXPECT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 0);
  EXPECT_EQ(certGenMode.load(), CERT_TMP);
  root_.writeFile("/flash/cert_mime.pem", "not a certificate\n");
  EXPECT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 0);
  EXPECT_EQ(certGenMode.load(), CERT_MIME);
  EXPECT_EQ(value(CERT_TMP, "cn"), "upload");
}

TEST_F(CertInfoTest, StateReportsTheKeyOfOwnAndImportedCertificates) {
  EXPECT_EQ(value(CERT_SRV, "state"), "MISSING");
  ASSERT_TRUE(selfSigned(flash("own.pem"), flash("cert_pkey.pem"), "/CN=own", "-days 30"));
  EXPECT_EQ(value(CERT_SRV, "state"), "ISSUED");  // cert_srv.pem is missing
  EXPECT_EQ(value(CERT_SRV, "cn"), "");          // nothing was parsed
  EXPECT_EQ(value(CERT_FSRV, "state"), "MISSING");
  EXPECT_EQ(value(CERT_FPKEY, "state"), "MISSING");
  root_.writeFile("/flash/cert_mime.pem", "garbage\n");
  EXPECT_EQ(value(CERT_MIME, "state"), "MISSING");
  EXPECT_EQ(value(CERT_MIME, "bits"), "0");
}

TEST_F(CertInfoTest, ReleaseWaitsForAPendingGeneration) {
  ASSERT_TRUE(selfSigned(flash("cert_mime.pem"), flash("mime.key"), "/CN=kept", "-days 30"));
  ASSERT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 1);
  certGenState = 2;
  releaseCertInfo();
  EXPECT_EQ(certField(SLOT_CN), "kept");
  EXPECT_EQ(certGenState.load(), 2);
  certGenState = 4;
  releaseCertInfo();
  EXPECT_EQ(certField(SLOT_CN), "");
  EXPECT_EQ(certGenState.load(), 0);
}

TEST_F(CertInfoTest, OutputsAndNames) {
  ASSERT_TRUE(selfSigned(flash("cert_mime.pem"), flash("mime.key"), "/CN=a-rather-long-common-name-for-tests",
                         "-days 30"));
  ASSERT_EQ(parseCertificate(CERT_MIME, nullptr, -1), 1);
  char small[31];
  EXPECT_EQ(certTemplateValue(CERT_MIME, "cn", small, sizeof small), 0);
  EXPECT_EQ(value(CERT_MIME, "cn", 35), "");  // does not fit with its terminator
  EXPECT_EQ(value(CERT_MIME, "cn", 36), "a-rather-long-common-name-for-tests");
  EXPECT_EQ(value(CERT_MIME, "nonsense"), "-- internal error --");
}

TEST(CertInfoRecord, SetFieldPoolAppendAndBounds) {
  CertInfo info;
  EXPECT_EQ(info.setField(SLOT_DC, "example"), 0);
  EXPECT_EQ(info.setField(SLOT_DC, "com", -1, 0, nullptr, true), 0);
  EXPECT_STREQ(info.field(SLOT_DC), "example/com");
  EXPECT_EQ(info.setField(SLOT_DC, "org", -1, SLOT_ISSUER), 0);
  EXPECT_EQ(info.setField(SLOT_DC, "net", -1, SLOT_ISSUER, nullptr, true), 0);
  EXPECT_STREQ(info.field(SLOT_DC + SLOT_ISSUER), "org/net");
  EXPECT_EQ(info.setField(SLOT_SAN, "DNS:a"), 0);
  EXPECT_EQ(info.setField(SLOT_CN, "between"), 0);
  EXPECT_EQ(info.setField(SLOT_SAN, " IP:1.2.3.4", -1, 0, nullptr, true), 0);
  EXPECT_STREQ(info.field(SLOT_SAN), "DNS:a, IP:1.2.3.4");
  EXPECT_EQ(info.setField(SLOT_MAIL, "abcdef", 3, 0, "to:"), 0);
  EXPECT_STREQ(info.field(SLOT_MAIL), "to:abc");

  ::testing::internal::CaptureStderr();
  EXPECT_EQ(info.setField(SLOT_MAIL, "issuer", -1, SLOT_ISSUER), 0);  // slot 28
  EXPECT_EQ(info.setField(SLOT_MAIL, "x", -1, SLOT_ISSUER + 1), 1);   // 29
  EXPECT_EQ(info.setField(29, "x"), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "ERROR: illegal idx:29\nERROR: illegal idx:29\n");
  EXPECT_STREQ(info.field(SLOT_I_MAIL), "issuer");

  // The pool holds 1988 bytes with terminators; what does not fit is refused.
  CertInfo full;
  std::string big(1000, 'x');
  EXPECT_EQ(full.setField(SLOT_CN, big.c_str()), 0);
  EXPECT_EQ(full.setField(SLOT_ON, big.c_str()), 1);
  EXPECT_STREQ(full.field(SLOT_ON), "");
  EXPECT_EQ(full.setField(SLOT_ON, std::string(986, 'y').c_str()), 0);
  EXPECT_EQ(full.setField(SLOT_OU, ""), 1);
  EXPECT_EQ(full.setField(SLOT_ON, "z", -1, 0, nullptr, true), 1);
  EXPECT_EQ(std::strlen(full.field(SLOT_ON)), 986u);
}

TEST(CertLock, WaitsForTheHolder) {
  std::atomic<bool> held{false};
  std::thread holder([&] {
    cert::Guard guard;
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
  });
  while (!held) std::this_thread::yield();
  auto start = std::chrono::steady_clock::now();
  cert::lock();
  auto waited = std::chrono::steady_clock::now() - start;
  cert::unlock();
  holder.join();
  EXPECT_GE(waited, std::chrono::milliseconds(100));
}

// Pages of several tasks read and re-parse the one record at once; no
// reader may see freed or half-written memory.
class CertInfoStress : public CertInfoTest {};

TEST_F(CertInfoStress, ConcurrentPages) {
  ASSERT_TRUE(selfSigned(flash("cert_mime.pem"), flash("mime.key"), "/C=DE/O=A/CN=shared",
                         "-days 30"));
  ASSERT_TRUE(request(flash("cert_req.pem"), flash("cert_rpriv.pem"), "/CN=requested"));
  std::vector<std::thread> pages;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    pages.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        int type = (t + i) % 2 ? CERT_MIME : CERT_REQ;
        char out[256];
        certTemplateValue(type, "state", out, sizeof out);
        certTemplateValue(type, "cn", out, sizeof out);
        if (std::strcmp(out, "shared") != 0 && std::strcmp(out, "requested") != 0 && out[0] != '\0')
          ++wrong;
        std::string copy = certField(SLOT_CN);
        if (!copy.empty() && copy != "shared" && copy != "requested") ++wrong;
      }
    });
  }
  for (std::thread& page : pages) page.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace

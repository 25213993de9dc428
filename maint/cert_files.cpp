#include "maint/cert_files.h"

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/paths.h"

const CertFileEntry certFileTable[kCertFileCount] = {
    {CERT_PKEY, "/flash/cert_pkey.pem"},   {CERT_FPKEY, "/flash/cert_fpkey.pem"},
    {CERT_RPRIV, "/flash/cert_rpriv.pem"}, {CERT_SRV, "/flash/cert_srv.pem"},
    {CERT_FSRV, "/flash/cert_fsrv.pem"},   {CERT_RCERT, "/flash/cert_rcert.pem"},
    {CERT_REQ, "/flash/cert_req.pem"},     {CERT_MIME, "/flash/cert_mime.pem"},
    {CERT_ROOT, "/flash/cert_root.pem"},   {CERT_TMP, "/flash/cert.tmp"},
};

namespace {

constexpr char kFlashDir[] = "/flash/";
constexpr char kCardDir[] = "/var/slot1/";

bool validType(int type) { return type >= 0 && type < kCertFileCount; }

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// Size of a file, -1 when it does not exist.
long long sizeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;

X509Ptr readCertificate(const std::string& path) {
  FilePtr file(std::fopen(path.c_str(), "r"));
  if (!file) return nullptr;
  return X509Ptr(PEM_read_X509(file.get(), nullptr, nullptr, nullptr));
}

constexpr char kRootLink[] = "/flash/cert_root.pem";

}  // namespace

std::string certFilePath(int type) {
  return validType(type) ? sysPath(certFileTable[type].path) : std::string();
}

const char* certFileName(int type) {
  return validType(type) ? baseName(certFileTable[type].path) : "";
}

std::string caStorePath(unsigned long subjectHash) {
  char path[32];
  std::snprintf(path, sizeof path, "%s%08lx.0", kFlashDir, subjectHash & 0xffffffffUL);
  return path;
}

bool isCaStorePath(const std::string& path) {
  const size_t prefix = sizeof kFlashDir - 1;
  if (path.size() != prefix + 10 || path.compare(0, prefix, kFlashDir) != 0) return false;
  for (size_t i = prefix; i < prefix + 8; ++i) {
    char c = path[i];
    if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f')) return false;
  }
  return path.compare(prefix + 8, 2, ".0") == 0;
}

int deleteCertFile(int type, const char* path, CardMirror& card) {
  if (!validType(type)) return 0;
  const char* systemPath = certFileTable[type].path;
  if (type == CERT_TMP && path != nullptr && *path != '\0') systemPath = path;
  int removed = ::unlink(sysPath(systemPath).c_str()) == 0 ? 1 : 0;
  if (card.backsUpFlash()) ::unlink(sysPath(std::string(kCardDir) + baseName(systemPath)).c_str());
  return removed;
}

int linkRootCertificate(const std::string& caPath, CardMirror& card) {
  // Only a file of the store may become the root: the link is followed
  // when it is copied to the card.
  if (!isCaStorePath(caPath)) return 0;
  std::string link = sysPath(kRootLink);
  ::unlink(link.c_str());
  // A relative target keeps the link inside the flash directory, whatever
  // the root directory is.
  if (::symlink(baseName(caPath.c_str()), link.c_str()) != 0) return 0;
  card.mirrorToCard(kRootLink);
  return 1;
}

void migrateRootCertificate(CardMirror& card) {
  std::string link = sysPath(kRootLink);
  struct stat st;
  if (::lstat(link.c_str(), &st) != 0) return;
  X509Ptr certificate = readCertificate(link);
  if (!certificate) {
    ::unlink(link.c_str());
    return;
  }
  if (S_ISLNK(st.st_mode)) return;
  std::string store = caStorePath(X509_subject_name_hash(certificate.get()));
  std::string storeFile = sysPath(store);
  ::unlink(storeFile.c_str());
  if (::rename(link.c_str(), storeFile.c_str()) != 0) return;
  linkRootCertificate(store, card);
}

int removeUnpairedImportedKey(CardMirror& card) {
  if (sizeOf(certFilePath(CERT_FPKEY)) <= 1 || sizeOf(certFilePath(CERT_FSRV)) > 0) return 0;
  return deleteCertFile(CERT_FPKEY, nullptr, card);
}

int loadServerKeyAndCert(EVP_PKEY** key, X509** certificate) {
  *key = nullptr;
  *certificate = nullptr;
  struct PairFiles {
    CertFile key;
    CertFile certificate;
  };
  constexpr PairFiles kPairs[] = {{CERT_FPKEY, CERT_FSRV}, {CERT_PKEY, CERT_SRV}};
  for (const PairFiles& pair : kPairs) {
    std::string keyPath = certFilePath(pair.key);
    std::string certificatePath = certFilePath(pair.certificate);
    if (sizeOf(keyPath) <= 0 || sizeOf(certificatePath) <= 0) continue;
    FilePtr keyFile(std::fopen(keyPath.c_str(), "r"));
    if (keyFile) *key = PEM_read_PrivateKey(keyFile.get(), nullptr, nullptr, nullptr);
    X509Ptr read = readCertificate(certificatePath);
    if (*key == nullptr || !read) {
      EVP_PKEY_free(*key);
      *key = nullptr;
      return 0;
    }
    *certificate = read.release();
    return 1;
  }
  return 0;
}

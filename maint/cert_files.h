#pragma once
// The appliance's keys and certificates: PEM files under fixed names in
// /flash, a store of CA certificates named by their subject hash
// (/flash/<hash>.0) and the link /flash/cert_root.pem to the root CA of that
// store. Paths named here are the system's (/flash/...); every file access
// puts the root directory in front (sysPath).
#include <string>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_st X509;

// The fixed files, also the "type" that parsing, deleting and the page
// values take.
enum CertFile {
  CERT_PKEY = 0,   // the device's own private key
  CERT_FPKEY = 1,  // imported private key
  CERT_RPRIV = 2,  // private key made with a certificate request
  CERT_SRV = 3,    // the device's own certificate (pair of CERT_PKEY)
  CERT_FSRV = 4,   // imported certificate (pair of CERT_FPKEY)
  CERT_RCERT = 5,  // certificate issued for the request (pair of CERT_RPRIV)
  CERT_REQ = 6,    // the certificate signing request
  CERT_MIME = 7,   // S/MIME recipient certificate
  CERT_ROOT = 8,   // root CA: a symbolic link into the CA store
  CERT_TMP = 9,    // an uploaded CA certificate before it is stored
};
constexpr int kCertFileCount = 10;

struct CertFileEntry {
  CertFile type;
  const char* path;  // the system's path, e.g. "/flash/cert_pkey.pem"
};

extern const CertFileEntry certFileTable[kCertFileCount];

// The table path of `type` under the root directory; "" for other values.
std::string certFilePath(int type);
// The file name of `type` ("cert_pkey.pem"); "" for other values.
const char* certFileName(int type);
// "/flash/%08lx.0" of a subject-name hash (the system's path).
std::string caStorePath(unsigned long subjectHash);
// Whether `path` names a file of the CA store: "/flash/" then eight
// lower-case hexadecimal digits and ".0".
bool isCaStorePath(const std::string& path);

// The SD card's backup of the flash, as the certificate files need it; the
// SD card task provides it.
class CardMirror {
 public:
  virtual ~CardMirror() = default;
  // Whether the card backs up the flash (SD card feature, `autoSync` on,
  // card usable).
  virtual bool backsUpFlash() = 0;
  // mirrorToCard(flashPath): copies /flash/<name> to /var/slot1/<name>; 1/0.
  virtual int mirrorToCard(const std::string& flashPath) = 0;
};

// Removes the file of `type` (for CERT_TMP a non-empty `path` instead of
// the table's) and, when the card backs up the flash, its copy
// /var/slot1/<file name>. 1 when the flash file was removed; other types
// do nothing (0).
int deleteCertFile(int type, const char* path, CardMirror& card);

// Makes /flash/cert_root.pem a symbolic link to `caPath`, a file of the CA
// store, and mirrors it to the card. 0 when the path is not a store file
// or the link cannot be made.
int linkRootCertificate(const std::string& caPath, CardMirror& card);

// Start-up tidying of /flash/cert_root.pem: nothing when it does not exist;
// removed when it does not read as a certificate (a dangling link
// included); a plain file moves into the store as /flash/<hash>.0 and the
// link is made to it.
void migrateRootCertificate(CardMirror& card);

// Start-up: an imported key (longer than one byte) without its imported
// certificate (empty or missing) is removed before TLS starts. 1 when it was.
int removeUnpairedImportedKey(CardMirror& card);

// The server's key and certificate for S/MIME: the imported pair when both
// files are non-empty, else the own pair when both are, else 0. On any
// failure both outputs are null; on success the caller frees them.
int loadServerKeyAndCert(EVP_PKEY** key, X509** certificate);

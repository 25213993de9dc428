#include "maint/cert_info.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "core/paths.h"
#include "core/task_pause.h"
#include "maint/cert_files.h"

namespace cert {
std::mutex mtx;

void lock() {
  while (!mtx.try_lock()) pauseServingMessages(20, std::chrono::milliseconds(2));
}

void unlock() { mtx.unlock(); }
}  // namespace cert

std::atomic<int> certGenState{0};
std::atomic<int> certGenMode{0};
std::atomic<unsigned long> certSubjectHash{0};
std::atomic<unsigned long> certIssuerHash{0};

namespace {

constexpr char kEndMarker[] = "-----END CERTIFICATE-----";

CertInfo& record() {
  static CertInfo info;
  return info;
}

}  // namespace

void CertInfo::clear() {
  keyBits = 1024;
  createdStamp = 0;
  requestLength = 0;
  request[0] = '\0';
  scratch[0] = '\0';
  present_ = false;
  poolUsed_ = 0;
  std::fill(std::begin(slots_), std::end(slots_), -1);
}

int CertInfo::setField(int slot, const char* text, int length, int slotOffset, const char* prefix,
                       bool append) {
  int index = slot + slotOffset;
  if (slot < 0 || slotOffset < 0 || index >= kCertFieldSlots) {
    std::fprintf(stderr, "ERROR: illegal idx:%d\n", index);
    return 1;
  }
  if (text == nullptr) text = "";
  size_t textLength = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
  std::string value = prefix ? prefix : "";
  value.append(text, textLength);
  int previous = append ? slots_[index] : -1;
  if (previous >= 0 && pool_[previous] != '\0') value.insert(0, slot == SLOT_DC ? "/" : ",");
  if (previous >= 0 && previous + static_cast<int>(std::strlen(pool_ + previous)) + 1 == poolUsed_) {
    // The slot's text is the last one in the pool: extend it where it lies.
    if (poolUsed_ + value.size() > kCertPoolSize) return 1;
    std::memcpy(pool_ + poolUsed_ - 1, value.c_str(), value.size() + 1);
    poolUsed_ += static_cast<int>(value.size());
    return 0;
  }
  if (previous >= 0) value.insert(0, pool_ + previous);
  if (poolUsed_ + value.size() + 1 > kCertPoolSize) return 1;
  std::memcpy(pool_ + poolUsed_, value.c_str(), value.size() + 1);
  slots_[index] = poolUsed_;
  poolUsed_ += static_cast<int>(value.size()) + 1;
  return 0;
}

const char* CertInfo::field(int slot) const {
  if (slot == SLOT_REQUEST) return request;
  if (slot == SLOT_END_MARKER) return kEndMarker;
  if (slot < 0 || slot >= kCertSlotCount || slots_[slot] < 0) return "";
  return pool_ + slots_[slot];
}

CertInfo& getCertInfo() {
  CertInfo& info = record();
  info.markPresent();
  return info;
}

namespace {

void releaseLocked() {
  int state = certGenState.load();
  if (state == 2 || state == 3) return;
  record().clear();
  certGenState = 0;
}

struct BioDeleter {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
struct X509Deleter {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
struct ReqDeleter {
  void operator()(X509_REQ* request) const { X509_REQ_free(request); }
};
struct NamesDeleter {
  void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};
using NamesPtr = std::unique_ptr<GENERAL_NAMES, NamesDeleter>;

// The one-line name keys in slot order; emailAddress goes to the mail slot.
struct NameKey {
  const char* key;
  int slot;
};
constexpr NameKey kNameKeys[] = {
    {"CN", SLOT_CN}, {"O", SLOT_ON},   {"OU", SLOT_OU}, {"L", SLOT_LN},
    {"ST", SLOT_SN}, {"C", SLOT_CTRY}, {"DC", SLOT_DC}, {"emailAddress", SLOT_MAIL},
};

// Finds the next "/KEY =" of a one-line name from `*from` on; the value's
// start and length, with `*from` moved behind the value, or false.
bool findNameValue(const char* key, const char** from, const char** value, size_t* length) {
  size_t keyLength = std::strlen(key);
  for (const char* p = std::strchr(*from, '/'); p != nullptr; p = std::strchr(p + 1, '/')) {
    if (std::strncmp(p + 1, key, keyLength) != 0) continue;
    const char* q = p + 1 + keyLength;
    while (*q == ' ' || *q == '\t') ++q;
    if (*q != '=') continue;
    *value = q + 1;
    const char* end = std::strchr(*value, '/');
    *length = end ? static_cast<size_t>(end - *value) : std::strlen(*value);
    *from = *value + *length;
    return true;
  }
  return false;
}

void storeName(CertInfo& info, const char* oneLine, int offset) {
  for (const NameKey& name : kNameKeys) {
    const char* from = oneLine;
    const char* value;
    size_t length;
    if (!findNameValue(name.key, &from, &value, &length)) {
      info.setField(name.slot, "", 0, offset);
      continue;
    }
    info.setField(name.slot, value, static_cast<int>(length), offset);
    if (name.slot != SLOT_DC) continue;
    while (findNameValue(name.key, &from, &value, &length))
      info.setField(name.slot, value, static_cast<int>(length), offset, nullptr, true);
  }
}

void storeAlternativeNames(CertInfo& info, const GENERAL_NAMES* names) {
  info.setField(SLOT_SAN, "");
  bool first = true;
  for (int i = 0; names != nullptr && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    std::string text;
    if (name->type == GEN_DNS) {
      const ASN1_STRING* dns = name->d.dNSName;
      const char* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns));
      int length = ASN1_STRING_length(dns);
      // A name with a zero byte inside would show as a different name.
      if (static_cast<int>(strnlen(data, static_cast<size_t>(length))) != length) continue;
      text = "DNS:" + std::string(data, static_cast<size_t>(length));
    } else if (name->type == GEN_IPADD) {
      const ASN1_OCTET_STRING* ip = name->d.iPAddress;
      char address[INET6_ADDRSTRLEN];
      int length = ASN1_STRING_length(ip);
      if (length != 4 && length != 16) continue;
      if (!inet_ntop(length == 4 ? AF_INET : AF_INET6, ASN1_STRING_get0_data(ip), address,
                     sizeof address))
        continue;
      text = std::string("IP:") + address;
    } else {
      continue;
    }
    if (!first) text.insert(0, " ");
    info.setField(SLOT_SAN, text.c_str(), -1, 0, nullptr, true);
    first = false;
  }
}

// Year, month and day of a validity time into three slots. A two-digit year
// is 19YY from 50 on and 20YY below (RFC 5280).
void storeDate(CertInfo& info, const ASN1_TIME* time, int yearSlot) {
  const char* text = reinterpret_cast<const char*>(ASN1_STRING_get0_data(time));
  int length = ASN1_STRING_length(time);
  char year[5] = {};
  const char* rest;
  if (ASN1_STRING_type(time) == V_ASN1_GENERALIZEDTIME && length >= 8) {
    std::memcpy(year, text, 4);
    rest = text + 4;
  } else if (ASN1_STRING_type(time) == V_ASN1_UTCTIME && length >= 6) {
    year[0] = text[0] >= '5' ? '1' : '2';
    year[1] = text[0] >= '5' ? '9' : '0';
    std::memcpy(year + 2, text, 2);
    rest = text + 2;
  } else {
    return;
  }
  info.setField(yearSlot, year);
  info.setField(yearSlot + 1, rest, 2);
  info.setField(yearSlot + 2, rest + 2, 2);
}

void storeDigest(CertInfo& info, X509* certificate, const EVP_MD* digest, int slot) {
  unsigned char bytes[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!X509_digest(certificate, digest, bytes, &length)) return;
  char text[EVP_MAX_MD_SIZE * 3 + 1];
  char* write = text;
  for (unsigned int i = 0; i < length; ++i)
    write += std::snprintf(write, 4, i ? ":%02X" : "%02X", bytes[i]);
  info.setField(slot, text);
}

int keyBitsOf(EVP_PKEY* key) { return key ? EVP_PKEY_get_bits(key) : 8; }

int parseLocked(int type, const char* path, int fd) {
  BioPtr source;
  if (fd >= 0)
    source.reset(BIO_new_fd(fd, BIO_CLOSE));
  else
    source.reset(BIO_new_file((path ? sysPath(path) : certFilePath(type)).c_str(), "r"));
  if (!source) {
    if (fd >= 0) ::close(fd);
    return 0;
  }
  CertInfo& info = record();
  if (type == CERT_REQ) {
    std::unique_ptr<X509_REQ, ReqDeleter> request(
        PEM_read_bio_X509_REQ(source.get(), nullptr, nullptr, nullptr));
    if (!request) {
      certGenMode = type;
      return 0;
    }
    char subject[2048];
    X509_NAME_oneline(X509_REQ_get_subject_name(request.get()), subject, sizeof subject);
    STACK_OF(X509_EXTENSION)* extensions = X509_REQ_get_extensions(request.get());
    NamesPtr names(static_cast<GENERAL_NAMES*>(
        X509V3_get_d2i(extensions, NID_subject_alt_name, nullptr, nullptr)));
    sk_X509_EXTENSION_pop_free(extensions, X509_EXTENSION_free);
    info.clear();
    info.markPresent();
    info.keyBits = keyBitsOf(X509_REQ_get0_pubkey(request.get()));
    storeName(info, subject, 0);
    storeName(info, "", SLOT_ISSUER);
    storeAlternativeNames(info, names.get());
  } else {
    std::unique_ptr<X509, X509Deleter> certificate(
        PEM_read_bio_X509(source.get(), nullptr, nullptr, nullptr));
    if (!certificate) {
      certGenMode = type;
      return 0;
    }
    char subject[1024], issuer[1024];
    X509_NAME_oneline(X509_get_subject_name(certificate.get()), subject, sizeof subject);
    X509_NAME_oneline(X509_get_issuer_name(certificate.get()), issuer, sizeof issuer);
    certSubjectHash = X509_subject_name_hash(certificate.get());
    certIssuerHash = X509_issuer_name_hash(certificate.get());
    NamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate.get(), NID_subject_alt_name, nullptr, nullptr)));
    info.clear();
    info.markPresent();
    info.keyBits = keyBitsOf(X509_get0_pubkey(certificate.get()));
    storeName(info, subject, 0);
    storeName(info, issuer, SLOT_ISSUER);
    storeAlternativeNames(info, names.get());
    storeDate(info, X509_get0_notBefore(certificate.get()), SLOT_SYEAR);
    storeDate(info, X509_get0_notAfter(certificate.get()), SLOT_EYEAR);
    storeDigest(info, certificate.get(), EVP_sha1(), SLOT_SHA1);
    storeDigest(info, certificate.get(), EVP_sha256(), SLOT_SHA2);
  }
  certGenMode = type;
  return 1;
}

// The page field names of slots 0..27; `i_mail` reads the issuer's e-mail
// in slot 28.
constexpr const char* kFieldNames[28] = {
    "cn",   "on",   "ou",   "ln",    "sn",   "ctry", "dc",   "san",  "mail", "syear",
    "smon", "sday", "eyear", "emon", "eday", "start", "end", "ct",   "sha1", "sha2",
    "i_cn", "i_on", "i_ou", "i_ln",  "i_sn", "i_ctry", "i_dc", "i_mail",
};

int slotOfField(const char* field) {
  for (int slot = 0; slot < 28; ++slot)
    if (std::strcmp(field, kFieldNames[slot]) == 0) return slot == 27 ? SLOT_I_MAIL : slot;
  return -1;
}

// The file whose presence `state` reports: the key of an own or imported
// certificate, else the type's own file.
int stateFileOf(int type) {
  if (type == CERT_SRV) return CERT_PKEY;
  if (type == CERT_FSRV) return CERT_FPKEY;
  return type;
}

int put(char* out, int size, const char* text) {
  int written = std::snprintf(out, static_cast<size_t>(size), "%s", text);
  return std::min(written, size - 1);
}

int readInto(const std::string& path, char* buffer, int size) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  int total = 0;
  ssize_t n;
  while (total < size && (n = ::read(fd, buffer + total, static_cast<size_t>(size - total))) > 0)
    total += static_cast<int>(n);
  ::close(fd);
  return total;
}

}  // namespace

void releaseCertInfo() {
  cert::Guard guard;
  releaseLocked();
}

std::string certField(int slot) {
  cert::Guard guard;
  return record().present() ? record().field(slot) : "";
}

int parseCertificate(int type, const char* path, int fd) {
  cert::Guard guard;
  return parseLocked(type, path, fd);
}

int certTemplateValue(int type, const char* field, char* out, int size) {
  if (out == nullptr || size < 32 || field == nullptr) return 0;
  out[0] = '\0';
  cert::Guard guard;
  CertInfo& info = record();
  if (std::strcmp(field, "state") == 0) {
    int tested = stateFileOf(type);
    std::string path = certFilePath(tested);
    if (path.empty()) return put(out, size, "MISSING");
    int read = readInto(path, info.scratch, kCertBufferSize - 1);
    info.scratch[std::max(read, 0)] = '\0';
    releaseLocked();
    bool issued = read >= 0;
    if (issued && tested >= CERT_RPRIV) issued = parseLocked(tested, nullptr, -1) == 1;
    return put(out, size, issued ? "ISSUED" : "MISSING");
  }
  if (std::strcmp(field, "text") == 0) {
    if (type != CERT_REQ) return 0;
    std::memset(info.request, 0, sizeof info.request);
    int read = readInto(certFilePath(CERT_REQ), info.request, kCertBufferSize - 1);
    info.requestLength = std::max(read, 0);
    return put(out, size, info.request);
  }
  if (std::strcmp(field, "bits") == 0)
    return put(out, size, std::to_string(info.present() ? info.keyBits : 0).c_str());
  if (std::strcmp(field, "start") == 0 || std::strcmp(field, "end") == 0) {
    int year = field[0] == 's' ? SLOT_SYEAR : SLOT_EYEAR;
    std::string date = std::string(info.field(year)) + "/" + info.field(year + 1) + "/" +
                       info.field(year + 2);
    return put(out, size, date.c_str());
  }
  int slot = slotOfField(field);
  if (slot < 0) return put(out, size, "-- internal error --");
  const char* text = info.present() ? info.field(slot) : "";
  if (static_cast<int>(std::strlen(text)) >= size) return 0;
  return put(out, size, text);
}

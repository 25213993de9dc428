#pragma once
// CertInfo: the one process-wide record into which a certificate or a
// certificate request is parsed, for the certificate pages and as input of
// the certificate generator.
//
// Locking: cert::mtx guards the record, its slots and pool, and the
// certificate files while they are parsed or generated. Parsing and
// generation hold it for their whole run; page values are copied out under
// it. The record is never freed: releasing it clears it, so no task can be
// left with a pointer into freed memory. The state words beside it are
// atomics and may be read without the lock.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace cert {
// Guards the CertInfo record and the certificate files.
extern std::mutex mtx;
// Polls the mutex; between tries a task waits 20 ticks serving its
// messages, other threads sleep 2 ms.
void lock();
void unlock();

// cert::lock() for a scope.
class Guard {
 public:
  Guard() { lock(); }
  ~Guard() { unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};
}  // namespace cert

constexpr int kCertSlotCount = 32;
constexpr int kCertFieldSlots = 29;  // slots 0..28 take texts through setField
constexpr int kCertPoolSize = 1988;
constexpr int kCertBufferSize = 4096;

// Slots of the record (slot 27, `i_mail`, reads slot 28).
enum CertSlot {
  SLOT_CN = 0, SLOT_ON = 1, SLOT_OU = 2, SLOT_LN = 3, SLOT_SN = 4, SLOT_CTRY = 5,
  SLOT_DC = 6, SLOT_SAN = 7, SLOT_MAIL = 8,
  SLOT_SYEAR = 9, SLOT_SMON = 10, SLOT_SDAY = 11, SLOT_EYEAR = 12, SLOT_EMON = 13, SLOT_EDAY = 14,
  SLOT_START = 15, SLOT_END = 16, SLOT_CT = 17, SLOT_SHA1 = 18, SLOT_SHA2 = 19,
  SLOT_ISSUER = 20,  // offset of the issuer's fields
  SLOT_I_MAIL = 28, SLOT_REQUEST = 30, SLOT_END_MARKER = 31,
};

class CertInfo {
 public:
  CertInfo() { clear(); }

  // Back to a new record: empty pool and slots, key size 1024, request text
  // and stamp cleared.
  void clear();

  // Stores `text` (after `prefix`, when given) in slot + slotOffset; length
  // -1 means strlen. In append mode the slot's last text is extended,
  // joined with "/" for the DC slot and "," otherwise (nothing is joined to
  // an empty text). 0 stored, 1 refused: an index of 29 or more ("ERROR:
  // illegal idx:%d\n" on standard error) or a text the pool cannot hold.
  int setField(int slot, const char* text, int length = -1, int slotOffset = 0,
               const char* prefix = nullptr, bool append = false);

  // The slot's text; "" when unset. Slot 30 is the request text, slot 31
  // "-----END CERTIFICATE-----".
  const char* field(int slot) const;

  // Whether the record holds a parse or an input (the pages show 0 bits
  // for a released record).
  bool present() const { return present_; }
  void markPresent() { present_ = true; }

  int keyBits = 1024;
  int64_t createdStamp = 0;  // tick clock when the input was validated
  char scratch[kCertBufferSize];
  char request[kCertBufferSize];  // PEM text of the request
  int requestLength = 0;

 private:
  bool present_ = false;
  char pool_[kCertPoolSize];
  int poolUsed_ = 0;
  int slots_[kCertSlotCount];  // pool offsets, -1 when unset
};

// The record; only under cert::mtx. Marks it present (created on first use).
CertInfo& getCertInfo();
// Clears the record and sets certGenState to 0, except while a generation is
// pending (states 2 and 3), when it does nothing. Takes cert::mtx.
void releaseCertInfo();
// A copy of a slot's text, taken under cert::mtx; "" for an absent record.
std::string certField(int slot);

// Generation state: 0 idle, 2 input validated, 3 generating, 4 done.
extern std::atomic<int> certGenState;
// The CertFile of the last parse or validation: 3 self-signed, 6 request.
extern std::atomic<int> certGenMode;
// Subject-name and issuer-name hashes of the last parsed certificate.
extern std::atomic<unsigned long> certSubjectHash;
extern std::atomic<unsigned long> certIssuerHash;

// Parses a PEM certificate (a request for CERT_REQ) into the record: from
// `fd` when it is >= 0 (taken over and closed), else from `path` (a system
// path), else from the type's table file. 1 parsed; 0 when the source
// cannot be opened or read (the record is then left as it was).
int parseCertificate(int type, const char* path, int fd);

// The value of a certificate page variable (prefixes certself_, certClPub_,
// certClPrv_, certmime_, certca_, certrequ_ give the type): `state`,
// `text`, `bits`, `start`, `end` or one of the slot names. Writes into
// `out` (NUL-terminated) and returns the characters written; nothing for
// an output of fewer than 32 bytes.
int certTemplateValue(int type, const char* field, char* out, int size);

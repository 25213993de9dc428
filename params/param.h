#pragma once
// Parameters: every setting and published status value of the system.
//
// How to declare parameters (for the parameter tables)
// -----------------------------------------------------
// A ParamTable owns every parameter. Create each one through the table; the
// call returns the typed handle that the rest of the program keeps:
//
//   ParamTable& t = ...;
//   IntParam*    wyk_port  = t.add<IntParam>("wyk_port", 9200, 1, 65535, Reconfigure);
//   IntParam*    life      = t.add<IntParam>("life", 0, ReadOnly | Live);  // no limits
//   OnOffParam*  sessKeys  = t.add<OnOffParam>("sessKeys", false, Live);
//   StringParam* admin_pwd = t.add<StringParam>("admin_pwd", "", 8, 64, Reconfigure | Masked);
//   StringParam* disp_def  = t.add<StringParam>("disp_def", "DS", 2, 2, Live | 0x40000, isDisplayCode);
//   P3List*      admin_hash= t.add<P3List>("admin_hash", "md5", hashChoices, Reconfigure);
//   Ip4Address*  ip_mask   = t.add<Ip4Address>("ip_mask", "255.255.255.0", 0);
//   Ip6Address*  ipv6_addr = t.add<Ip6Address>("ipv6_addr", "::", 0);
//   MacAddress*  hw_mac    = t.add<MacAddress>("some_mac", 0);          // 00:00:00:00:00:00
//
// A numbered family prefix1..prefixN is one call; members are numbered
// from 1 and the array holds member n at index n - 1:
//
//   std::array<OnOffParam*, 20> wyk_sec_ =
//       t.addFamily<OnOffParam, 20>("wyk_sec_", false, Live | PortIndexed);
//   std::array<StringParam*, 4> wifi_wkey =
//       t.addFamily<StringParam, 4>("wifi_wkey", "", 0, 28, 0x4000);
//
// Flags are the ParamFlag bits of param_flags.h ORed with feature bits
// (0x1000 ... 0x400000); a word with neither Live nor Reconfigure is
// restart class. Order of declaration does not matter: the table keeps its
// parameters in byte order of their names. A duplicate name is a
// programming error and aborts.
//
// Choice tables are arrays of Choice {keyword, display, third}; P3List
// keeps a view of the array, so it must outlive the table (a static array,
// or a vector built once at start and never resized). Display texts must
// never be null.
//
// Locking: every value access takes only the parameter's own mutex, held for
// that one access; no parameter operation holds two parameter mutexes.
// Reading accessors return copies, never pointers into the parameter.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "params/param_flags.h"
#include "params/snmp_value.h"

class ParamTable;

// The translation call for Translated texts: getmuText unless another is
// installed (an identity or a fixed table where no catalogue is bound).
using TranslateFn = std::string (*)(const char* text);

// Abstract base of all parameter classes.
//
// Locking: mutex_ guards the value fields of the concrete class, the
// modified mark's updates and the SNMP undo value. flags_ and modified_ are
// atomics so that unlocked readers (visibility tests, resetModified's scan)
// see whole words. No other lock is taken while mutex_ is held, except the
// translator's inside a translated text conversion.
class Param {
 public:
  virtual ~Param() = default;
  Param(const Param&) = delete;
  Param& operator=(const Param&) = delete;

  const std::string& name() const { return name_; }
  uint32_t flags() const { return flags_.load(std::memory_order_acquire); }
  bool hasFlags(uint32_t bits) const { return (flags() & bits) != 0; }
  bool isHidden() const { return hasFlags(Hidden); }
  // Hiding happens at start (product features) and when the USB server
  // sizes its slot families.
  void addFlags(uint32_t bits) { flags_.fetch_or(bits, std::memory_order_acq_rel); }
  void clearFlags(uint32_t bits) { flags_.fetch_and(~bits, std::memory_order_acq_rel); }

  bool isModified() const { return modified_.load(std::memory_order_acquire); }
  // Reads and clears the modified mark in one step (resetModified).
  bool takeModified();

  // Syntax and limits only; nothing is stored.
  virtual bool validate(std::string_view text) const = 0;
  // Display form: masked, translated.
  virtual std::string toText() const = 0;
  // One text of the value; only P3List uses the selector.
  virtual std::string itemText(int32_t selector) const;
  // Stored form for the parameter file: never masked or translated.
  virtual std::string storedText() const = 0;
  // Writes storedText() to the file; returns the bytes written.
  int printTo(std::FILE* file) const;
  // Parses and stores the text, setting the modified mark when the class's
  // rule says so; false when the text is refused.
  virtual bool setFromText(std::string_view text) = 0;
  virtual bool isSet() const = 0;
  // The value for an SNMP get; false when the parameter is hidden or
  // internal (the object does not exist then).
  virtual bool getBySnmp(SnmpValue& out) const = 0;
  // One SET phase (SnmpPhase); returns an SnmpStatus. The commit phase
  // applies and saves every change through the table.
  virtual int setBySnmp(int phase, const SnmpValue& value, ParamTable& table);

  // The checked text setter of web forms, mail commands and the parameter
  // file: validate, then setFromText. Returns the change class
  // (ChangeNone when refused, hidden or runtime-only).
  int set(std::string_view text);

  virtual int count() const { return 1; }
  virtual bool isOn() const { return false; }
  virtual bool isOff() const { return true; }

  // Installs the translation call (once at start, before tasks run); null
  // restores getmuText.
  static void setTranslator(TranslateFn fn);
  static std::string translate(const char* text);

  // Texts of this length or more are refused by set.
  static constexpr size_t kMaxSetLength = 1025;

 protected:
  Param(std::string name, uint32_t flags);

  // Callers hold mutex_.
  void setModifiedLocked(bool on) { modified_.store(on, std::memory_order_release); }

  // SNMP undo bookkeeping, per parameter so that a request setting several
  // parameters restores each one. beginUndoLocked remembers the mark before
  // the action phase; endUndoLocked puts it back (so an undo neither loses
  // a change pending from before the request nor leaves a spurious one)
  // and tells whether an action is there to undo; dropUndoLocked forgets
  // it. Callers hold mutex_ and keep the old value themselves.
  void beginUndoLocked() {
    undoHeld_ = true;
    markBeforeAction_ = isModified();
  }
  bool endUndoLocked() {
    if (!undoHeld_) return false;
    undoHeld_ = false;
    setModifiedLocked(markBeforeAction_);
    return true;
  }
  void dropUndoLocked() { undoHeld_ = false; }

  mutable std::mutex mutex_;

 private:
  std::string name_;
  std::atomic<uint32_t> flags_;
  std::atomic<bool> modified_{false};
  bool undoHeld_ = false;          // guarded by mutex_
  bool markBeforeAction_ = false;  // guarded by mutex_
};

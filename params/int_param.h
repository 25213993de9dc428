#pragma once
// A signed 32-bit setting with an optional range.
#include "params/param.h"

// Locking: the value is written under mutex_ and read as an atomic word, so
// value(), isOn() and isOff() need no lock. undo_ is guarded by mutex_.
class IntParam : public Param {
 public:
  // Without limits: any text is accepted and its leading number stored.
  IntParam(std::string name, int32_t value, uint32_t flags);
  // With the range [minimum, maximum].
  IntParam(std::string name, int32_t value, int32_t minimum, int32_t maximum, uint32_t flags);

  int32_t value() const { return value_.load(std::memory_order_acquire); }
  bool hasLimits() const { return hasLimits_; }
  int32_t minimum() const { return minimum_; }
  int32_t maximum() const { return maximum_; }

  // Stores the value and marks the parameter when it differs; returns
  // whether it changed.
  bool setValue(int32_t v);
  // setValue within the limits; false (nothing stored) outside them.
  bool setChecked(int32_t v);

  bool validate(std::string_view text) const override;
  std::string toText() const override;
  std::string storedText() const override;
  bool setFromText(std::string_view text) override;
  bool isSet() const override { return true; }
  bool getBySnmp(SnmpValue& out) const override;
  int setBySnmp(int phase, const SnmpValue& value, ParamTable& table) override;
  bool isOn() const override { return value() != 0; }
  bool isOff() const override { return value() == 0; }

  // The leading decimal number of a text (optional blanks, optional sign),
  // saturated to 32 bits; 0 when the text has none.
  static int32_t leadingNumber(std::string_view text);

 protected:
  // Stores v; callers hold mutex_.
  void storeLocked(int32_t v) { value_.store(v, std::memory_order_release); }

 private:
  std::atomic<int32_t> value_;
  const bool hasLimits_;
  const int32_t minimum_;
  const int32_t maximum_;
  int32_t undo_ = 0;  // guarded by mutex_
};

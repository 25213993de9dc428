#pragma once
// A text setting with a length range, optionally masked or translated.
#include "params/param.h"

// An extra rule for one parameter's texts (for example the two-character
// display code); null when the length range is the only rule.
using TextRule = bool (*)(std::string_view text);

// Locking: text_ and undo_ are guarded by mutex_; every reader gets a copy.
class StringParam : public Param {
 public:
  StringParam(std::string name, std::string_view defaultText, int32_t minLength,
              int32_t maxLength, uint32_t flags, TextRule rule = nullptr);

  // The text, translated when the parameter is Translated and the text is set.
  std::string text() const;

  // Length range (or the extra rule), no control characters, no leading or
  // trailing blank (the parameter file trims those). The empty text always
  // passes for Masked and Hashed parameters.
  bool validate(std::string_view text) const override;
  // "****" on a Masked parameter keeps the value. A Hashed parameter stores
  // the password's hash (the parameter file keeps the hash; reading the
  // system's own file takes it over with Hashed cleared for the set).
  bool setFromText(std::string_view text) override;
  // "****" for a non-empty masked value.
  std::string toText() const override;
  std::string storedText() const override;
  bool isSet() const override;
  bool getBySnmp(SnmpValue& out) const override;
  int setBySnmp(int phase, const SnmpValue& value, ParamTable& table) override;

  int32_t minLength() const { return minLength_; }
  int32_t maxLength() const { return maxLength_; }

  // The text a masked value is shown as, and which keeps it when set.
  static constexpr std::string_view kMask = "****";
  // True for a text that could break a line of the parameter file or a
  // header: any byte below 0x20, or 0x7F.
  static bool hasControlCharacter(std::string_view text);

 private:
  bool isMaskedKind() const { return hasFlags(Masked | Hashed); }
  // Hashed: stores the password's hash unless it matches the stored one.
  bool setPassword(const std::string& password);
  bool passesRule(std::string_view text) const;

  std::string text_;
  const int32_t minLength_;
  const int32_t maxLength_;
  const TextRule rule_;
  std::string undo_;  // guarded by mutex_
};

// The rule of the status display's default code: exactly two characters,
// each an upper-case letter or a digit, and not E followed by a digit (the
// system's own error codes).
bool isDisplayCode(std::string_view text);

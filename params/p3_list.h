#pragma once
// One choice out of a fixed table of three-text entries.
#include <initializer_list>
#include <span>

#include "params/param.h"

// One entry of a choice table: the keyword is what is stored, compared and
// written to the parameter file; the display text is what the web interface
// shows; the third column is free (locale names, UTC offset labels).
struct Choice {
  const char* keyword;
  const char* display;
  const char* third;
};

// Locking: index_ is written under mutex_ and read as an atomic word; the
// entry table is constant. undo_ is guarded by mutex_.
class P3List : public Param {
 public:
  static constexpr int32_t kNone = INT32_MIN;  // 0x80000000: nothing selected
  static constexpr int32_t kDisplayColumn = 0x10000;
  static constexpr int32_t kThirdColumn = 0x20000;

  // Selects the entry whose keyword is defaultKeyword; none when it is
  // null or not in the table.
  P3List(std::string name, const char* defaultKeyword, std::span<const Choice> choices,
         uint32_t flags);

  // Index of the first entry with exactly this keyword, or kNone.
  int32_t indexOf(std::string_view keyword) const;
  int32_t index() const { return index_.load(std::memory_order_acquire); }
  // The current keyword; empty when nothing is selected.
  std::string keyword() const;
  // The current keyword equals the text, ignoring letter case.
  bool is(std::string_view keyword) const;
  bool isOneOf(std::initializer_list<std::string_view> keywords) const;
  std::span<const Choice> choices() const { return choices_; }

  // Selects an entry by index; false (nothing stored) when out of range.
  bool setIndex(int32_t index);

  bool validate(std::string_view text) const override;
  // The current keyword.
  std::string toText() const override;
  // Selector bits: kThirdColumn (wins) or kDisplayColumn choose the column
  // and the low 16 bits the entry; neither bit: the whole selector is the
  // entry; a negative selector takes the current entry. An index out of
  // range prints "ERROR P3List ill base idx:x%08x" and gives "".
  std::string itemText(int32_t selector) const override;
  std::string storedText() const override { return keyword(); }
  bool setFromText(std::string_view text) override;
  bool isSet() const override { return index() != kNone; }
  int count() const override { return static_cast<int>(choices_.size()); }
  bool getBySnmp(SnmpValue& out) const override;
  int setBySnmp(int phase, const SnmpValue& value, ParamTable& table) override;

 private:
  bool inRange(int64_t i) const { return i >= 0 && i < static_cast<int64_t>(choices_.size()); }
  // Stores i and marks a change; callers hold mutex_.
  void selectLocked(int32_t i);

  const std::span<const Choice> choices_;
  std::atomic<int32_t> index_;
  int32_t undo_ = kNone;  // guarded by mutex_
};

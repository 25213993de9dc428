#pragma once
// The translation every user-visible text passes through. The catalogue is
// used by one thread at a time: every catalogue call of the process goes
// through TranslationLock.
#include <pthread.h>

// The text domain of the program; start-up binds it to /romfs/locale.
inline constexpr char kTextDomain[] = "kvz";

// The translation of text in kTextDomain; the text itself when there is no
// translation or the translation mutex cannot be taken.
const char* getmuText(const char* text);

// Holds the translation mutex, for callers that switch the language
// (setenv of LANGUAGE and the catalogue counter) before translating.
class TranslationLock {
 public:
  TranslationLock();
  ~TranslationLock();
  TranslationLock(const TranslationLock&) = delete;
  TranslationLock& operator=(const TranslationLock&) = delete;
  bool held() const { return error_ == 0; }
  int error() const { return error_; }

 private:
  int error_;
};

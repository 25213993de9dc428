#include "core/util_translate.h"

#include <libintl.h>

#include <cstdio>

#include "core/task_table.h"

namespace {
// pthread rather than std::mutex: a failure to lock is reported, not thrown.
// Recursive, so that a holder of TranslationLock may call getmuText.
pthread_mutex_t translationMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;
}  // namespace

TranslationLock::TranslationLock() : error_(pthread_mutex_lock(&translationMutex)) {}

TranslationLock::~TranslationLock() {
  if (error_ == 0) pthread_mutex_unlock(&translationMutex);
}

const char* getmuText(const char* text) {
  // A blocking lock: texts translated at the same moment by two tasks must
  // both come out translated. Only a lock error leaves the text as it is.
  const TranslationLock lock;
  if (!lock.held()) {
    std::fprintf(stderr, "%s(%s) task:%s tryLocking....\n", "getmuText", text, currentTaskName());
    return text;
  }
  return dgettext(kTextDomain, text);
}

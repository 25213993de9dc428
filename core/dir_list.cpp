#include "core/dir_list.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/system_error.h"
#include "core/task_pause.h"

int noDotFiles(const dirent* entry) { return entry->d_name[0] != '\0' && entry->d_name[0] != '.'; }

int dirsFirstCompare(const dirent** a, const dirent** b) {
  const bool aDir = (*a)->d_type == DT_DIR;
  const bool bDir = (*b)->d_type == DT_DIR;
  if (aDir != bDir) return aDir ? -1 : 1;
  return alphasort(a, b);
}

DirList::~DirList() {
  if (holder_.load() == std::this_thread::get_id()) {
    clear();
  } else {
    freeEntries();
  }
}

int DirList::scan(const char* path, DirOrder order) {
  const std::thread::id self = std::this_thread::get_id();
  if (holder_.load() != self) {
    while (!listMutex_.try_lock()) {
      printSystemError("Param lock Mutex:", EBUSY);
      pauseServingMessages(50, std::chrono::milliseconds(500));
    }
    holder_.store(self);
  }
  freeEntries();
  count_ = ::scandir(path, &entries_, filter_, order != nullptr ? order : alphasort);
  if (count_ < 0) {
    entries_ = nullptr;
    count_ = -1;
    return 0;
  }
  return count_;
}

const dirent* DirList::entry(int index) const {
  if (entries_ == nullptr || index < 0 || index >= count_) return nullptr;
  return entries_[index];
}

const char* DirList::name(int index) const {
  const dirent* found = entry(index);
  return found != nullptr ? found->d_name : nullptr;
}

void DirList::freeEntries() {
  if (entries_ != nullptr) {
    for (int i = 0; i < count_; ++i) std::free(entries_[i]);
    std::free(entries_);
  }
  entries_ = nullptr;
  count_ = -1;
}

void DirList::clear() {
  if (holder_.load() != std::this_thread::get_id()) return;
  freeEntries();
  holder_.store(std::thread::id{});
  listMutex_.unlock();
}

#pragma once
// DirList: one scandir result. The object holds its list mutex from scan()
// until clear() (or its destruction), so a second task scanning the same
// object waits, serving its messages, until the first has cleared it.
//
// Locks: listMutex_ guards entries_ and count_; holder_ names the thread
// that holds it.
#include <dirent.h>

#include <atomic>
#include <mutex>
#include <thread>

using DirFilter = int (*)(const dirent* entry);
using DirOrder = int (*)(const dirent** a, const dirent** b);

// keeps entries whose name is not empty and does not begin with '.'
int noDotFiles(const dirent* entry);
// directories first, each group in alphasort order
int dirsFirstCompare(const dirent** a, const dirent** b);

class DirList {
 public:
  explicit DirList(DirFilter filter = noDotFiles) : filter_(filter) {}
  ~DirList();
  DirList(const DirList&) = delete;
  DirList& operator=(const DirList&) = delete;

  // Lists path in the given order (alphasort when null); the count, or 0
  // when scandir failed (count() is then -1).
  int scan(const char* path, DirOrder order = nullptr);
  int scanDirsFirst(const char* path) { return scan(path, dirsFirstCompare); }
  // the name of entry index; null outside 0..count()-1
  const char* name(int index) const;
  const dirent* entry(int index) const;
  int count() const { return count_; }
  // Frees the result (count -1) and releases the list mutex.
  void clear();

 private:
  void freeEntries();

  dirent** entries_ = nullptr;
  int count_ = -1;
  DirFilter filter_;
  std::mutex listMutex_;
  std::atomic<std::thread::id> holder_{};
};

#include "tests/support/temp_root.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "core/paths.h"

namespace {

std::string temporaryBase() {
  const char* base = std::getenv("TMPDIR");
  return base != nullptr && base[0] == '/' ? base : "/tmp";
}

int removeEntry(const char* path, const struct stat*, int, FTW*) { return ::remove(path); }

void makeParents(const std::string& path) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0755);
  }
}

}  // namespace

void removeTree(const std::string& path) {
  ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string readFileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

TempRoot::TempRoot() {
  std::string pattern = temporaryBase() + "/appliance-root.XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  setRootDirectory(path_);
}

TempRoot::~TempRoot() {
  setRootDirectory("/");
  removeTree(path_);
}

std::string TempRoot::makeDirs(const std::string& absolutePath) const {
  const std::string full = path_ + absolutePath;
  makeParents(full + "/");
  return full;
}

std::string TempRoot::writeFile(const std::string& absolutePath, const std::string& content) const {
  const std::string full = path_ + absolutePath;
  makeParents(full);
  std::ofstream out(full, std::ios::binary | std::ios::trunc);
  out << content;
  return full;
}

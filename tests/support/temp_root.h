#pragma once
// A private root directory for one test: created with mkdtemp, installed
// with setRootDirectory, removed with everything below it (and the root set
// back to "/") when the object goes away, also when the test failed.
#include <gtest/gtest.h>

#include <string>

class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }
  // <root>/relative, with the parent directories created
  std::string makeDirs(const std::string& absolutePath) const;
  // Writes a file below the root (parents created); returns its full path.
  std::string writeFile(const std::string& absolutePath, const std::string& content) const;

 private:
  std::string path_;
};

// Removes path and everything below it; symbolic links are removed, never followed.
void removeTree(const std::string& path);
// The whole content of a file ("" when it cannot be read).
std::string readFileText(const std::string& path);

// A fixture whose every test runs in its own TempRoot.
class TempRootTest : public ::testing::Test {
 protected:
  TempRoot root_;
};

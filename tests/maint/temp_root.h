#pragma once
// A private root directory for one test: created empty, made the process's
// root directory, and removed with everything in it afterwards.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "core/paths.h"

class TempRoot {
 public:
  TempRoot() {
    std::string pattern = (std::filesystem::temp_directory_path() / "appliance-root-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    setRootDirectory(path_);
  }
  ~TempRoot() {
    setRootDirectory("/");
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  const std::string& path() const { return path_; }

  // Writes a file below the root, creating its directories.
  void write(std::string_view absolutePath, std::string_view content) const {
    const std::filesystem::path file = sysPath(absolutePath);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }

  std::string read(std::string_view absolutePath) const {
    std::ifstream in(sysPath(absolutePath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::string path_;
};

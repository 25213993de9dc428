#pragma once
// A private root directory for one parameter test, removed afterwards.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "core/paths.h"

class ParamTestRoot {
 public:
  ParamTestRoot() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "params-root-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    setRootDirectory(path_);
    std::filesystem::create_directories(sysPath("/etc"));
  }
  ~ParamTestRoot() {
    setRootDirectory("/");
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ParamTestRoot(const ParamTestRoot&) = delete;
  ParamTestRoot& operator=(const ParamTestRoot&) = delete;

  const std::string& path() const { return path_; }

  void write(std::string_view absolutePath, std::string_view content) const {
    const std::filesystem::path file = sysPath(absolutePath);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
  }
  std::string read(std::string_view absolutePath) const {
    std::ifstream in(sysPath(absolutePath), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool exists(std::string_view absolutePath) const {
    return std::filesystem::exists(sysPath(absolutePath));
  }
  // Names of the files in a directory below the root.
  std::vector<std::string> list(std::string_view absoluteDir) const {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(sysPath(absoluteDir)))
      names.push_back(e.path().filename().string());
    return names;
  }

 private:
  std::string path_;
};

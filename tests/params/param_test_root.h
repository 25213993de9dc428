#pragma once
// A private root directory for one parameter test (with its /etc), and
// the file questions the parameter tests ask of it.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/paths.h"
#include "tests/support/temp_root.h"

class ParamTestRoot {
 public:
  ParamTestRoot() { root_.makeDirs("/etc"); }

  void write(std::string_view absolutePath, std::string_view content) const {
    root_.writeFile(std::string(absolutePath), std::string(content));
  }
  std::string read(std::string_view absolutePath) const { return readFileText(sysPath(absolutePath)); }
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
  TempRoot root_;
};

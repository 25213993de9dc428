#include "core/paths.h"

namespace {
std::string& rootStorage() {
  static std::string root;
  return root;
}
}  // namespace

void setRootDirectory(std::string_view root) {
  while (!root.empty() && root.back() == '/') root.remove_suffix(1);
  rootStorage() = std::string(root);
}

const std::string& rootDirectory() { return rootStorage(); }

std::string sysPath(std::string_view absolutePath) {
  if (absolutePath.empty() || absolutePath.front() != '/') return std::string(absolutePath);
  std::string path = rootStorage();
  path += absolutePath;
  return path;
}

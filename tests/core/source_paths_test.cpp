// Every path the system owns goes through sysPath: a literal system path
// ("/etc/...", "/var/...", "/flash...", "/romfs...", "/conf.d...", "/tmp/...")
// may not be handed to a file call directly, and may appear only in a
// folder whose code resolves its paths with sysPath (named constants and
// tables of system paths are resolved where they are used).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Literal {
  std::string text;
  std::size_t offset;  // of the opening quote in the code
};

struct LexedSource {
  std::string code;  // the source with comments blanked out
  std::vector<Literal> literals;
};

// The start of an encoding or raw prefix (u8, u, U, L, R) glued to the
// literal that begins at quoteOrR.
std::size_t prefixStart(const std::string& source, std::size_t quoteOrR) {
  std::size_t k = quoteOrR;
  while (k > 0 && std::string_view("u8ULR").find(source[k - 1]) != std::string_view::npos) --k;
  const bool glued = k == 0 || !(std::isalnum(static_cast<unsigned char>(source[k - 1])) || source[k - 1] == '_');
  return glued ? k : quoteOrR;
}

// Splits C++ source into code without comments and its string literals
// (ordinary, prefixed and raw).
LexedSource lex(const std::string& source) {
  LexedSource out;
  out.code = source;
  const std::size_t n = source.size();
  std::size_t i = 0;
  auto blank = [&](std::size_t from, std::size_t to) {
    for (std::size_t k = from; k < to && k < n; ++k) {
      if (out.code[k] != '\n') out.code[k] = ' ';
    }
  };
  while (i < n) {
    const char c = source[i];
    if (c == '/' && i + 1 < n && source[i + 1] == '/') {
      const std::size_t end = source.find('\n', i);
      blank(i, end == std::string::npos ? n : end);
      i = end == std::string::npos ? n : end;
    } else if (c == '/' && i + 1 < n && source[i + 1] == '*') {
      const std::size_t end = source.find("*/", i + 2);
      const std::size_t stop = end == std::string::npos ? n : end + 2;
      blank(i, stop);
      i = stop;
    } else if (c == 'R' && i + 1 < n && source[i + 1] == '"' &&
               (i == 0 || !(std::isalnum(static_cast<unsigned char>(source[i - 1])) || source[i - 1] == '_') ||
                source[i - 1] == '8' || source[i - 1] == 'u' || source[i - 1] == 'U' ||
                source[i - 1] == 'L')) {
      const std::size_t open = source.find('(', i + 2);
      if (open == std::string::npos) break;
      const std::string terminator = ")" + source.substr(i + 2, open - i - 2) + "\"";
      const std::size_t end = source.find(terminator, open + 1);
      const std::size_t stop = end == std::string::npos ? n : end;
      out.literals.push_back({source.substr(open + 1, stop - open - 1), prefixStart(source, i)});
      i = stop == n ? n : stop + terminator.size();
    } else if (c == '"') {
      std::string text;
      std::size_t k = i + 1;
      while (k < n && source[k] != '"' && source[k] != '\n') {
        if (source[k] == '\\' && k + 1 < n) {
          text += source[k];
          ++k;
        }
        text += source[k];
        ++k;
      }
      out.literals.push_back({text, prefixStart(source, i)});
      i = k + 1;
    } else if (c == '\'') {
      // a character literal, or a digit separator (1'000)
      if (i > 0 && std::isxdigit(static_cast<unsigned char>(source[i - 1])) && i + 1 < n &&
          std::isxdigit(static_cast<unsigned char>(source[i + 1])) &&
          (i + 2 >= n || source[i + 2] != '\'')) {
        ++i;
        continue;
      }
      std::size_t k = i + 1;
      while (k < n && source[k] != '\'' && source[k] != '\n') k += source[k] == '\\' ? 2 : 1;
      i = k + 1;
    } else {
      ++i;
    }
  }
  return out;
}

bool isSystemPath(const std::string& text) {
  static const char* const kPrefixes[] = {"/flash", "/etc/", "/var/", "/romfs", "/conf.d", "/tmp/"};
  for (const char* prefix : kPrefixes) {
    if (text.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The names in front of the call or brace whose first argument starts at
// offset: the callee ("open", "sysPath") and, for a declaration such as
// `std::ifstream in("...")`, also the type.
std::vector<std::string> calleesOf(const std::string& code, std::size_t offset) {
  auto skipSpace = [&](std::size_t k) {
    while (k > 0 && std::isspace(static_cast<unsigned char>(code[k - 1]))) --k;
    return k;
  };
  auto nameBefore = [&](std::size_t k, std::size_t* start) {
    std::size_t begin = k;
    while (begin > 0 && (std::isalnum(static_cast<unsigned char>(code[begin - 1])) ||
                         code[begin - 1] == '_' || code[begin - 1] == ':')) {
      --begin;
    }
    *start = begin;
    std::string name = code.substr(begin, k - begin);
    const std::size_t scope = name.rfind("::");
    return scope == std::string::npos ? name : name.substr(scope + 2);
  };
  std::vector<std::string> names;
  std::size_t k = skipSpace(offset);
  if (k == 0 || (code[k - 1] != '(' && code[k - 1] != '{')) return names;
  std::size_t start = 0;
  names.push_back(nameBefore(skipSpace(k - 1), &start));
  const std::size_t beforeName = skipSpace(start);
  if (beforeName < start) names.push_back(nameBefore(beforeName, &start));
  return names;
}

bool isFileCall(const std::string& name) {
  static const std::set<std::string> kCalls = {
      "open", "openat", "fopen", "freopen", "creat", "stat", "lstat", "access", "unlink",
      "remove", "rename", "mkdir", "rmdir", "opendir", "scandir", "chmod", "chown", "truncate",
      "mkfifo", "mknod", "symlink", "link", "readlink", "realpath", "mkstemp", "mkostemp",
      "mkdtemp", "statfs", "statvfs", "glob", "chdir", "ifstream", "ofstream", "fstream",
      "exists", "create_directories", "create_directory", "remove_all", "path", "utime",
      "utimensat", "mount", "umount", "umount2", "execl", "execv", "popen"};
  return kCalls.count(name) != 0;
}

// "file:line: literal" for every literal system path that bypasses sysPath.
std::vector<std::string> violations(const std::string& name, const std::string& source,
                                    bool unitUsesSysPath) {
  const LexedSource lexed = lex(source);
  std::vector<std::string> found;
  for (const Literal& literal : lexed.literals) {
    if (!isSystemPath(literal.text)) continue;
    const std::vector<std::string> callees = calleesOf(lexed.code, literal.offset);
    if (!callees.empty() && callees.front() == "sysPath") continue;
    std::string fileCall;
    for (const std::string& callee : callees) {
      if (isFileCall(callee)) fileCall = callee;
    }
    if (fileCall.empty() && unitUsesSysPath) continue;
    const long line = std::count(source.begin(), source.begin() + static_cast<long>(literal.offset), '\n') + 1;
    found.push_back(name + ":" + std::to_string(line) + ": \"" + literal.text + "\"" +
                    (fileCall.empty() ? " in a folder that never uses sysPath" : " handed to " + fileCall));
  }
  return found;
}

bool mentionsSysPath(const std::string& source) {
  return lex(source).code.find("sysPath") != std::string::npos;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool folderUsesSysPath(const fs::path& folder) {
  static std::map<fs::path, bool> known;
  auto found = known.find(folder);
  if (found != known.end()) return found->second;
  bool uses = false;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string extension = entry.path().extension().string();
    if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h" || extension == ".c") &&
        mentionsSysPath(readAll(entry.path()))) {
      uses = true;
      break;
    }
  }
  known[folder] = uses;
  return uses;
}

TEST(SourcePaths, TheScannerFindsWhatItMust) {
  struct Row { const char* source; bool unitUsesSysPath; std::size_t count; };
  const Row rows[] = {
      {"int fd = open(\"/etc/params.dat\", O_RDONLY);", true, 1},
      {"int fd = ::open( \"/var/x\" , 0);", true, 1},
      {"std::ifstream in{\"/romfs/usb.ids\"};", true, 1},
      {"FILE* f = fopen(R\"(/flash/cert.pem)\", \"r\");", true, 1},
      {"auto p = sysPath(\"/etc/params.dat\");", false, 0},
      {"auto p = sysPath( \"/tmp/temp.XXXXXX\" );", false, 0},
      {"constexpr char kFile[] = \"/conf.d/product_params\";", true, 0},
      {"constexpr char kFile[] = \"/conf.d/product_params\";", false, 1},
      {"// open(\"/etc/params.dat\")\n/* fopen(\"/var/x\") */ int x;", false, 0},
      {"puts(\"/etcetera\"); puts(\"/dev/null\"); puts(\"see /etc/x\");", false, 0},
      {"char c = '\"'; int fd = open(\"/tmp/x\", 0);", true, 1},
      {"int n = 1'000; auto s = \"/flash\";", false, 1},
      {"auto s = \"a\\\"/etc/x\"; auto t = \"/var/y\";", false, 1},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(violations("sample.cpp", row.source, row.unitUsesSysPath).size(), row.count)
        << row.source;
  }
}

TEST(SourcePaths, SystemPathsGoThroughSysPath) {
  const fs::path root = APPLIANCE_SOURCE_DIR;
  static const std::set<std::string> kExcludedTop = {"tests", "sim", "tools", ".git", "build"};
  static const std::set<std::string> kExtensions = {".h", ".hpp", ".c", ".cc", ".cpp"};
  std::vector<std::string> found;
  int scanned = 0;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const fs::path relative = fs::relative(it->path(), root);
    const std::string top = relative.begin()->string();
    if (it->is_directory()) {
      // top-level exclusions, hidden folders and build trees
      const bool buildTree = fs::exists(it->path() / "CMakeCache.txt");
      if ((relative.begin() == std::prev(relative.end()) && kExcludedTop.count(top)) ||
          it->path().filename().string().front() == '.' || buildTree) {
        it.disable_recursion_pending();
      }
      continue;
    }
    if (!kExtensions.count(it->path().extension().string())) continue;
    if (relative.parent_path() == "core" && relative.stem() == "paths") continue;
    const std::string source = readAll(it->path());
    const bool unitUsesSysPath = folderUsesSysPath(it->path().parent_path());
    for (std::string& violation : violations(relative.string(), source, unitUsesSysPath)) {
      found.push_back(std::move(violation));
    }
    ++scanned;
  }
  EXPECT_GT(scanned, 10);
  std::string report;
  for (const std::string& violation : found) report += violation + "\n";
  EXPECT_TRUE(found.empty()) << report;
}

}  // namespace

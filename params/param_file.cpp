// The parameter file: one line per saved parameter, " <name> = <value>",
// names right-aligned to the longest saved name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/paths.h"
#include "core/unique_fd.h"
#include "params/on_off_param.h"
#include "params/param_effects.h"
#include "params/param_table.h"
#include "params/string_param.h"

namespace {

constexpr uint32_t kSdCardFeature = 0x200000;
constexpr int kCardUsable = 3;
constexpr std::string_view kCardDir = "/var/slot1";
constexpr std::string_view kCardFile = "/var/slot1/params.dat";
constexpr std::string_view kCardBackup = "/var/slot1/params.bup";
constexpr std::string_view kEtcFile = "/etc/params.dat";
// fgets chunk: a longer line is handled as several lines.
constexpr int kLineChunk = 320;

bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Writes a temporary file beside the target, syncs it and renames it over
// the target, so that a reader or a power cut sees either the old file or
// the new one. On failure the temporary file is removed and the target is
// untouched.
bool replaceFile(const std::string& path, std::string_view content) {
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.valid()) return false;
  const bool written = writeAll(fd.get(), content) && ::fsync(fd.get()) == 0;
  // close can report a deferred write error too
  const bool closed = fd.reset() == 0;
  if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  UniqueFd dir(::open(directoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return true;
}

}  // namespace

std::string ParamTable::fileText() const {
  size_t width = 0;
  for (const Param* p : items_) {
    if (!p->hasFlags(HiddenOrRuntime)) width = std::max(width, p->name().size());
  }
  std::string text;
  for (const Param* p : items_) {
    if (p->hasFlags(HiddenOrRuntime)) continue;
    text += ' ';
    text.append(width - p->name().size(), ' ');
    text += p->name();
    text += " = ";
    text += p->storedText();
    text += '\n';
  }
  return text;
}

bool ParamTable::mirrorToCard() const {
  auto* features = dynamic_cast<IntParam*>(findAny("sw_features"));
  const Param* autoSync = findAny("autoSync");
  return features && (features->value() & kSdCardFeature) && autoSync && autoSync->isOn() &&
         effects_ && effects_->sdCardState() == kCardUsable;
}

int ParamTable::save(std::string_view path) {
  std::lock_guard<std::mutex> guard(saveMutex_);
  const std::string text = fileText();
  if (!replaceFile(sysPath(path), text)) return -1;
  if (mirrorToCard()) {
    if (!replaceFile(sysPath(kCardFile), text)) return -1;
    effects_->writeDeviceLog(std::string(kCardDir));
    effects_->syncFs();
  }
  return 0;
}

int ParamTable::read(std::FILE* file, bool fromUpload) {
  int changes = 0;
  char line[kLineChunk];
  while (std::fgets(line, sizeof line, file)) {
    std::string_view rest(line, std::strlen(line));
    while (!rest.empty() && (rest.back() == '\r' || rest.back() == '\n')) rest.remove_suffix(1);
    if (rest.size() < 4) continue;

    size_t start = 0;
    while (start < rest.size() && isBlank(rest[start])) ++start;
    size_t end = start;
    while (end < rest.size() && rest[end] != '=' && !isBlank(rest[end])) ++end;
    const std::string_view name = rest.substr(start, end - start);
    Param* p = find(name);
    if (!p) continue;
    // A file from outside may not set the values the system maintains.
    if (fromUpload && p->hasFlags(ReadOnly | RuntimeOnly)) continue;

    const size_t equals = rest.find('=', end);
    if (equals == std::string_view::npos) continue;
    std::string_view value = rest.substr(equals + 1);
    while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
    while (!value.empty() && isBlank(value.back())) value.remove_suffix(1);

    // A hash stored in our own file is taken over as it is; in an upload it
    // is a new password.
    const bool keepHash = !fromUpload && p->hasFlags(Hashed);
    if (keepHash) p->clearFlags(Hashed);
    changes |= p->set(value);
    if (keepHash) p->addFlags(Hashed);
  }
  return changes != 0 ? 1 : 0;
}

int ParamTable::load(std::string_view path) {
  int result = 0;
  if (std::FILE* file = std::fopen(sysPath(path).c_str(), "re")) {
    result = read(file, false);
    std::fclose(file);
  }
  // The hidden-mode user of older firmware turns session keys on.
  auto* sessKeys = dynamic_cast<IntParam*>(findAny("sessKeys"));
  auto* anyName = dynamic_cast<StringParam*>(findAny("any_name"));
  if (sessKeys && anyName && sessKeys->isOff() && anyName->storedText() == "tarnweld") {
    sessKeys->setChecked(1);
    anyName->setFromText("User");
  }
  return result;
}

int ParamTable::loadFromDescriptor(int& fd) {
  if (fd < 0) return -1;
  std::FILE* stream = ::fdopen(fd, "r");
  if (!stream) {
    ::close(fd);
    fd = -1;
    return -1;
  }
  fd = -1;
  const int result = read(stream, true);
  std::fclose(stream);
  return result;
}

int ParamTable::factoryReset() {
  std::lock_guard<std::mutex> guard(saveMutex_);
  const bool deleted = ::unlink(sysPath(kEtcFile).c_str()) == 0;
  const Param* autoSync = findAny("autoSync");
  if (autoSync && autoSync->isOn()) {
    ::rename(sysPath(kCardFile).c_str(), sysPath(kCardBackup).c_str());
    if (effects_) effects_->syncFs();
  }
  return deleted ? 1 : 0;
}

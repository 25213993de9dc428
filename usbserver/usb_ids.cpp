#include "usbserver/usb_ids.h"

#include <cstdio>
#include <memory>

#include "usbserver/usb_device_identity.h"

namespace {

constexpr size_t kLineLimit = 127;

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at line[at] followed by a blank, or -1.
int idAt(const std::string& line, size_t at) {
  if (line.size() < at + 5) return -1;
  int value = 0;
  for (size_t i = at; i < at + 4; ++i) {
    int digit = hexDigit(line[i]);
    if (digit < 0) return -1;
    value = value * 16 + digit;
  }
  return line[at + 4] == ' ' ? value : -1;
}

std::string nameFrom(const std::string& line, size_t at) {
  if (line.size() <= at) return {};
  return line.substr(at, UsbDeviceIdentity::kTextLimit);
}

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};

// One line without its newline, cut to kLineLimit characters; false at the
// end of the file.
bool nextLine(FILE* file, std::string& line) {
  line.clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(file)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (line.size() < kLineLimit) line.push_back(static_cast<char>(c));
  }
  return any;
}

}  // namespace

UsbIdNames lookupUsbIdNames(const std::string& path, int vendorId, int productId) {
  UsbIdNames names;
  std::unique_ptr<FILE, FileCloser> file(std::fopen(path.c_str(), "re"));
  if (!file) return names;
  std::string line;
  bool vendorFound = false;
  while (nextLine(file.get(), line)) {
    if (!vendorFound) {
      if (!line.empty() && line[0] != '\t' && idAt(line, 0) == vendorId) {
        names.manufacturer = nameFrom(line, 6);
        vendorFound = true;
      }
      continue;
    }
    if (!line.empty() && line[0] != '\t') break;
    if (!line.empty() && idAt(line, 1) == productId) {
      names.product = nameFrom(line, 7);
      break;
    }
  }
  return names;
}

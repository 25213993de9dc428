// The "Usb Info" diagnostics table of the device table.
#include <cstdarg>
#include <cstdio>

#include "usbserver/usb_device_table.h"

namespace {

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void appendf(std::string& out, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (n > 0) out.append(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

// Device texts come from the device: they are escaped before they reach
// the page.
std::string escapeHtml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          out += '?';
        } else {
          out += c;
        }
    }
  }
  return out;
}

const char* speedText(int speed) {
  switch (speed) {
    case 1: return "1.5MBit/s (low)";
    case 2: return "12MBit/s (full)";
    case 3: return "480MBit/s (high)";
    case 5: return "5000MBit/s (super)";
    default: return "Unknown";
  }
}

void row(std::string& out, const char* name, const std::string& value) {
  out += "<tr><td>";
  out += name;
  out += "</td><td>";
  out += value;
  out += "</td></tr>\n";
}

}  // namespace

void UsbDeviceTable::writeUsbStatusTable(std::string& out) {
  scanUsbDevices();
  out += "<table border=\"1\">\n";
  std::lock_guard<std::mutex> table(tableMutex_);
  for (int i = 0; i < size_; ++i) {
    UsbDevice& e = entries_[i];
    if (!e.inUse()) continue;
    const UsbDeviceIdentity& d = e.id;
    std::string text;
    appendf(text, "USB[%2d] slot:%02d addr:%02d:%03d lev:%d parent:%02d:%02d %s", i, d.port, d.bus, d.deviceNumber,
            d.hubLevel, d.parent, d.portPathHash, e.video ? " **Video stream device**" : "");
    out += "<tr><th colspan=\"2\">" + text + "</th></tr>\n";
    text.clear();
    appendf(text, " [%04x]", d.vendorId);
    row(out, "Manufacturer", escapeHtml(d.manufacturer) + text);
    text.clear();
    appendf(text, " [%04x]", d.productId);
    row(out, "Product", escapeHtml(d.product) + text);
    row(out, "Serial number", escapeHtml(d.serial));
    text.clear();
    appendf(text, "%02d%02d / %02X%02X", d.versionMajor, d.versionMinor, d.releaseHigh, d.releaseLow);
    row(out, "Version / Revision", text);
    text.clear();
    appendf(text, "%s %dmA", speedText(d.speed), d.maxPower);
    row(out, "Speed", text);
    std::string owner;
    {
      std::lock_guard<std::mutex> lock(e.mutex);
      text.clear();
      appendf(text, "%d / %d", e.configurationCount(), e.interfacesParsed);
      row(out, "Configurations / Interfaces", text);
      text.clear();
      appendf(text, "Ctrl:%d:%d Isoc:%d:%d Bulk:%d:%d Int:%d:%d", e.endpointsIn[0], e.endpointsOut[0], e.endpointsIn[1],
              e.endpointsOut[1], e.endpointsIn[2], e.endpointsOut[2], e.endpointsIn[3], e.endpointsOut[3]);
      row(out, "Endpoints", text);
    }
    uint8_t block[9];
    if (e.state.load() != USB_DEV_CONNECTED) {
      owner = "unused";
    } else if (ownerAddress(i, block, sizeof block) == 9) {
      appendf(owner, "%03d.%03d.%03d.%03d", block[5], block[6], block[7], block[8]);
    } else {
      owner = " ??? ";
    }
    row(out, "Owner", owner);
  }
  out += "</table>\n";
  appendf(out, "<h4> Population:%d</h4>\n", urbPopulation.load());
}

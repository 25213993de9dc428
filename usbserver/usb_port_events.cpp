#include "usbserver/usb_port_events.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "notify/event_codes.h"
#include "notify/notify_registry.h"
#include "notify/relay_controller.h"
#include "params/int_param.h"
#include "params/ip4_address.h"
#include "params/param_table.h"
#include "params/string_param.h"
#include "usbserver/usb_clock.h"
#include "usbserver/usb_device_table.h"

namespace {

constexpr uint32_t kFeaturePortPower = 0x8000;
constexpr uint32_t kFeatureBeep = 0x100000;
// The slot parameters hold at most this many bytes of a text.
constexpr size_t kSlotTextLength = 64;
// Room for the longest text a string descriptor can give (127 UTF-16 units).
constexpr size_t kDeviceTextBuffer = 512;
constexpr const char* kMissingOwner = "- ? -";

// The relay codes of one operation: port 1 and every other port.
struct RelayPair {
  uint32_t portOne;
  uint32_t otherPorts;
  uint32_t forPort(int port) const { return port == 1 ? portOne : otherPorts; }
};
constexpr RelayPair kRelayPlugged{RELAY_UCON_1, RELAY_UCON_2};
constexpr RelayPair kRelayRemoved{RELAY_UDIS_1, RELAY_UDIS_2};
constexpr RelayPair kRelayConnected{RELAY_UACT_1, RELAY_UACT_2};
constexpr RelayPair kRelayDisconnected{RELAY_UDEA_1, RELAY_UDEA_2};

// Device and client texts may carry any byte: control characters would be
// refused by the parameters (and could break the lines of a mail), and an
// overlong text is cut at a character boundary.
std::string boundedText(std::string text, size_t limit) {
  for (char& c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) c = '?';
  }
  if (text.size() > limit) {
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

std::string hex4(int value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%04x", value & 0xFFFF);
  return buffer;
}

}  // namespace

UsbPortEvents::UsbPortEvents(ParamTable& params, UsbPortOutputs& outputs, UsbClock& clock,
                             UsbLedScheme scheme, int portCount, std::function<bool()> devicesStarted)
    : params_(params),
      outputs_(outputs),
      clock_(clock),
      scheme_(scheme),
      portCount_(portCount < 0 ? 0 : (portCount > kPorts ? kPorts : portCount)),
      devicesStarted_(std::move(devicesStarted)) {}

bool UsbPortEvents::readDevice(int index, Device& out) const {
  if (!table_ || !table_->isTableIndex(index)) return false;
  {
    auto lock = table_->lockUsbTable();
    const UsbDevice& e = table_->entry(index);
    out.port = e.id.port;
    out.vendorId = e.id.vendorId;
    out.productId = e.id.productId;
  }
  if (out.port < 1 || out.port > portCount_) return false;
  std::string* texts[] = {&out.manufacturer, &out.product, &out.serial};
  char buffer[kDeviceTextBuffer];
  for (int field = 1; field <= 3; ++field) {
    int n = table_->usbDeviceInfo(index, field, buffer, sizeof buffer);
    *texts[field - 1] = boundedText(n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string(),
                                    kSlotTextLength);
  }
  return true;
}

uint32_t UsbPortEvents::features() const {
  const auto* p = params_.findAs<IntParam>("sw_features");
  return p ? static_cast<uint32_t>(p->value()) : 0;
}

std::string UsbPortEvents::textOf(const char* family, int n, const char* missing) const {
  if (n < 1) return missing;
  const Param* p = params_.find(family, static_cast<uint32_t>(n));
  return p ? p->storedText() : std::string(missing);
}

std::string UsbPortEvents::textOf(const char* name) const {
  const Param* p = params_.find(name);
  return p ? p->storedText() : std::string();
}

void UsbPortEvents::setText(const char* family, int n, const std::string& text) {
  if (n < 1) return;
  if (Param* p = params_.find(family, static_cast<uint32_t>(n))) p->setFromText(text);
}

int UsbPortEvents::numberOf(const char* name, int fallback) const {
  const auto* p = params_.findAs<IntParam>(name);
  return p ? p->value() : fallback;
}

void UsbPortEvents::post(uint32_t code, const Device& d, const char* user) {
  if (postEvent(code, d.port, d.manufacturer.c_str(), d.product.c_str(), d.serial.c_str(), user)) {
    notifyEvent(code);
  }
}

bool UsbPortEvents::portOneIsCardReader() {
  int value = 0;
  return outputs_.cardPresence(value);
}

void UsbPortEvents::onUsbDevicePlugged(int index) {
  Device d;
  if (!readDevice(index, d)) return;
  post(NOTI_USB_ATTACHED, d, nullptr);
  // On the card-reader variant port 1 is the card slot: it has no LED,
  // no slot parameters of its own and no relay signal.
  if (d.port == 1 && portOneIsCardReader()) return;
  if (scheme_ == UsbLedScheme::PerPort) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    int& counter = ledCounters_[d.port - 1];
    if (counter == 0) outputs_.setPortLed(d.port - 1, kLedDevice, 0);
    counter += 100;
    if (features() & kFeatureBeep) outputs_.beep(0);
  }
  const int slot = index + 1;
  setText("usb_manu_", slot, d.manufacturer.empty() ? "?" : d.manufacturer);
  setText("usb_prod_", slot, d.product.empty() ? "?" : d.product);
  setText("usb_sern_", slot, d.serial.empty() ? "?" : d.serial);
  setText("usb_slot_", slot, std::to_string(d.port));
  setText("usb_vendid_", slot, hex4(d.vendorId));
  setText("usb_prodid_", slot, hex4(d.productId));
  setText("usb_owner_", slot, "Available");
  relayEvent(kRelayPlugged.forPort(d.port));
}

void UsbPortEvents::onUsbDeviceRemoved(int index) {
  Device d;
  if (!readDevice(index, d)) return;
  post(NOTI_USB_DETACHED, d, nullptr);
  if (scheme_ == UsbLedScheme::PerPort) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    int& counter = ledCounters_[d.port - 1];
    counter -= 100;
    // A connected device that vanishes leaves its unit behind until its
    // disconnect; with no device left on the port nothing is connected.
    if (counter <= 99) counter = 0;
    if (counter == 0) outputs_.setPortLed(d.port - 1, kLedOff, 0);
  }
  const int slot = index + 1;
  setText("usb_manu_", slot, "-");
  setText("usb_prod_", slot, "-");
  setText("usb_sern_", slot, "-");
  setText("usb_slot_", slot, "0");
  setText("usb_vendid_", slot, "");
  setText("usb_prodid_", slot, "");
  setText("usb_owner_", slot, "-");
  relayEvent(kRelayRemoved.forPort(d.port));
}

void UsbPortEvents::onUsbDeviceConnected(int index, const std::string& clientName) {
  Device d;
  if (!readDevice(index, d)) return;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (scheme_ == UsbLedScheme::PerPort) {
      int& counter = ledCounters_[d.port - 1];
      if (counter % 100 == 0) outputs_.setPortLed(d.port - 1, kLedConnected, 0);
      ++counter;
    } else {
      outputs_.setPortLed(0, kLedDevice, 0);
      ++connectedCount_;
    }
  }
  const int slot = index + 1;
  char connected[8];
  char address[32];
  if (table_->usbDeviceInfo(index, 5, connected, sizeof connected) > 0 &&
      table_->usbDeviceInfo(index, 4, address, sizeof address) > 0) {
    // A long client name is cut so that the address still fits.
    const size_t nameRoom = kSlotTextLength - (std::strlen(address) + 3);
    const std::string name = boundedText(clientName, nameRoom);
    setText("usb_owner_", slot, name.empty() ? std::string(address) : name + " (" + address + ")");
  }
  const std::string user = textOf("usb_owner_", slot, kMissingOwner);
  post(NOTI_USB_CONNECTED, d, user.c_str());
  relayEvent(kRelayConnected.forPort(d.port));
}

void UsbPortEvents::onUsbDeviceDisconnected(int index) {
  Device d;
  if (!readDevice(index, d)) return;
  const int slot = index + 1;
  int64_t powerOffTicks = 0;
  bool showAddress = false;
  {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (scheme_ == UsbLedScheme::PerPort) {
      int& counter = ledCounters_[d.port - 1];
      // A second disconnect of the same device (an administrator's
      // disconnect followed by the client's own) changes nothing.
      if (counter % 100 != 0) {
        --counter;
        if (counter % 100 == 0) {
          outputs_.setPortLed(d.port - 1, counter != 0 ? kLedDevice : kLedOff, 0);
          const auto* duration = params_.findAs<IntParam>("wyk_poffdura_", static_cast<uint32_t>(d.port));
          if (duration && duration->value() > 0) powerOffTicks = int64_t{duration->value()} * 10;
        }
      }
    } else if (connectedCount_ > 0) {
      showAddress = --connectedCount_ == 0;
    }
  }
  if (powerOffTicks > 0) powerOffPort(d.port - 1, powerOffTicks);
  if (showAddress) {
    const auto* address = params_.findAs<Ip4Address>("ip_addr");
    outputs_.signalAddress(address && address->isSet() && !address->isLinkLocal());
  }
  const std::string user = textOf("usb_owner_", slot, kMissingOwner);
  post(NOTI_USB_DISCONNECTED, d, user.c_str());
  setText("usb_owner_", slot, "Available");
  relayEvent(kRelayDisconnected.forPort(d.port));
}

std::string UsbPortEvents::sysName() const {
  return boundedText(textOf("sys_name"), 64);
}

std::string UsbPortEvents::portTag(int port) const { return textOf("wyk_tag_", port, ""); }

std::string UsbPortEvents::slotOwner(int slot) const { return textOf("usb_owner_", slot, ""); }

int UsbPortEvents::heartbeatSeconds() const {
  const int seconds = numberOf("wyk_heartbeat", 0);
  return seconds > 0 ? seconds : 0;
}

int UsbPortEvents::plainPort() const { return numberOf("wyk_port", 0); }

int UsbPortEvents::tlsPort() const { return numberOf("wyk_sslport", 0); }

bool UsbPortEvents::portPowerSwitching() const { return (features() & kFeaturePortPower) != 0; }

int UsbPortEvents::portPowerOffState(int port) const {
  if (port == 1) {
    int value = 0;
    if (outputs_.cardPresence(value) && value == 0) return 1;
  }
  if (port < 1 || port > kPorts) return 0;
  std::lock_guard<std::mutex> lock(stateMutex_);
  return powerOffUntil_[port - 1] != 0 ? 2 : 0;
}

void UsbPortEvents::powerOffPort(int portIndex, int64_t ticks) {
  if (portIndex < 0 || portIndex >= kPorts) return;
  const int64_t deadline = clock_.now() + (ticks > 0 ? ticks : 0);
  std::lock_guard<std::mutex> lock(stateMutex_);
  // 0 marks a port without deadline.
  powerOffUntil_[portIndex] = deadline != 0 ? deadline : 1;
  outputs_.setPortPower(portIndex, false);
}

void UsbPortEvents::restorePortPower() {
  const int64_t now = clock_.now();
  std::lock_guard<std::mutex> lock(stateMutex_);
  for (int i = 0; i < kPorts; ++i) {
    if (powerOffUntil_[i] != 0 && powerOffUntil_[i] < now) {
      outputs_.setPortPower(i, true);
      powerOffUntil_[i] = 0;
    }
  }
}

#include "usbserver/usb_session.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "core/stream_connection.h"
#include "core/tick_clock.h"
#include "usbserver/configuration_change.h"
#include "usbserver/control_request.h"
#include "usbserver/key_proof.h"
#include "usbserver/port_access.h"
#include "usbserver/urb_engine.h"
#include "usbserver/urb_request.h"
#include "usbserver/usb_device.h"
#include "usbserver/usb_device_table.h"
#include "usbserver/usb_platform.h"
#include "usbserver/usb_server_hooks.h"

namespace {

constexpr int kPayloadTicks = UsbSession::kPayloadTimeoutMs / 10;
constexpr int kSignalledReadTicks = 1;
constexpr int kLastPort = 20;

UsbResult errorFrom(int rc) { return UsbResult::error(rc < 0 ? -rc : rc); }

uint16_t descriptorWord(const UsbDevice& entry, int offset) {
  return static_cast<uint16_t>(entry.deviceDescriptor[offset] | entry.deviceDescriptor[offset + 1] << 8);
}

// The OUT data of a transfer, read from the connection as the engine asks.
class ConnectionDataSource : public UrbDataSource {
 public:
  ConnectionDataSource(StreamConnection& connection) : connection_(connection) {}
  bool read(void* buffer, size_t n) override {
    auto* p = static_cast<uint8_t*>(buffer);
    while (n > 0) {
      const int got = connection_.readBytes(p, static_cast<int>(n > 65536 ? 65536 : n), kPayloadTicks);
      if (got <= 0) return false;
      p += got;
      n -= static_cast<size_t>(got);
    }
    return true;
  }
  bool drain(size_t n) override {
    uint8_t scratch[4096];
    while (n > 0) {
      const size_t chunk = n < sizeof scratch ? n : sizeof scratch;
      if (!read(scratch, chunk)) return false;
      n -= chunk;
    }
    return true;
  }

 private:
  StreamConnection& connection_;
};

}  // namespace

UsbSession::UsbSession(UsbServerParts parts, StreamConnection& connection, int vlanId)
    : parts_(parts),
      connection_(connection),
      vlanId_(vlanId),
      ownerThread_(std::this_thread::get_id()),
      lastRequest_(ticks()),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

UsbSession::~UsbSession() = default;

bool UsbSession::readExact(void* buffer, size_t n) {
  ConnectionDataSource source(connection_);
  return source.read(buffer, n);
}

bool UsbSession::drain(size_t n) {
  ConnectionDataSource source(connection_);
  return source.drain(n);
}

bool UsbSession::writeAll(const iovec* parts, int count) {
  for (int i = 0; i < count; ++i) {
    if (parts[i].iov_len == 0) continue;
    const int n = connection_.writeAll(parts[i].iov_base, static_cast<int>(parts[i].iov_len), kPayloadTicks, false);
    if (n != static_cast<int>(parts[i].iov_len)) return false;
  }
  return true;
}

bool UsbSession::sendReply(const RequestHeader& request, uint32_t code, UsbResult result,
                           const void* payload, size_t length, bool echoOnly) {
  uint8_t header[kReplyHeaderSize];
  encodeReplyHeader(header, echoOnly ? request.echo() : request.word0, kReplyBase + code, request.tag,
                    static_cast<uint32_t>(length), result);
  iovec parts[2] = {{header, sizeof header}, {const_cast<void*>(payload), length}};
  return writeAll(parts, payload && length ? 2 : 1);
}

void UsbSession::wake() {
  const uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0) {
    // The counter is full only after 2^64 wakes; nothing is lost either way.
  }
}

int UsbSession::dispatchRequest(bool signalled) {
  uint8_t bytes[kRequestHeaderSize];
  // Without a wait a closed stream and an idle one both read as 0 bytes;
  // the short wait after a readiness report tells them apart.
  const int got = connection_.readBytes(bytes, sizeof bytes, signalled ? kSignalledReadTicks : 0);
  if (got == 0 || got == -2) return 0;  // nothing (more) to read now
  if (got < 0) return -1;               // end of stream, I/O or TLS error
  // A header split across segments is completed, not mistaken for a closed stream.
  if (got < static_cast<int>(sizeof bytes) && !readExact(bytes + got, sizeof bytes - got)) return -1;
  const RequestHeader h = RequestHeader::parse(bytes);
  lastRequest_ = ticks();
  int result;
  switch (h.command) {
    case USB_CMD_VERSION: result = handleVersion(h, false); break;
    case USB_CMD_VERSION2: result = handleVersion(h, true); break;
    case USB_CMD_DEVLIST_OLD:
      result = sendReply(h, USB_CMD_DEVLIST_OLD, UsbResult::error(3)) ? 0 : -1;
      break;
    case USB_CMD_DEVLIST: result = handleDeviceList(h); break;
    case USB_CMD_CONNECT: result = handleConnect(h); break;
    case USB_CMD_DISCONNECT: result = handleDisconnect(h); break;
    case USB_CMD_SET_CONFIG: result = handleSetConfiguration(h); break;
    case USB_CMD_CLAIM_PROBE: result = handleClaimProbe(h); break;
    case USB_CMD_RELEASE_IF: result = handleReleaseInterface(h); break;
    case USB_CMD_URB: result = submitUrb(h); break;
    case USB_CMD_DISCARD_URB: result = handleDiscardUrb(h); break;
    case USB_CMD_ABORT_EP: result = handleAbortEndpoint(h); break;
    case USB_CMD_CLEAR_HALT: result = handleClearHalt(h); break;
    case USB_CMD_RESET: result = handleResetDevice(h); break;
    case USB_CMD_KEEPALIVE: result = handleKeepalive(h); break;
    case USB_CMD_PORT_TAGS: result = handlePortTags(h); break;
    case USB_CMD_CONNECTED_MASK: result = handleConnectedMask(h); break;
    case USB_CMD_SYS_NAME: result = handleSysName(h); break;
    case USB_CMD_PORT_STATUS: result = handlePortStatus(h); break;
    case 3: case 7: case 18: case 20: result = 1; break;  // ignored, nothing read
    default: return -1;
  }
  return result < 0 ? -1 : 1;
}

int UsbSession::handleVersion(const RequestHeader& h, bool second) {
  uint8_t words[8];
  storeBe16(words, 7);
  storeBe16(words + 2, 0);
  storeBe16(words + 4, 145);
  storeBe16(words + 6, static_cast<uint16_t>(parts_.table.size()));
  const bool sent = second ? sendReply(h, USB_CMD_VERSION2, UsbResult::ok(), words, 8, true)
                           : sendReply(h, USB_CMD_VERSION, UsbResult::error(3), words, 6, true);
  nonce_ = sent ? static_cast<int32_t>(h.tag) : 0;
  return sent ? 0 : -1;
}

int UsbSession::handleDeviceList(const RequestHeader& h) {
  parts_.table.scanUsbDevices();
  std::vector<uint8_t> block;
  KeyProofBlock proofs = KeyProofBlock::none();
  int32_t nonce = 0;
  if (h.length >= 1 && h.length <= KeyProofBlock::kLargest) {
    block.resize(h.length);
    if (!readExact(block.data(), block.size())) return -1;
    auto parsed = KeyProofBlock::parse(block.data(), block.size());
    if (!parsed) return -1;
    proofs = *parsed;
    nonce = nonce_;
  }
  std::vector<uint8_t> list(3);
  uint32_t admitted = 0;
  {
    auto tableLock = parts_.table.lockUsbTable();
    for (int i = 0; i < parts_.table.size(); ++i) {
      UsbDevice& entry = parts_.table.entry(i);
      const int port = entry.id.port;
      if (!entry.inUse() || port < 1 || port > kLastPort) continue;
      if (!parts_.access.admitsListing(port, nonce, proofs, *this)) continue;
      admitted |= 1u << port;
      if (parts_.hooks.portPowerOffState(port) != 0) continue;
      uint8_t item[kDeviceListEntrySize];
      encodeDeviceListEntry(item, i, port, entry.id.speed, entry.deviceDescriptor);
      list.insert(list.end(), item, item + sizeof item);
    }
  }
  admittedPorts_ = admitted;
  const size_t count = (list.size() - 3) / kDeviceListEntrySize;
  list[0] = static_cast<uint8_t>(count);
  storeBe16(&list[1], static_cast<uint16_t>(count * kDeviceListEntrySize));
  if (!sendReply(h, USB_CMD_DEVLIST, UsbResult::ok(), list.data(), list.size())) return -1;
  return static_cast<int>(count);
}

void UsbSession::cleanUpAfterRefusal(int index) {
  parts_.engine.discardPendingUrbs(index);
}

int UsbSession::handleConnect(const RequestHeader& h) {
  uint8_t payload[34];
  if (!readExact(payload, sizeof payload)) {
    return sendReply(h, USB_CMD_CONNECT, UsbResult::error(19)) ? 0 : -1;
  }
  const int index = payload[0], port = payload[1];
  char name[33] = {};
  std::memcpy(name, payload + 2, 32);
  if (!parts_.table.isValidEntry(index, port)) {
    return sendReply(h, USB_CMD_CONNECT, UsbResult::error(19)) ? 0 : -1;
  }
  // Every check runs before the device is taken from a current owner.
  const bool admitted = (admittedPorts_ >> port) & 1u;
  const UsbResult allowed = parts_.access.checkConnect(index, port, *this, admitted);
  if (allowed.status != USB_ST_OK) return sendReply(h, USB_CMD_CONNECT, allowed) ? 0 : -1;

  UsbDevice& entry = parts_.table.entry(index);
  bool reconnection = false;
  if (entry.state.load() == USB_DEV_CONNECTED) {
    parts_.engine.discardPendingUrbs(index);
    UsbClient* owner;
    {
      std::lock_guard<std::mutex> guard(entry.mutex);
      owner = entry.owner;
    }
    if (owner == this) {
      reconnection = true;
      parts_.table.releaseDevice(index);
    } else {
      parts_.table.dropOwner(index);
    }
  }
  const bool prereset = parts_.access.portPrereset(port) && !reconnection;
  uint32_t serial = 0;
  const auto watch = [this, index](int node, uint32_t opened) {
    if (watcher_) watcher_({index, node, opened});
  };
  UsbResult taken = parts_.table.takeDevice(index, *this, serial, watch);
  if (taken.status == USB_ST_OK && prereset) {
    {
      std::lock_guard<std::mutex> guard(entry.mutex);
      parts_.table.platform().reset(entry.node);
    }
    parts_.table.releaseDevice(index);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    parts_.table.scanUsbDevices();
    taken = parts_.table.takeDevice(index, *this, serial, watch);
  }
  if (taken.status != USB_ST_OK) {
    cleanUpAfterRefusal(index);
    return sendReply(h, USB_CMD_CONNECT, taken) ? 0 : -1;
  }
  // The slot shows its owner before the client hears of it, so that
  // whatever the client or an administrator does next follows the event.
  if (!reconnection) parts_.hooks.onUsbDeviceConnected(index, name);
  return sendReply(h, USB_CMD_CONNECT, UsbResult::ok()) ? 0 : -1;
}

int UsbSession::handleDisconnect(const RequestHeader& h) {
  uint8_t payload[2];
  if (!readExact(payload, sizeof payload)) {
    return sendReply(h, USB_CMD_DISCONNECT, UsbResult::error(71)) ? 0 : -1;
  }
  const int index = payload[0], port = payload[1];
  if (!parts_.table.isValidEntry(index, port)) {
    return sendReply(h, USB_CMD_DISCONNECT, UsbResult::error(19)) ? 0 : -1;
  }
  parts_.engine.discardPendingUrbs(index);
  UsbDevice& entry = parts_.table.entry(index);
  const bool wasConnected = entry.state.load() == USB_DEV_CONNECTED;
  UsbResult result = UsbResult::ok();
  if (wasConnected) {
    std::lock_guard<std::mutex> guard(entry.mutex);
    if (entry.node >= 0) {
      UsbPlatform& platform = parts_.table.platform();
      const uint16_t vendor = descriptorWord(entry, 8), product = descriptorWord(entry, 10);
      if (vendor == 0x04b4 && product == 0x1235) {
        parts_.hooks.powerOffPort(port - 1, 400);
      } else {
        const int rc = platform.request551A(entry.node);
        if (rc >= 0) {
          releaseCurrentInterfaces(platform, entry);
        } else if (!(rc == -19 && vendor != 0x1139 && product != 0x8086)) {
          if (parts_.hooks.portPowerSwitching()) {
            parts_.hooks.powerOffPort(port - 1, 100);
          } else if (platform.reset(entry.node) >= 0) {
            releaseCurrentInterfaces(platform, entry);
          } else {
            result = UsbResult::error(0);
          }
        }
      }
    }
  }
  // A device whose node a clean-up already closed had its disconnect
  // event then (administrator's disconnect).
  if (parts_.table.releaseDevice(index, nullptr, this)) parts_.hooks.onUsbDeviceDisconnected(index);
  {
    std::lock_guard<std::mutex> guard(entry.mutex);
    entry.currentConfiguration = -1;
  }
  return sendReply(h, USB_CMD_DISCONNECT, result) ? 0 : -1;
}

int UsbSession::handleSetConfiguration(const RequestHeader& h) {
  uint8_t payload[4];
  if (!readExact(payload, sizeof payload)) return -1;
  const int index = payload[0], port = payload[1], value = payload[2], pairs = payload[3];
  std::vector<uint8_t> settings;
  if (value != 0 && pairs != 0) {
    settings.resize(2 * static_cast<size_t>(pairs));
    if (!readExact(settings.data(), settings.size())) {
      return sendReply(h, USB_CMD_SET_CONFIG, UsbResult::error(71)) ? 0 : -1;
    }
  }
  if (!parts_.table.isValidEntry(index, port) || parts_.table.entry(index).state.load() != USB_DEV_CONNECTED) {
    return sendReply(h, USB_CMD_SET_CONFIG, UsbResult::error(19)) ? 0 : -1;
  }
  UsbDevice& entry = parts_.table.entry(index);
  // Only the owner reconfigures its device: a configuration change ends
  // every transfer on it.
  bool owned;
  {
    std::lock_guard<std::mutex> guard(entry.mutex);
    owned = entry.owner == this;
  }
  if (!owned) return sendReply(h, USB_CMD_SET_CONFIG, UsbResult::denied(12)) ? 0 : -1;
  parts_.engine.discardPendingUrbs(index);
  ConfigurationOutcome outcome;
  {
    std::lock_guard<std::mutex> guard(entry.mutex);
    if (entry.node < 0) {
      // A clean-up closed the node: reopening it here would leave it outside
      // the connection's poll set.
      outcome = {UsbResult::error(71), true};
    } else {
      outcome = changeConfiguration(parts_.table.platform(), entry, value, settings);
    }
  }
  const bool sent = sendReply(h, USB_CMD_SET_CONFIG, outcome.result);
  if (outcome.cleanup) cleanUpFor(index);
  return sent ? 0 : -1;
}

void UsbSession::cleanUpFor(int index) {
  parts_.engine.discardPendingUrbs(index);
  UsbDevice& entry = parts_.table.entry(index);
  std::lock_guard<std::mutex> guard(entry.mutex);
  // Only this client's use of the device is cleaned up.
  if (entry.owner == this) entry.cleanupFlag = true;
}

int UsbSession::handleClaimProbe(const RequestHeader& h) {
  uint8_t payload[3];
  if (!readExact(payload, sizeof payload)) {
    return sendReply(h, USB_CMD_CLAIM_PROBE, UsbResult::error(71)) ? 0 : -1;
  }
  const int index = payload[0], port = payload[1];
  if (!parts_.table.isValidEntry(index, port)) {
    return sendReply(h, USB_CMD_CLAIM_PROBE, UsbResult::error(19)) ? 0 : -1;
  }
  UsbDevice& entry = parts_.table.entry(index);
  UsbResult result = UsbResult::ok();
  {
    std::lock_guard<std::mutex> guard(entry.mutex);
    if (entry.node >= 0) {
      result = UsbResult::error(71);
    } else {
      const int fd = parts_.table.openDevice(entry, O_RDWR);
      if (fd < 0) {
        result = errorFrom(fd);
      } else {
        const int rc = parts_.table.platform().claimInterface(entry.node, payload[2]);
        if (rc < 0) result = errorFrom(rc);
        parts_.table.closeDevice(entry);
      }
    }
  }
  return sendReply(h, USB_CMD_CLAIM_PROBE, result) ? 0 : -1;
}

int UsbSession::handleReleaseInterface(const RequestHeader& h) {
  uint8_t payload[3];
  if (!readExact(payload, sizeof payload)) return -1;
  const int index = payload[0], port = payload[1];
  if (!parts_.table.isValidEntry(index, port)) {
    return sendReply(h, USB_CMD_RELEASE_IF, UsbResult::error(19)) ? 0 : -1;
  }
  UsbDevice& entry = parts_.table.entry(index);
  UsbResult result = UsbResult::ok();
  {
    std::lock_guard<std::mutex> guard(entry.mutex);
    if (entry.node < 0) {
      result = UsbResult::error(71);
    } else {
      const int rc = parts_.table.platform().releaseInterface(entry.node, payload[2]);
      if (rc < 0) result = errorFrom(rc);
    }
  }
  return sendReply(h, USB_CMD_RELEASE_IF, result) ? 0 : -1;
}

int UsbSession::submitUrb(const RequestHeader& h) {
  uint8_t bytes[12];
  if (!readExact(bytes, sizeof bytes)) {
    sendReply(h, USB_CMD_URB, UsbResult::error(71), nullptr, 0, true);
    return 0;
  }
  UrbRequest request;
  request.requestWord = h.word0;
  request.tag = h.tag;
  request.index = bytes[0];
  request.port = bytes[1];
  request.endpoint = bytes[2];
  request.type = bytes[3];
  request.inLength = loadBe32(bytes + 4);
  request.outLength = loadBe32(bytes + 8);
  ConnectionDataSource data(connection_);
  UsbResult result;
  std::unique_ptr<uint8_t[]> in;
  size_t inLength = 0;
  bool endConnection = false;
  if (request.type == 0) {
    // Isochronous transfers are not tunnelled; their packet descriptors go.
    endConnection = !data.drain(size_t(h.isoPackets()) * 16);
    result = UsbResult::error(71);
  } else if (!parts_.table.isValidEntry(request.index, request.port)) {
    endConnection = !data.drain(request.outLength);
    result = UsbResult::error(19);
  } else {
    UsbDevice& entry = parts_.table.entry(request.index);
    bool owned;
    {
      std::lock_guard<std::mutex> guard(entry.mutex);
      owned = entry.state.load() == USB_DEV_CONNECTED && entry.owner == this;
    }
    if (request.type == 2) {
      const bool admitted = (admittedPorts_ >> request.port) & 1u;
      ControlOutcome outcome = parts_.control.processCtrlReq(*this, request, data, owned || admitted);
      result = outcome.result;
      in = std::move(outcome.in);
      inLength = outcome.inLength;
      endConnection = outcome.endConnection;
    } else if (!owned) {
      endConnection = !data.drain(request.outLength);
      result = UsbResult::denied(12);
    } else if (request.type == 1 || request.type == 3) {
      const UrbOutcome outcome = parts_.engine.submitUrb(*this, request, data);
      result = outcome.result;
      endConnection = outcome.endConnection;
    } else {
      result = UsbResult::ok();
    }
  }
  if (result.status != USB_ST_PENDING) {
    uint8_t header[kReplyHeaderSize];
    encodeReplyHeader(header, h.echo(), kReplyBase + USB_CMD_URB, h.tag,
                      static_cast<uint32_t>(inLength), result);
    iovec parts[2] = {{header, sizeof header}, {in.get(), inLength}};
    writeAll(parts, in && inLength ? 2 : 1);
  }
  return endConnection ? -1 : 0;
}

int UsbSession::handleDiscardUrb(const RequestHeader& h) {
  uint8_t tag[4];
  if (!readExact(tag, sizeof tag)) {
    sendReply(h, USB_CMD_DISCARD_URB, UsbResult::error(71));
    return 0;
  }
  parts_.engine.discardUrbByTag(*this, loadBe32(tag));
  sendReply(h, USB_CMD_DISCARD_URB, UsbResult::ok());
  return 0;
}

int UsbSession::handleAbortEndpoint(const RequestHeader& h) {
  uint8_t payload[3];
  if (!readExact(payload, sizeof payload)) return -1;
  const int index = payload[0], port = payload[1];
  UsbResult result;
  if (!parts_.table.isValidEntry(index, port)) {
    result = UsbResult::error(19);
  } else {
    result = parts_.engine.abortEndpoint(*this, index, port, payload[2]);
  }
  return sendReply(h, USB_CMD_ABORT_EP, result) ? 0 : -1;
}

int UsbSession::handleClearHalt(const RequestHeader& h) {
  uint8_t payload[3];
  if (!readExact(payload, sizeof payload)) return -1;
  const int index = payload[0], port = payload[1];
  if (!parts_.table.isValidEntry(index, port)) {
    return sendReply(h, USB_CMD_CLEAR_HALT, UsbResult::error(19)) ? 0 : -1;
  }
  UsbDevice& entry = parts_.table.entry(index);
  UsbResult result = UsbResult::ok();
  {
    std::lock_guard<std::mutex> guard(entry.mutex);
    if (entry.state.load() != USB_DEV_CONNECTED || entry.node < 0) {
      result = UsbResult::error(71);
    } else if (entry.owner != this) {
      result = UsbResult::denied(12);  // only the owner clears a halt
    } else {
      const uint16_t vendor = descriptorWord(entry, 8), product = descriptorWord(entry, 10);
      const bool quirk = (vendor == 0x0819 || vendor == 0x0a50) && product == 0x0101;
      if (!quirk && parts_.table.platform().clearHalt(entry.node, payload[2]) < 0) {
        result = UsbResult::error(19);
      }
    }
  }
  return sendReply(h, USB_CMD_CLEAR_HALT, result) ? 0 : -1;
}

int UsbSession::handleResetDevice(const RequestHeader& h) {
  uint8_t payload[2];
  if (!readExact(payload, sizeof payload)) return -1;
  const int index = payload[0], port = payload[1];
  if (!parts_.table.isValidEntry(index, port)) {
    return sendReply(h, USB_CMD_RESET, UsbResult::error(19)) ? 0 : -1;
  }
  UsbDevice& entry = parts_.table.entry(index);
  UsbResult result = UsbResult::ok();
  {
    std::lock_guard<std::mutex> guard(entry.mutex);
    if (entry.node >= 0 && entry.owner != this) {
      result = UsbResult::denied(12);  // only the owner resets its device
    } else if (entry.node >= 0) {
      const int rc = parts_.table.platform().reset(entry.node);
      if (rc < 0) {
        if (parts_.hooks.portPowerSwitching()) {
          parts_.hooks.powerOffPort(port - 1, 100);
        } else {
          result = errorFrom(rc);
        }
      }
    }
  }
  return sendReply(h, USB_CMD_RESET, result) ? 0 : -1;
}

int UsbSession::handleKeepalive(const RequestHeader& h) {
  uint8_t value[4];
  if (!readExact(value, sizeof value)) return -1;
  lastRequest_ = ticks();
  return sendReply(h, USB_CMD_KEEPALIVE, UsbResult::ok(), value, sizeof value) ? 0 : -1;
}

int UsbSession::handlePortTags(const RequestHeader& h) {
  std::vector<uint8_t> list;
  const int ports = parts_.hooks.portCount();
  for (int port = 1; port <= ports && port <= kLastPort; ++port) {
    if (!parts_.access.checkPortVlan(port, this)) continue;
    const std::string tag = parts_.hooks.portTag(port);
    if (tag.empty()) continue;
    list.push_back(static_cast<uint8_t>(port));
    list.insert(list.end(), tag.begin(), tag.end());
    list.push_back(0);
  }
  list.push_back(0);
  return sendReply(h, USB_CMD_PORT_TAGS, UsbResult::ok(), list.data(), list.size()) ? 0 : -1;
}

int UsbSession::handleConnectedMask(const RequestHeader& h) {
  uint32_t mask = 0;
  for (int i = 0; i < parts_.table.size() && i < 32; ++i) {
    if (parts_.table.entry(i).state.load() == USB_DEV_CONNECTED) mask |= 1u << i;
  }
  uint8_t word[4];
  storeBe32(word, mask);
  return sendReply(h, USB_CMD_CONNECTED_MASK, UsbResult::ok(), word, sizeof word) ? 0 : -1;
}

int UsbSession::handleSysName(const RequestHeader& h) {
  std::string name = parts_.hooks.sysName();
  if (name.size() > 64) name.resize(64);
  return sendReply(h, USB_CMD_SYS_NAME, UsbResult::ok(), name.data(), name.size()) ? 0 : -1;
}

int UsbSession::handlePortStatus(const RequestHeader& h) {
  uint8_t payload[2];
  if (!readExact(payload, sizeof payload)) return -1;
  const int index = payload[0], port = payload[1];
  if (!parts_.table.isValidEntry(index, port)) {
    return sendReply(h, USB_CMD_PORT_STATUS, UsbResult::error(19)) ? 0 : -1;
  }
  std::vector<uint8_t> reply(4);
  uint32_t status = 0;
  if (parts_.table.entry(index).state.load() == USB_DEV_CONNECTED) {
    status = 1;
    uint8_t owner[9];
    if (parts_.table.ownerAddress(index, owner, sizeof owner) == 9) {
      reply.insert(reply.end(), owner, owner + 9);
      const std::string text = parts_.hooks.slotOwner(index + 1);
      const size_t paren = text.find('(');
      if (paren != std::string::npos) {
        reply.insert(reply.end(), text.begin(), text.begin() + std::min<size_t>(paren, 119));
      }
    }
  }
  if (parts_.access.portNeedsEncryption(port)) status |= 2;
  if (!parts_.access.checkAccessIds(index, port)) status |= 5;
  storeBe32(reply.data(), status);
  return sendReply(h, USB_CMD_PORT_STATUS, UsbResult::ok(), reply.data(), reply.size()) ? 0 : -1;
}

void UsbSession::sendUrbCompletion(const UrbCompletion& completion) {
  if (std::this_thread::get_id() != ownerThread_) {
    // Another connection's task cancelled a queued transfer: hand the
    // completion to this connection's own task.
    QueuedCompletion queued{completion, {}};
    if (completion.data && completion.length) {
      queued.data.assign(completion.data, completion.data + completion.length);
    }
    {
      std::lock_guard<std::mutex> guard(queueMutex_);
      completions_.push_back(std::move(queued));
    }
    wake();
    return;
  }
  uint8_t header[kReplyHeaderSize];
  encodeReplyHeader(header, completion.requestWord & 0xFF,
                    completion.partial ? kPartialCompletion : kReplyBase + USB_CMD_URB, completion.tag,
                    static_cast<uint32_t>(completion.length), completion.result);
  iovec parts[2] = {{header, sizeof header}, {const_cast<uint8_t*>(completion.data), completion.length}};
  writeAll(parts, completion.data && completion.length ? 2 : 1);
}

void UsbSession::deviceTaken(int index, int port) {
  {
    std::lock_guard<std::mutex> guard(queueMutex_);
    events_.push_back({USB_EVT_DEVICE_GONE, index, port});
  }
  wake();
}

void UsbSession::disconnectRequested(int index, int port) {
  {
    std::lock_guard<std::mutex> guard(queueMutex_);
    events_.push_back({USB_EVT_ADMIN_DISCONNECT, index, port});
  }
  wake();
}

void UsbSession::deliverQueued() {
  uint64_t counter;
  while (::read(wake_.get(), &counter, sizeof counter) > 0) {
  }
  std::deque<QueuedCompletion> completions;
  std::deque<QueuedEvent> events;
  {
    std::lock_guard<std::mutex> guard(queueMutex_);
    completions.swap(completions_);
    events.swap(events_);
  }
  for (QueuedCompletion& queued : completions) {
    queued.completion.data = queued.data.empty() ? nullptr : queued.data.data();
    sendUrbCompletion(queued.completion);
  }
  for (const QueuedEvent& queued : events) {
    uint8_t event[kEventSize];
    encodeEvent(event, queued.event, queued.index, queued.port);
    iovec parts[1] = {{event, sizeof event}};
    writeAll(parts, 1);
  }
}

void UsbSession::releaseClientDevices() {
  for (int i = 0; i < parts_.table.size(); ++i) {
    UsbDevice& entry = parts_.table.entry(i);
    bool mine, open;
    {
      std::lock_guard<std::mutex> guard(entry.mutex);
      mine = entry.owner == this;
      open = entry.node >= 0;
      if (mine && open && entry.state.load() == USB_DEV_CONNECTED &&
          parts_.table.platform().reset(entry.node) < 0 && parts_.hooks.portPowerSwitching()) {
        parts_.hooks.powerOffPort(entry.id.port - 1, 100);
      }
    }
    if (!mine) continue;
    const bool connected = entry.state.load() == USB_DEV_CONNECTED;
    parts_.engine.discardPendingUrbs(i);
    parts_.table.releaseDevice(i);
    if (connected && open) parts_.hooks.onUsbDeviceDisconnected(i);
  }
}

bool UsbSession::peerIpv4(uint8_t address[4]) const {
  const uint32_t word = connection_.peer().ipv4Word();
  if (word == 0) return false;
  std::memcpy(address, &word, 4);
  return true;
}

bool UsbSession::isEncrypted() const { return connection_.tlsSession() != nullptr; }

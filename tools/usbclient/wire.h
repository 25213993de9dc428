// Byte layout of the USB server protocol as seen from a client: request
// encoders and the decoders of reply bodies. All framing integers are
// big-endian; descriptor and transfer bytes pass unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace usbclient {

using Bytes = std::vector<uint8_t>;

enum class Command : uint32_t {
  Version = 1,
  DevListOld = 2,
  ClaimProbe = 4,
  ReleaseInterface = 5,
  Disconnect = 6,
  Urb = 8,
  DiscardUrb = 9,
  AbortEndpoint = 11,
  ClearHalt = 12,
  Reset = 13,
  KeepAlive = 16,
  SetConfig = 21,
  PortTags = 22,
  ConnectedMask = 23,
  SysName = 24,
  Connect = 25,
  PortStatus = 26,
  Version2 = 27,
  DevList = 29,
};

// A reply's command word is this base plus the request's command; transfer
// completions use the two fixed words below.
constexpr uint32_t kReplyBase = 0x1000;
constexpr uint32_t kUrbFinal = 0x1008;
constexpr uint32_t kUrbPartial = 0x101C;

constexpr uint32_t replyCommand(Command c) { return kReplyBase + static_cast<uint32_t>(c); }

enum class StatusClass : uint32_t { Ok = 0, Pending = 1, Gone = 2, Error = 3, Denied = 5 };

enum class EventCode : uint32_t { DeviceGone = 0x11, AdminDisconnect = 0x13 };

enum class TransferType : uint8_t { Isochronous = 0, Interrupt = 1, Control = 2, Bulk = 3 };

constexpr size_t kRequestHeaderSize = 16;
constexpr size_t kReplyHeaderSize = 24;
constexpr size_t kEventSize = 18;
constexpr size_t kUrbRequestSize = 12;
constexpr size_t kSetupPacketSize = 8;
constexpr size_t kDeviceEntrySize = 22;
constexpr size_t kDeviceDescriptorSize = 18;
constexpr size_t kClientNameSize = 32;
constexpr size_t kMaxProofBlock = 444;
constexpr uint8_t kEndpointIn = 0x80;

inline void putBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
inline void putBe32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}
inline uint16_t getBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t getBe32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint16_t getLe16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

// A device is named by its table index and its physical port (1..20).
struct DeviceRef {
  uint8_t index = 0;
  uint8_t port = 0;
  bool operator==(const DeviceRef&) const = default;
};

struct RequestHeader {
  uint32_t isoPackets = 0;  // 24 bits
  uint8_t echo = 0;
  Command command = Command::Version;
  uint32_t tag = 0;
  uint32_t payloadLength = 0;
};

struct SetupPacket {
  uint8_t requestType = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
};

struct UrbRequest {
  DeviceRef device;
  uint8_t endpoint = 0;
  TransferType type = TransferType::Bulk;
  uint32_t inLength = 0;
  uint32_t outLength = 0;
};

void encodeRequestHeader(const RequestHeader& h, uint8_t out[kRequestHeaderSize]);

// A whole request: header followed by the payload; the header's payload
// length is the payload's size.
Bytes encodeRequest(Command command, uint32_t tag, std::span<const uint8_t> payload,
                    uint8_t echo = 0);

// Payloads of the fixed-layout commands.
Bytes devicePayload(DeviceRef d);                     // DISCONNECT, RESET, PORT_STATUS
Bytes deviceBytePayload(DeviceRef d, uint8_t value);  // CLAIM_PROBE, RELEASE_IF, ABORT_EP, CLEAR_HALT
Bytes connectPayload(DeviceRef d, std::string_view clientName);
struct InterfaceSetting {
  uint8_t interfaceNumber = 0;
  uint8_t alternateSetting = 0;
};
// The server reads the pairs only for a non-zero configuration value, so
// configuration 0 goes out with no pairs and a count of 0.
Bytes setConfigPayload(DeviceRef d, uint8_t configValue,
                       std::span<const InterfaceSetting> settings);
Bytes keepAlivePayload(uint32_t value);
Bytes discardPayload(uint32_t urbTag);

// The 16-byte header plus the 12-byte URB request of a transfer; the OUT
// data (for a control transfer: setup packet and OUT data) follows it.
void encodeUrbPrefix(uint32_t tag, uint8_t echo, const UrbRequest& urb,
                     uint8_t out[kRequestHeaderSize + kUrbRequestSize]);
void encodeSetupPacket(const SetupPacket& s, uint8_t out[kSetupPacketSize]);

// --- reply bodies ---

struct VersionInfo {
  uint16_t major = 0;
  uint16_t minor = 0;
  uint16_t build = 0;
  std::optional<uint16_t> tableSize;  // VERSION2 only
};
bool parseVersion(std::span<const uint8_t> body, bool version2, VersionInfo& out);

struct DeviceEntry {
  DeviceRef device;
  uint8_t speed = 0;  // 1 low, 2 full, 3 high, 5 super
  // The descriptor in USB order (little-endian fields), as the device gave it.
  uint8_t descriptor[kDeviceDescriptorSize] = {};
  uint16_t bcdUsb() const { return getLe16(descriptor + 2); }
  uint8_t deviceClass() const { return descriptor[4]; }
  uint16_t vendorId() const { return getLe16(descriptor + 8); }
  uint16_t productId() const { return getLe16(descriptor + 10); }
  uint16_t bcdDevice() const { return getLe16(descriptor + 12); }
  uint8_t configurationCount() const { return descriptor[17]; }
};
bool parseDeviceList(std::span<const uint8_t> body, std::vector<DeviceEntry>& out);

struct PortTag {
  uint8_t port = 0;
  std::string text;
};
bool parsePortTags(std::span<const uint8_t> body, std::vector<PortTag>& out);

bool parseConnectedMask(std::span<const uint8_t> body, uint32_t& mask);

struct PortStatus {
  uint32_t status = 0;  // bit 0 connected, bit 1 TLS required, bit 2 refused by the id list
  std::optional<uint32_t> ownerIpv4;  // host order
  std::string ownerName;
};
bool parsePortStatus(std::span<const uint8_t> body, PortStatus& out);

const char* speedName(uint8_t speed);

}  // namespace usbclient

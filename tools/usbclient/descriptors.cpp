#include "tools/usbclient/descriptors.h"

namespace usbclient {
namespace {

constexpr uint8_t kTypeConfiguration = 2;
constexpr uint8_t kTypeInterface = 4;
constexpr uint8_t kTypeEndpoint = 5;
constexpr uint8_t kClassMassStorage = 8;
constexpr uint8_t kSubclassScsi = 6;
constexpr uint8_t kProtocolBulkOnly = 0x50;
constexpr uint8_t kAttrBulk = 2;
constexpr size_t kConfigHeaderSize = 9;

int getDescriptor(UsbClient& client, DeviceRef d, uint8_t type, uint8_t index, uint16_t length,
                  Bytes& out, Status& status) {
  SetupPacket s;
  s.requestType = 0x80;
  s.request = 6;  // GET_DESCRIPTOR
  s.value = static_cast<uint16_t>(type << 8 | index);
  s.length = length;
  UrbResult r;
  int rc = client.control(d, s, {}, length, r);
  if (rc != 0) return rc;
  status = r.status;
  if (!r.status.ok()) return 1;
  out = std::move(r.data);
  return 0;
}

}  // namespace

bool findBulkOnlyInterface(std::span<const uint8_t> config, BulkOnlyInterface& out) {
  if (config.size() < kConfigHeaderSize || config[1] != kTypeConfiguration) return false;
  BulkOnlyInterface found;
  found.configValue = config[5];
  bool inCandidate = false;
  size_t pos = 0;
  while (pos + 2 <= config.size()) {
    size_t len = config[pos];
    if (len < 2 || pos + len > config.size()) break;
    const uint8_t* d = config.data() + pos;
    if (d[1] == kTypeInterface && len >= 9) {
      if (inCandidate && found.inEndpoint && found.outEndpoint) break;
      inCandidate = d[5] == kClassMassStorage && d[6] == kSubclassScsi && d[7] == kProtocolBulkOnly;
      found.interfaceNumber = d[2];
      found.alternateSetting = d[3];
      found.inEndpoint = found.outEndpoint = 0;
    } else if (d[1] == kTypeEndpoint && len >= 7 && inCandidate && (d[3] & 3) == kAttrBulk) {
      (d[2] & kEndpointIn ? found.inEndpoint : found.outEndpoint) = d[2];
      found.maxPacket = getLe16(d + 4);
    }
    pos += len;
  }
  if (!inCandidate || !found.inEndpoint || !found.outEndpoint) return false;
  out = found;
  return true;
}

int fetchDeviceDescriptor(UsbClient& client, DeviceRef d, Bytes& out, Status& status) {
  int rc = getDescriptor(client, d, 1, 0, kDeviceDescriptorSize, out, status);
  if (rc == 0 && out.size() != kDeviceDescriptorSize) return kProtocolError;
  return rc;
}

int fetchConfigDescriptor(UsbClient& client, DeviceRef d, uint8_t index, Bytes& out, Status& status) {
  int rc = getDescriptor(client, d, kTypeConfiguration, index, kConfigHeaderSize, out, status);
  if (rc != 0) return rc;
  if (out.size() < kConfigHeaderSize) return kProtocolError;
  uint16_t total = getLe16(out.data() + 2);
  if (total <= kConfigHeaderSize) return 0;
  rc = getDescriptor(client, d, kTypeConfiguration, index, total, out, status);
  if (rc == 0 && out.size() < kConfigHeaderSize) return kProtocolError;
  return rc;
}

}  // namespace usbclient

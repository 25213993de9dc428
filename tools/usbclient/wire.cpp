#include "tools/usbclient/wire.h"

#include <algorithm>
#include <cstring>

namespace usbclient {

void encodeRequestHeader(const RequestHeader& h, uint8_t out[kRequestHeaderSize]) {
  putBe32(out, (h.isoPackets & 0xFFFFFFu) << 8 | h.echo);
  putBe32(out + 4, static_cast<uint32_t>(h.command));
  putBe32(out + 8, h.tag);
  putBe32(out + 12, h.payloadLength);
}

Bytes encodeRequest(Command command, uint32_t tag, std::span<const uint8_t> payload,
                    uint8_t echo) {
  Bytes out(kRequestHeaderSize + payload.size());
  RequestHeader h;
  h.echo = echo;
  h.command = command;
  h.tag = tag;
  h.payloadLength = static_cast<uint32_t>(payload.size());
  encodeRequestHeader(h, out.data());
  std::copy(payload.begin(), payload.end(), out.begin() + kRequestHeaderSize);
  return out;
}

Bytes devicePayload(DeviceRef d) { return {d.index, d.port}; }

Bytes deviceBytePayload(DeviceRef d, uint8_t value) { return {d.index, d.port, value}; }

Bytes connectPayload(DeviceRef d, std::string_view clientName) {
  Bytes out(2 + kClientNameSize, 0);
  out[0] = d.index;
  out[1] = d.port;
  size_t n = std::min(clientName.size(), kClientNameSize);
  std::memcpy(out.data() + 2, clientName.data(), n);
  return out;
}

Bytes setConfigPayload(DeviceRef d, uint8_t configValue,
                       std::span<const InterfaceSetting> settings) {
  size_t pairs = configValue == 0 ? 0 : std::min<size_t>(settings.size(), 255);
  Bytes out{d.index, d.port, configValue, static_cast<uint8_t>(pairs)};
  for (size_t i = 0; i < pairs; ++i) {
    out.push_back(settings[i].interfaceNumber);
    out.push_back(settings[i].alternateSetting);
  }
  return out;
}

Bytes keepAlivePayload(uint32_t value) {
  Bytes out(4);
  putBe32(out.data(), value);
  return out;
}

Bytes discardPayload(uint32_t urbTag) {
  // The server compares the raw tag bytes; they are the ones the transfer's
  // header carried.
  return keepAlivePayload(urbTag);
}

void encodeUrbPrefix(uint32_t tag, uint8_t echo, const UrbRequest& urb,
                     uint8_t out[kRequestHeaderSize + kUrbRequestSize]) {
  RequestHeader h;
  h.echo = echo;
  h.command = Command::Urb;
  h.tag = tag;
  h.payloadLength = static_cast<uint32_t>(kUrbRequestSize + urb.outLength);
  encodeRequestHeader(h, out);
  uint8_t* r = out + kRequestHeaderSize;
  r[0] = urb.device.index;
  r[1] = urb.device.port;
  r[2] = urb.endpoint;
  r[3] = static_cast<uint8_t>(urb.type);
  putBe32(r + 4, urb.inLength);
  putBe32(r + 8, urb.outLength);
}

void encodeSetupPacket(const SetupPacket& s, uint8_t out[kSetupPacketSize]) {
  out[0] = s.requestType;
  out[1] = s.request;
  putBe16(out + 2, s.value);
  putBe16(out + 4, s.index);
  putBe16(out + 6, s.length);
}

bool parseVersion(std::span<const uint8_t> body, bool version2, VersionInfo& out) {
  out = VersionInfo{};
  if (body.size() < (version2 ? 8u : 6u)) return false;
  out.major = getBe16(body.data());
  out.minor = getBe16(body.data() + 2);
  out.build = getBe16(body.data() + 4);
  if (version2) out.tableSize = getBe16(body.data() + 6);
  return true;
}

bool parseDeviceList(std::span<const uint8_t> body, std::vector<DeviceEntry>& out) {
  out.clear();
  if (body.size() < 3) return false;
  size_t count = body[0];
  if (getBe16(body.data() + 1) != count * kDeviceEntrySize) return false;
  if (body.size() != 3 + count * kDeviceEntrySize) return false;
  // The four 16-bit descriptor fields arrive big-endian; turn them back into
  // USB order so the descriptor reads like the device's own.
  static constexpr size_t kSwapped[] = {2, 8, 10, 12};
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = body.data() + 3 + i * kDeviceEntrySize;
    DeviceEntry d;
    d.device = {e[0], e[1]};
    d.speed = e[2];
    std::memcpy(d.descriptor, e + 4, kDeviceDescriptorSize);
    for (size_t off : kSwapped) std::swap(d.descriptor[off], d.descriptor[off + 1]);
    out.push_back(d);
  }
  return true;
}

bool parsePortTags(std::span<const uint8_t> body, std::vector<PortTag>& out) {
  out.clear();
  size_t i = 0;
  while (i < body.size() && body[i] != 0) {
    PortTag t;
    t.port = body[i++];
    size_t end = i;
    while (end < body.size() && body[end] != 0) ++end;
    if (end == body.size()) return false;  // text without its terminator
    t.text.assign(reinterpret_cast<const char*>(body.data() + i), end - i);
    out.push_back(std::move(t));
    i = end + 1;
  }
  return i + 1 == body.size();  // exactly one closing 0
}

bool parseConnectedMask(std::span<const uint8_t> body, uint32_t& mask) {
  if (body.size() != 4) return false;
  mask = getBe32(body.data());
  return true;
}

bool parsePortStatus(std::span<const uint8_t> body, PortStatus& out) {
  out = PortStatus{};
  if (body.size() < 4) return false;
  out.status = getBe32(body.data());
  std::span<const uint8_t> owner = body.subspan(4);
  if (owner.empty()) return true;
  static constexpr uint8_t kIpv4Block[] = {3, 4, 0, 0, 0};
  if (owner.size() < 9 || !std::equal(std::begin(kIpv4Block), std::end(kIpv4Block), owner.begin()))
    return false;
  out.ownerIpv4 = getBe32(owner.data() + 5);
  out.ownerName.assign(reinterpret_cast<const char*>(owner.data() + 9), owner.size() - 9);
  return true;
}

const char* speedName(uint8_t speed) {
  switch (speed) {
    case 1: return "low";
    case 2: return "full";
    case 3: return "high";
    case 5: return "super";
    default: return "unknown";
  }
}

}  // namespace usbclient

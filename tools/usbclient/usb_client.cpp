#include "tools/usbclient/usb_client.h"

#include <cstring>

namespace usbclient {

std::string statusText(const Status& s) {
  static const char* const kClassNames[] = {"ok", "pending", "gone", "error", "?", "denied"};
  const char* name = s.statusClass < 6 ? kClassNames[s.statusClass] : "?";
  return std::string(name) + " (class " + std::to_string(s.statusClass) + ", code " +
         std::to_string(s.code) + ")";
}

namespace {

constexpr size_t kReadChunk = 64 * 1024;

Status statusOf(const Reply& r) { return {r.statusClass, r.statusCode}; }

iovec iov(const void* p, size_t n) { return {const_cast<void*>(p), n}; }

}  // namespace

UsbClient::UsbClient(std::unique_ptr<Transport> transport, int timeoutMs, size_t maxPayload)
    : transport_(std::move(transport)), decoder_(maxPayload), timeoutMs_(timeoutMs) {
  if (!transport_) failed_ = kNoSocket;
}

std::string UsbClient::transportDescription() const {
  return transport_ ? transport_->description() : "none";
}

uint32_t UsbClient::takeTag() {
  uint32_t t = nextTag_++;
  if (nextTag_ == 0) nextTag_ = 1;
  return t;
}

int UsbClient::fail(int code) {
  if (code != kTimeout && failed_ == 0) failed_ = code;
  return code;
}

int UsbClient::sendParts(std::span<const iovec> parts) {
  if (failed_) return failed_;
  long r = transport_->writeAll(parts, timeoutMs_);
  return r < 0 ? fail(static_cast<int>(r)) : 0;
}

int UsbClient::sendRequest(Command command, uint32_t tag, std::span<const uint8_t> payload) {
  uint8_t header[kRequestHeaderSize];
  RequestHeader h;
  h.echo = echo_;
  h.command = command;
  h.tag = tag;
  h.payloadLength = static_cast<uint32_t>(payload.size());
  encodeRequestHeader(h, header);
  iovec parts[] = {iov(header, sizeof header), iov(payload.data(), payload.size())};
  return sendParts(std::span<const iovec>(parts, payload.empty() ? 1 : 2));
}

int UsbClient::readMessage(Message& out, int timeoutMs) {
  if (failed_) return failed_;
  for (;;) {
    switch (decoder_.next(out)) {
      case FrameDecoder::Result::Ready: return 0;
      case FrameDecoder::Result::Malformed: return fail(kProtocolError);
      case FrameDecoder::Result::NeedMore: break;
    }
    uint8_t* p = decoder_.prepare(kReadChunk);
    int n = transport_->readSome(p, kReadChunk, timeoutMs);
    if (n < 0) return fail(n);
    decoder_.commit(static_cast<size_t>(n));
  }
}

int UsbClient::stash(Message&& m) {
  if (auto* e = std::get_if<Event>(&m)) {
    if (events_.size() == kMaxEvents) events_.pop_front();
    events_.push_back(*e);
    return 0;
  }
  // Replies nobody awaits yet: completions of pipelined transfers. A server
  // that floods us with tags we never asked for is not following the
  // protocol.
  if (stashedCount_ == kMaxStashed) return fail(kProtocolError);
  Reply& r = std::get<Reply>(m);
  stashed_[r.tag].push_back(std::move(r));
  ++stashedCount_;
  return 0;
}

bool UsbClient::takeStashed(uint32_t tag, Reply& out) {
  auto it = stashed_.find(tag);
  if (it == stashed_.end()) return false;
  out = std::move(it->second.front());
  it->second.pop_front();
  if (it->second.empty()) stashed_.erase(it);
  --stashedCount_;
  return true;
}

int UsbClient::awaitReply(uint32_t tag, uint32_t replyWord, Reply& out, int timeoutMs) {
  // A transfer's replies share its tag (partial then final completions), so
  // the stash keeps their order per tag and is looked at first.
  auto matches = [&](const Reply& r) {
    return r.tag == tag && (replyWord == kUrbFinal ? r.isUrbCompletion() : r.command == replyWord);
  };
  for (;;) {
    if (auto it = stashed_.find(tag); it != stashed_.end() && matches(it->second.front())) {
      takeStashed(tag, out);
      return 0;
    }
    Message m;
    int r = readMessage(m, timeoutMs);
    if (r < 0) return r;
    if (auto* reply = std::get_if<Reply>(&m); reply && matches(*reply) && !stashed_.count(tag)) {
      out = std::move(*reply);
      return 0;
    }
    r = stash(std::move(m));
    if (r < 0) return r;
  }
}

int UsbClient::simple(Command command, std::span<const uint8_t> payload, Status& status, Reply* reply) {
  Reply local;
  Reply& r = reply ? *reply : local;
  uint32_t tag = takeTag();
  int rc = sendRequest(command, tag, payload);
  if (rc == 0) rc = awaitReply(tag, replyCommand(command), r, timeoutMs_);
  if (rc == 0) status = statusOf(r);
  return rc;
}

int UsbClient::request(Command command, std::span<const uint8_t> payload, uint32_t replyWord,
                       Reply& out) {
  uint32_t tag = takeTag();
  int rc = sendRequest(command, tag, payload);
  return rc == 0 ? awaitReply(tag, replyWord, out, timeoutMs_) : rc;
}

int UsbClient::sendRaw(std::span<const uint8_t> bytes) {
  iovec part = iov(bytes.data(), bytes.size());
  return sendParts(std::span<const iovec>(&part, 1));
}

int UsbClient::receive(Message& out, int timeoutMs) { return readMessage(out, timeoutMs); }

int UsbClient::version(uint32_t tag, bool version2, VersionInfo& out, Status& status) {
  Command c = version2 ? Command::Version2 : Command::Version;
  int rc = sendRequest(c, tag, {});
  Reply r;
  if (rc == 0) rc = awaitReply(tag, replyCommand(c), r, timeoutMs_);
  if (rc != 0) return rc;
  status = statusOf(r);
  nonce_ = tag;
  return parseVersion(r.payload, version2, out) ? 0 : fail(kProtocolError);
}

int UsbClient::version(bool version2, VersionInfo& out, Status& status) {
  return version(takeTag(), version2, out, status);
}

int UsbClient::deviceList(std::span<const uint8_t> proofBlock, std::vector<DeviceEntry>& out,
                          Status& status) {
  Reply r;
  int rc = simple(Command::DevList, proofBlock, status, &r);
  if (rc != 0) return rc;
  if (!r.ok()) {
    out.clear();
    return 0;
  }
  return parseDeviceList(r.payload, out) ? 0 : fail(kProtocolError);
}

int UsbClient::deviceList(ProofForm form, std::span<const PortKey> keys,
                          std::vector<DeviceEntry>& out, Status& status) {
  Bytes block;
  if (!keys.empty() && !buildProofBlock(form, nonce_, keys, block)) return kProtocolError;
  return deviceList(block, out, status);
}

int UsbClient::connect(DeviceRef d, std::string_view clientName, Status& status) {
  return simple(Command::Connect, connectPayload(d, clientName), status);
}

int UsbClient::disconnect(DeviceRef d, Status& status) {
  return simple(Command::Disconnect, devicePayload(d), status);
}

int UsbClient::setConfiguration(DeviceRef d, uint8_t configValue,
                                std::span<const InterfaceSetting> settings, Status& status) {
  return simple(Command::SetConfig, setConfigPayload(d, configValue, settings), status);
}

int UsbClient::claimProbe(DeviceRef d, uint8_t interfaceNumber, Status& status) {
  return simple(Command::ClaimProbe, deviceBytePayload(d, interfaceNumber), status);
}

int UsbClient::releaseInterface(DeviceRef d, uint8_t interfaceNumber, Status& status) {
  return simple(Command::ReleaseInterface, deviceBytePayload(d, interfaceNumber), status);
}

int UsbClient::abortEndpoint(DeviceRef d, uint8_t endpoint, Status& status) {
  return simple(Command::AbortEndpoint, deviceBytePayload(d, endpoint), status);
}

int UsbClient::clearHalt(DeviceRef d, uint8_t endpoint, Status& status) {
  return simple(Command::ClearHalt, deviceBytePayload(d, endpoint), status);
}

int UsbClient::resetDevice(DeviceRef d, Status& status) {
  return simple(Command::Reset, devicePayload(d), status);
}

int UsbClient::keepAlive(uint32_t value, Status& status) {
  Reply r;
  int rc = simple(Command::KeepAlive, keepAlivePayload(value), status, &r);
  if (rc != 0) return rc;
  return r.payload.size() == 4 && getBe32(r.payload.data()) == value ? 0 : fail(kProtocolError);
}

int UsbClient::portTags(std::vector<PortTag>& out, Status& status) {
  Reply r;
  int rc = simple(Command::PortTags, {}, status, &r);
  if (rc != 0) return rc;
  out.clear();
  if (r.payload.empty()) return 0;  // no list could be built
  return parsePortTags(r.payload, out) ? 0 : fail(kProtocolError);
}

int UsbClient::connectedMask(uint32_t& mask, Status& status) {
  Reply r;
  int rc = simple(Command::ConnectedMask, {}, status, &r);
  if (rc != 0) return rc;
  return parseConnectedMask(r.payload, mask) ? 0 : fail(kProtocolError);
}

int UsbClient::sysName(std::string& name, Status& status) {
  Reply r;
  int rc = simple(Command::SysName, {}, status, &r);
  if (rc == 0) name.assign(r.payload.begin(), r.payload.end());
  return rc;
}

int UsbClient::portStatus(DeviceRef d, PortStatus& out, Status& status) {
  Reply r;
  int rc = simple(Command::PortStatus, devicePayload(d), status, &r);
  if (rc != 0) return rc;
  out = PortStatus{};
  if (!r.ok()) return 0;
  return parsePortStatus(r.payload, out) ? 0 : fail(kProtocolError);
}

int UsbClient::control(DeviceRef d, const SetupPacket& setup, std::span<const uint8_t> outData,
                       uint32_t inLength, UrbResult& result) {
  UrbRequest urb;
  urb.device = d;
  urb.endpoint = 0;
  urb.type = TransferType::Control;
  urb.inLength = inLength;
  urb.outLength = static_cast<uint32_t>(kSetupPacketSize + outData.size());
  uint8_t prefix[kRequestHeaderSize + kUrbRequestSize + kSetupPacketSize];
  uint32_t tag = takeTag();
  encodeUrbPrefix(tag, echo_, urb, prefix);
  encodeSetupPacket(setup, prefix + kRequestHeaderSize + kUrbRequestSize);
  iovec parts[] = {iov(prefix, sizeof prefix), iov(outData.data(), outData.size())};
  int rc = sendParts(std::span<const iovec>(parts, outData.empty() ? 1 : 2));
  return rc == 0 ? await(tag, result) : rc;
}

int UsbClient::submit(const UrbRequest& urb, std::span<const uint8_t> outData, uint32_t& tag) {
  if (outData.size() != urb.outLength) return kProtocolError;
  uint8_t prefix[kRequestHeaderSize + kUrbRequestSize];
  tag = takeTag();
  encodeUrbPrefix(tag, echo_, urb, prefix);
  iovec parts[] = {iov(prefix, sizeof prefix), iov(outData.data(), outData.size())};
  return sendParts(std::span<const iovec>(parts, outData.empty() ? 1 : 2));
}

int UsbClient::await(uint32_t tag, UrbResult& result, int timeoutMs) {
  result = UrbResult{};
  for (;;) {
    Reply r;
    int rc = awaitReply(tag, kUrbFinal, r, timeoutMs < 0 ? timeoutMs_ : timeoutMs);
    if (rc != 0) return rc;
    ++result.parts;
    result.status = statusOf(r);
    if (result.data.empty())
      result.data = std::move(r.payload);
    else
      result.data.insert(result.data.end(), r.payload.begin(), r.payload.end());
    if (r.command == kUrbFinal) return 0;
  }
}

int UsbClient::transfer(const UrbRequest& urb, std::span<const uint8_t> outData, UrbResult& result,
                        int timeoutMs) {
  uint32_t tag = 0;
  int rc = submit(urb, outData, tag);
  return rc == 0 ? await(tag, result, timeoutMs) : rc;
}

int UsbClient::discard(uint32_t urbTag, Status& status) {
  return simple(Command::DiscardUrb, discardPayload(urbTag), status);
}

bool UsbClient::takeEvent(Event& out) {
  if (events_.empty()) return false;
  out = events_.front();
  events_.pop_front();
  return true;
}

int UsbClient::waitEvent(Event& out, int timeoutMs) {
  while (!takeEvent(out)) {
    Message m;
    int rc = readMessage(m, timeoutMs);
    if (rc < 0) return rc;
    rc = stash(std::move(m));
    if (rc < 0) return rc;
  }
  return 0;
}

}  // namespace usbclient

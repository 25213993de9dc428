// A client of the USB server: one connection, the requests of the protocol,
// transfers that may be pipelined, and the server's event messages.
//
// Not thread-safe: one thread uses a client at a time (callers that share
// one, like the FUSE front end, hold their own mutex around every call).
//
// Results: every request returns 0 once its reply arrived (the reply's status
// class and code are in the Status out parameter), or a negative ClientError
// when the connection failed; after a failure other than a time-out the
// client stays failed.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tools/usbclient/frame_decoder.h"
#include "tools/usbclient/proof.h"
#include "tools/usbclient/transport.h"
#include "tools/usbclient/wire.h"

namespace usbclient {

struct Status {
  uint32_t statusClass = 0;
  int32_t code = 0;
  bool ok() const { return statusClass == static_cast<uint32_t>(StatusClass::Ok); }
};
std::string statusText(const Status& s);

struct UrbResult {
  Status status;
  Bytes data;          // the IN bytes of every completion, in order
  uint32_t parts = 0;  // completions received (partial ones and the final one)
};

class UsbClient {
 public:
  // Completions of one part carry at most 64 KiB; larger replies come only
  // from devices whose transfers are not split, and are bounded here.
  static constexpr size_t kDefaultMaxPayload = 32u << 20;

  explicit UsbClient(std::unique_ptr<Transport> transport, int timeoutMs = 10000,
                     size_t maxPayload = kDefaultMaxPayload);

  void setTimeout(int ms) { timeoutMs_ = ms; }
  int timeout() const { return timeoutMs_; }
  // Echo byte of every later request (the server returns it in its replies).
  void setEcho(uint8_t echo) { echo_ = echo; }
  // The nonce the server uses for key proofs: the tag of the last answered
  // version request.
  uint32_t nonce() const { return nonce_; }
  std::string transportDescription() const;

  // VERSION (version2 false) or VERSION2, with a chosen tag, which becomes
  // the nonce.
  int version(uint32_t tag, bool version2, VersionInfo& out, Status& status);
  int version(bool version2, VersionInfo& out, Status& status);

  // DEVLIST with the given proof block (empty: none).
  int deviceList(std::span<const uint8_t> proofBlock, std::vector<DeviceEntry>& out, Status& status);
  // DEVLIST with proofs for these keys, computed for the current nonce;
  // kProtocolError without sending when they do not fit one block.
  int deviceList(ProofForm form, std::span<const PortKey> keys, std::vector<DeviceEntry>& out,
                 Status& status);

  int connect(DeviceRef d, std::string_view clientName, Status& status);
  int disconnect(DeviceRef d, Status& status);
  int setConfiguration(DeviceRef d, uint8_t configValue, std::span<const InterfaceSetting> settings,
                       Status& status);
  int claimProbe(DeviceRef d, uint8_t interfaceNumber, Status& status);
  int releaseInterface(DeviceRef d, uint8_t interfaceNumber, Status& status);
  int abortEndpoint(DeviceRef d, uint8_t endpoint, Status& status);
  int clearHalt(DeviceRef d, uint8_t endpoint, Status& status);
  int resetDevice(DeviceRef d, Status& status);
  int keepAlive(uint32_t value, Status& status);
  int portTags(std::vector<PortTag>& out, Status& status);
  int connectedMask(uint32_t& mask, Status& status);
  int sysName(std::string& name, Status& status);
  int portStatus(DeviceRef d, PortStatus& out, Status& status);

  // A control transfer on endpoint 0; its reply is immediate.
  int control(DeviceRef d, const SetupPacket& setup, std::span<const uint8_t> outData,
              uint32_t inLength, UrbResult& result);

  // Sends a bulk or interrupt transfer without waiting; `tag` names it for
  // await() and discard(). Every submitted transfer must be awaited.
  // outData must hold urb.outLength bytes.
  int submit(const UrbRequest& urb, std::span<const uint8_t> outData, uint32_t& tag);
  // Collects the completions of one transfer up to its final one.
  // timeoutMs: longest silence from the server (negative: the client's).
  int await(uint32_t tag, UrbResult& result, int timeoutMs = -1);
  int transfer(const UrbRequest& urb, std::span<const uint8_t> outData, UrbResult& result,
               int timeoutMs = -1);
  int discard(uint32_t urbTag, Status& status);

  // Event messages, in arrival order. takeEvent() returns one already
  // received; waitEvent() reads from the server until one arrives.
  bool takeEvent(Event& out);
  int waitEvent(Event& out, int timeoutMs);

  // Any request (for example one the server should refuse), answered by a
  // reply with the given command word and the request's tag.
  int request(Command command, std::span<const uint8_t> payload, uint32_t replyWord, Reply& out);

  // Bytes exactly as given, and the next message as it arrives (messages
  // already filed for await() or takeEvent() are not returned again): for
  // checking how a server treats malformed or cut requests.
  int sendRaw(std::span<const uint8_t> bytes);
  int receive(Message& out, int timeoutMs);

 private:
  static constexpr size_t kMaxStashed = 4096;
  static constexpr size_t kMaxEvents = 1024;

  uint32_t takeTag();
  int sendParts(std::span<const iovec> parts);
  int sendRequest(Command command, uint32_t tag, std::span<const uint8_t> payload);
  int readMessage(Message& out, int timeoutMs);
  // Files a message that nobody is waiting for.
  int stash(Message&& m);
  bool takeStashed(uint32_t tag, Reply& out);
  int awaitReply(uint32_t tag, uint32_t replyWord, Reply& out, int timeoutMs);
  int simple(Command command, std::span<const uint8_t> payload, Status& status, Reply* reply = nullptr);
  int fail(int code);

  std::unique_ptr<Transport> transport_;
  FrameDecoder decoder_;
  int timeoutMs_;
  uint8_t echo_ = 0;
  uint32_t nextTag_ = 1;
  uint32_t nonce_ = 0;
  int failed_ = 0;
  std::map<uint32_t, std::deque<Reply>> stashed_;
  size_t stashedCount_ = 0;
  std::deque<Event> events_;
};

}  // namespace usbclient

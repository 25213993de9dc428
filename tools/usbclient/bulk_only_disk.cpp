#include "tools/usbclient/bulk_only_disk.h"

#include <algorithm>
#include <cstring>

#include "tools/usbclient/scsi.h"

namespace usbclient {
namespace {

constexpr int32_t kStall = -32;  // -EPIPE: the endpoint is halted
constexpr int kReadyTries = 5;
constexpr uint8_t kSenseLength = 18;

bool isStall(const Status& s) {
  return s.statusClass == static_cast<uint32_t>(StatusClass::Error) && s.code == kStall;
}

}  // namespace

BulkOnlyDisk::BulkOnlyDisk(UsbClient& client, DeviceRef device, const BulkOnlyInterface& interface,
                           uint8_t lun)
    : client_(client), device_(device), interface_(interface), lun_(lun) {}

int BulkOnlyDisk::fail(std::string message) {
  lastError_ = std::move(message);
  return -1;
}

int BulkOnlyDisk::transportFailure(int code) {
  return fail(std::string("connection: ") + clientErrorText(code));
}

UrbRequest BulkOnlyDisk::bulk(uint8_t endpoint, uint32_t length, bool in) const {
  UrbRequest u;
  u.device = device_;
  u.endpoint = endpoint;
  u.type = TransferType::Bulk;
  (in ? u.inLength : u.outLength) = length;
  return u;
}

int BulkOnlyDisk::command(std::span<const uint8_t> cdb, Phase phase, uint8_t* data,
                          uint32_t length, uint32_t* transferred) {
  if (transferred) *transferred = 0;
  if (length == 0) phase = Phase::None;
  uint32_t tag = nextTag_++;
  auto cbw = buildCbw(tag, length, phase == Phase::In, lun_, cdb);
  uint32_t cbwUrb = 0, dataUrb = 0, statusUrb = 0;
  int rc = client_.submit(bulk(interface_.outEndpoint, kCbwSize, false), cbw, cbwUrb);
  if (rc == 0 && phase == Phase::In)
    rc = client_.submit(bulk(interface_.inEndpoint, length, true), {}, dataUrb);
  if (rc == 0 && phase == Phase::Out) {
    // The status wrapper comes on the other endpoint, so it can wait there
    // while the data goes out.
    rc = client_.submit(bulk(interface_.outEndpoint, length, false), {data, length}, dataUrb);
    if (rc == 0) rc = client_.submit(bulk(interface_.inEndpoint, kCswSize, true), {}, statusUrb);
  }
  if (rc != 0) return transportFailure(rc);

  UrbResult r;
  if ((rc = client_.await(cbwUrb, r)) != 0) return transportFailure(rc);
  if (!r.status.ok()) {
    // The device did not take the command: nothing else will complete.
    Status ignored;
    for (uint32_t t : {dataUrb, statusUrb}) {
      if (t == 0) continue;
      client_.discard(t, ignored);
      UrbResult drop;
      if ((rc = client_.await(t, drop)) != 0) return transportFailure(rc);
    }
    recover();
    return fail("command wrapper refused: " + statusText(r.status));
  }

  uint32_t moved = 0;
  if (dataUrb) {
    if ((rc = client_.await(dataUrb, r)) != 0) return transportFailure(rc);
    if (r.status.ok()) {
      moved = phase == Phase::Out ? length : static_cast<uint32_t>(std::min<size_t>(r.data.size(), length));
      if (phase == Phase::In) std::memcpy(data, r.data.data(), moved);
    } else if (isStall(r.status)) {
      // The device ends a data phase it cannot serve with a halt; clear it
      // and the status wrapper follows.
      Status s;
      uint8_t ep = phase == Phase::In ? interface_.inEndpoint : interface_.outEndpoint;
      if ((rc = client_.clearHalt(device_, ep, s)) != 0) return transportFailure(rc);
    } else {
      return fail("data phase failed: " + statusText(r.status));
    }
  }
  rc = readStatus(tag, statusUrb);
  if (rc != 0) return rc;
  if (transferred) *transferred = moved;
  return 0;
}

int BulkOnlyDisk::readStatus(uint32_t cbwTag, uint32_t pendingTag) {
  UrbResult r;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t t = pendingTag;
    pendingTag = 0;
    int rc = 0;
    if (t == 0) rc = client_.submit(bulk(interface_.inEndpoint, kCswSize, true), {}, t);
    if (rc == 0) rc = client_.await(t, r);
    if (rc != 0) return transportFailure(rc);
    if (!isStall(r.status)) break;
    Status s;
    if ((rc = client_.clearHalt(device_, interface_.inEndpoint, s)) != 0) return transportFailure(rc);
  }
  Csw csw;
  if (!r.status.ok() || !parseCsw(r.data, csw) || csw.tag != cbwTag) {
    recover();
    return fail("no valid status wrapper: " + statusText(r.status));
  }
  if (csw.status == static_cast<uint8_t>(CswStatus::PhaseError)) {
    recover();
    return fail("phase error");
  }
  if (csw.status != static_cast<uint8_t>(CswStatus::Passed)) return fail("command failed");
  return 0;
}

int BulkOnlyDisk::recover() {
  // Bulk-only mass storage reset, then both endpoints cleared.
  SetupPacket reset;
  reset.requestType = 0x21;
  reset.request = 0xFF;
  reset.index = interface_.interfaceNumber;
  UrbResult r;
  int rc = client_.control(device_, reset, {}, 0, r);
  Status s;
  if (rc == 0) rc = client_.clearHalt(device_, interface_.inEndpoint, s);
  if (rc == 0) rc = client_.clearHalt(device_, interface_.outEndpoint, s);
  return rc;
}

int BulkOnlyDisk::start() {
  for (int i = 0;; ++i) {
    if (command(cdbTestUnitReady(), Phase::None, nullptr, 0) == 0) break;
    if (i + 1 == kReadyTries) return fail("unit not ready: " + lastError_);
    uint8_t sense[kSenseLength];
    if (command(cdbRequestSense(kSenseLength), Phase::In, sense, sizeof sense) != 0)
      return fail("request sense: " + lastError_);
  }
  uint8_t capacity[8];
  uint32_t got = 0;
  if (command(cdbReadCapacity10(), Phase::In, capacity, sizeof capacity, &got) != 0)
    return fail("read capacity: " + lastError_);
  uint32_t lastLba = 0;
  if (!parseReadCapacity10({capacity, got}, lastLba, blockSize_)) return fail("bad capacity data");
  blockCount_ = uint64_t{lastLba} + 1;
  return 0;
}

int BulkOnlyDisk::blocksCommand(bool write, uint64_t lba, uint32_t count, uint8_t* buf) {
  if (blockSize_ == 0) return fail("capacity not known");
  if (lba + count > blockCount_) return fail("block range beyond the end of the disk");
  uint32_t perCommand = std::clamp<uint32_t>(maxTransfer_ / blockSize_, 1, 0xFFFF);
  while (count > 0) {
    uint32_t n = std::min(count, perCommand);
    uint32_t bytes = n * blockSize_;
    Bytes cdb = write ? cdbWrite10(static_cast<uint32_t>(lba), static_cast<uint16_t>(n))
                      : cdbRead10(static_cast<uint32_t>(lba), static_cast<uint16_t>(n));
    uint32_t moved = 0;
    if (command(cdb, write ? Phase::Out : Phase::In, buf, bytes, &moved) != 0) return -1;
    if (moved != bytes) return fail("short transfer");
    lba += n;
    count -= n;
    buf += bytes;
  }
  return 0;
}

int BulkOnlyDisk::readBlocks(uint64_t lba, uint32_t count, uint8_t* out) {
  return blocksCommand(false, lba, count, out);
}

int BulkOnlyDisk::writeBlocks(uint64_t lba, uint32_t count, const uint8_t* data) {
  // The buffer is only read on the write path.
  return blocksCommand(true, lba, count, const_cast<uint8_t*>(data));
}

int BulkOnlyDisk::flush() { return command(cdbSynchronizeCache10(), Phase::None, nullptr, 0); }

int configureBulkOnly(UsbClient& client, DeviceRef device, BulkOnlyInterface& out,
                      std::string& error) {
  Bytes config;
  Status s;
  int rc = fetchConfigDescriptor(client, device, 0, config, s);
  if (rc < 0) {
    error = std::string("configuration descriptor: ") + clientErrorText(rc);
    return -1;
  }
  if (rc > 0) {
    error = "configuration descriptor refused: " + statusText(s);
    return -1;
  }
  if (!findBulkOnlyInterface(config, out)) {
    error = "no bulk-only mass-storage interface";
    return -1;
  }
  InterfaceSetting alternate{out.interfaceNumber, out.alternateSetting};
  std::span<const InterfaceSetting> settings(&alternate, out.alternateSetting != 0 ? 1 : 0);
  rc = client.setConfiguration(device, out.configValue, settings, s);
  if (rc < 0) {
    error = std::string("set configuration: ") + clientErrorText(rc);
    return -1;
  }
  if (!s.ok()) {
    error = "set configuration refused: " + statusText(s);
    return -1;
  }
  return 0;
}

}  // namespace usbclient

#include "sim/usb/sim_mass_storage.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t kCbwLength = 31;
constexpr size_t kCswLength = 13;
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"

constexpr uint8_t kSenseMediumError = 0x03;
constexpr uint8_t kSenseIllegalRequest = 0x05;
constexpr uint8_t kAscInvalidOpcode = 0x20;
constexpr uint8_t kAscLbaOutOfRange = 0x21;
constexpr uint8_t kAscInvalidFieldInCdb = 0x24;
constexpr uint8_t kAscWriteError = 0x0C;
constexpr uint8_t kAscReadError = 0x11;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
uint32_t be32(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void putBe32(std::vector<uint8_t>& out, uint32_t v) {
  out.insert(out.end(), {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                         static_cast<uint8_t>(v)});
}

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

std::vector<uint8_t> cut(std::vector<uint8_t> reply, size_t allocation) {
  if (reply.size() > allocation) reply.resize(allocation);
  return reply;
}

void putText(std::vector<uint8_t>& out, const char* text, size_t width) {
  const size_t n = std::strlen(text);
  for (size_t i = 0; i < width; ++i) out.push_back(i < n ? static_cast<uint8_t>(text[i]) : ' ');
}

SimDeviceDescription storageDescription(const SimModelOptions& options) {
  SimDeviceDescription d;
  d.bcdUsb = options.highSpeed ? 0x0200 : 0x0110;
  d.vendor = options.vendor.value_or(0x0781);
  d.product = options.product.value_or(0x5567);
  d.bcdDevice = 0x0100;
  if (options.strings) {
    d.manufacturerIndex = 1;
    d.productIndex = 2;
    d.serialIndex = 3;
    d.strings = {{1, "SimDisk"}, {2, "Sim Mass Storage"}, {3, "4C530001230815"}};
  }
  if (options.string0xEE) d.strings[0xEE] = "MSFT100";
  const uint16_t packet = options.highSpeed ? 512 : 64;
  SimConfiguration c;
  c.value = 1;
  c.maxPower = 100;
  SimAltSetting alt;
  alt.interfaceClass = 0x08;
  alt.interfaceSubClass = 0x06;
  alt.interfaceProtocol = 0x50;
  alt.endpoints = {{SimMassStorage::kBulkIn, 2, packet, 0}, {SimMassStorage::kBulkOut, 2, packet, 0}};
  c.alternates.push_back(alt);
  d.configurations.push_back(c);
  return d;
}

}  // namespace

SimMassStorage::SimMassStorage(const SimModelOptions& options, std::unique_ptr<SimDisk> disk)
    : description_(storageDescription(options)), disk_(std::move(disk)) {}

void SimMassStorage::resetRecovery() {
  stage_ = Stage::Command;
  stallBeforeStatus_ = false;
  reply_.clear();
  replyOffset_ = 0;
  ioRemaining_ = 0;
}

int SimMassStorage::control(const SimSetup& setup, std::span<uint8_t> data) {
  if (setup.requestType == 0xA1 && setup.request == 0xFE) {  // GET MAX LUN
    if (data.empty()) return -EPIPE;
    data[0] = 0;
    return 1;
  }
  if (setup.requestType == 0x21 && setup.request == 0xFF) {  // bulk-only mass storage reset
    resetRecovery();
    return 0;
  }
  return -EPIPE;
}

void SimMassStorage::haltCleared(uint8_t endpoint) {
  if (endpoint == kBulkIn) stallBeforeStatus_ = false;
}

int SimMassStorage::receive(uint8_t endpoint, std::span<const uint8_t> data) {
  if (endpoint != kBulkOut) return -EPIPE;
  switch (stage_) {
    case Stage::Command:
      if (data.size() != kCbwLength || le32(data.data()) != kCbwSignature || data[14] < 1 || data[14] > 16) {
        stage_ = Stage::NeedsReset;
        return -EPIPE;
      }
      startCommand(data);
      return 0;
    case Stage::DataOut: {
      if (data.size() > ioRemaining_) {  // more than the command moves: phase error
        status_ = 2;
        ioRemaining_ = 0;
        endDataStage();
        return -EPIPE;
      }
      if (!disk_->write(ioOffset_, data)) {
        sense_ = {kSenseMediumError, kAscWriteError, 0};
        status_ = 1;
      }
      ioOffset_ += data.size();
      ioRemaining_ -= data.size();
      transferred_ += static_cast<uint32_t>(data.size());
      if (ioRemaining_ == 0) endDataStage();
      return 0;
    }
    case Stage::DataIn:
    case Stage::Status:
    case Stage::NeedsReset:
      return -EPIPE;
  }
  return -EPIPE;
}

int SimMassStorage::send(uint8_t endpoint, std::span<uint8_t> buffer) {
  if (endpoint != kBulkIn) return -EPIPE;
  switch (stage_) {
    case Stage::Command:
      return -EAGAIN;
    case Stage::DataIn:
      return sendData(buffer);
    case Stage::Status:
      return sendStatus(buffer);
    case Stage::DataOut:
    case Stage::NeedsReset:
      return -EPIPE;
  }
  return -EPIPE;
}

int SimMassStorage::sendData(std::span<uint8_t> buffer) {
  size_t n = 0;
  if (ioRemaining_ > 0) {
    n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), ioRemaining_));
    if (!disk_->read(ioOffset_, buffer.first(n))) {
      sense_ = {kSenseMediumError, kAscReadError, 0};
      status_ = 1;
      ioRemaining_ = 0;
      n = 0;
    } else {
      ioOffset_ += n;
      ioRemaining_ -= n;
    }
  } else {
    n = std::min(buffer.size(), reply_.size() - replyOffset_);
    std::memcpy(buffer.data(), reply_.data() + replyOffset_, n);
    replyOffset_ += n;
  }
  transferred_ += static_cast<uint32_t>(n);
  if (ioRemaining_ == 0 && replyOffset_ >= reply_.size()) endDataStage();
  return static_cast<int>(n);
}

void SimMassStorage::endDataStage() {
  // The device ends a data stage shorter than the host expected by stalling
  // its IN pipe; the host clears the halt and then reads the status.
  if (hostIn_ && transferred_ < expected_) stallBeforeStatus_ = true;
  stage_ = Stage::Status;
}

int SimMassStorage::sendStatus(std::span<uint8_t> buffer) {
  if (stallBeforeStatus_) return -EPIPE;
  if (buffer.size() < kCswLength) return -EOVERFLOW;
  putLe32(buffer.data(), kCswSignature);
  putLe32(buffer.data() + 4, tag_);
  putLe32(buffer.data() + 8, expected_ - std::min(expected_, transferred_));
  buffer[12] = status_;
  stage_ = Stage::Command;
  return static_cast<int>(kCswLength);
}

void SimMassStorage::startCommand(std::span<const uint8_t> cbw) {
  tag_ = le32(cbw.data() + 4);
  expected_ = le32(cbw.data() + 8);
  hostIn_ = (cbw[12] & 0x80) != 0;
  transferred_ = 0;
  status_ = 0;
  stallBeforeStatus_ = false;
  reply_.clear();
  replyOffset_ = 0;
  ioRemaining_ = 0;

  Outcome outcome = execute(cbw.subspan(15, cbw[14]));
  if (outcome.failed) status_ = 1;
  const uint64_t deviceIn = outcome.reply.size() + outcome.readBytes;
  const uint64_t deviceOut = outcome.writeBytes;

  if (deviceIn > 0) {
    if (!hostIn_ || expected_ == 0 || deviceIn > expected_) {  // the host wants less or the other way
      status_ = 2;
      stallBeforeStatus_ = hostIn_ && expected_ > 0;
      stage_ = Stage::Status;
      return;
    }
    reply_ = std::move(outcome.reply);
    ioOffset_ = outcome.offset;
    ioRemaining_ = outcome.readBytes;
    stage_ = Stage::DataIn;
    return;
  }
  if (deviceOut > 0) {
    if (hostIn_ || deviceOut > expected_) {
      status_ = 2;
      stallBeforeStatus_ = hostIn_;
      stage_ = Stage::Status;
      return;
    }
    ioOffset_ = outcome.offset;
    ioRemaining_ = deviceOut;
    stage_ = Stage::DataOut;
    return;
  }
  // No data stage on the device's side: an IN host sees a stall before the
  // status, an OUT host's data stalls (Status stage refuses OUT data).
  stallBeforeStatus_ = hostIn_ && expected_ > 0;
  stage_ = Stage::Status;
}

SimMassStorage::Outcome SimMassStorage::checkCondition(uint8_t key, uint8_t asc) {
  sense_ = {key, asc, 0};
  Outcome outcome;
  outcome.failed = true;
  return outcome;
}

SimMassStorage::Outcome SimMassStorage::readWrite(std::span<const uint8_t> cdb, bool write) {
  if (cdb.size() < 10) return checkCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
  const uint64_t lba = be32(&cdb[2]);
  const uint64_t blocks = be16(&cdb[7]);
  if (lba + blocks > disk_->blockCount()) return checkCondition(kSenseIllegalRequest, kAscLbaOutOfRange);
  Outcome outcome;
  outcome.offset = lba * SimDisk::kBlockSize;
  (write ? outcome.writeBytes : outcome.readBytes) = blocks * SimDisk::kBlockSize;
  return outcome;
}

SimMassStorage::Outcome SimMassStorage::execute(std::span<const uint8_t> cdb) {
  Outcome outcome;
  const uint32_t lastBlock = static_cast<uint32_t>(std::max<uint64_t>(disk_->blockCount(), 1) - 1);
  switch (cdb[0]) {
    case 0x00:  // TEST UNIT READY
    case 0x1E:  // PREVENT ALLOW MEDIUM REMOVAL
      break;
    case 0x03: {  // REQUEST SENSE
      if (cdb.size() < 6) return checkCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
      std::vector<uint8_t> sense(18, 0);
      sense[0] = 0x70;
      sense[2] = sense_.key;
      sense[7] = 10;
      sense[12] = sense_.asc;
      sense[13] = sense_.ascq;
      sense_ = {};
      outcome.reply = cut(std::move(sense), cdb[4]);
      break;
    }
    case 0x12: {  // INQUIRY
      if (cdb.size() < 6) return checkCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
      if (cdb[1] & 0x01) return checkCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);  // no VPD pages
      std::vector<uint8_t> inquiry = {0x00, 0x80, 0x04, 0x02, 31, 0, 0, 0};
      putText(inquiry, "SimDisk", 8);
      putText(inquiry, "Sim Mass Storage", 16);
      putText(inquiry, "1.00", 4);
      outcome.reply = cut(std::move(inquiry), be16(&cdb[3]));
      break;
    }
    case 0x1A:  // MODE SENSE(6): header only, no block descriptors, not write-protected
      if (cdb.size() < 6) return checkCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
      outcome.reply = cut({3, 0, 0, 0}, cdb[4]);
      break;
    case 0x23: {  // READ FORMAT CAPACITIES
      if (cdb.size() < 9) return checkCondition(kSenseIllegalRequest, kAscInvalidFieldInCdb);
      std::vector<uint8_t> list = {0, 0, 0, 8};
      putBe32(list, lastBlock + 1);
      putBe32(list, 0x02000000 | SimDisk::kBlockSize);  // formatted media
      outcome.reply = cut(std::move(list), be16(&cdb[7]));
      break;
    }
    case 0x25: {  // READ CAPACITY(10)
      std::vector<uint8_t> capacity;
      putBe32(capacity, lastBlock);
      putBe32(capacity, SimDisk::kBlockSize);
      outcome.reply = std::move(capacity);
      break;
    }
    case 0x28:  // READ(10)
      return readWrite(cdb, false);
    case 0x2A:  // WRITE(10)
      return readWrite(cdb, true);
    case 0x35:  // SYNCHRONIZE CACHE(10)
      if (!disk_->flush()) return checkCondition(kSenseMediumError, kAscWriteError);
      break;
    default:
      return checkCondition(kSenseIllegalRequest, kAscInvalidOpcode);
  }
  return outcome;
}

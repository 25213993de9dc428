// A mass-storage device reached through the USB server: SCSI commands in
// bulk-only transport (command wrapper OUT, data, status wrapper IN), one
// command at a time. The command wrapper and the data phase are sent
// together, so a command costs two round trips rather than three.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tools/usbclient/block_device.h"
#include "tools/usbclient/descriptors.h"
#include "tools/usbclient/usb_client.h"

namespace usbclient {

class BulkOnlyDisk : public BlockDevice {
 public:
  enum class Phase { None, In, Out };

  // The client must have connected and configured the device.
  BulkOnlyDisk(UsbClient& client, DeviceRef device, const BulkOnlyInterface& interface,
               uint8_t lun = 0);

  // Waits for the unit to become ready (a fresh device first reports a unit
  // attention) and reads its capacity.
  int start();

  // One SCSI command. For Phase::In `data` receives up to `length` bytes and
  // `transferred` says how many came. -1 when the transport failed or the
  // device reported the command failed.
  int command(std::span<const uint8_t> cdb, Phase phase, uint8_t* data, uint32_t length,
              uint32_t* transferred = nullptr);

  // Largest data phase of one READ(10)/WRITE(10); larger requests are split.
  void setMaxTransfer(uint32_t bytes) { maxTransfer_ = bytes; }

  uint32_t blockSize() const override { return blockSize_; }
  uint64_t blockCount() const override { return blockCount_; }
  int readBlocks(uint64_t lba, uint32_t count, uint8_t* out) override;
  int writeBlocks(uint64_t lba, uint32_t count, const uint8_t* data) override;
  int flush() override;
  std::string lastError() const override { return lastError_; }

 private:
  int fail(std::string message);
  int transportFailure(int code);
  UrbRequest bulk(uint8_t endpoint, uint32_t length, bool in) const;
  int readStatus(uint32_t cbwTag, uint32_t pendingTag);
  int recover();
  int blocksCommand(bool write, uint64_t lba, uint32_t count, uint8_t* buf);

  UsbClient& client_;
  DeviceRef device_;
  BulkOnlyInterface interface_;
  uint8_t lun_;
  uint32_t nextTag_ = 1;
  uint32_t maxTransfer_ = 256 * 1024;
  uint32_t blockSize_ = 0;
  uint64_t blockCount_ = 0;
  std::string lastError_;
};

// For a device this client has connected: reads its first configuration,
// finds the bulk-only interface and selects that configuration. 0, -1 with
// a message in `error`.
int configureBulkOnly(UsbClient& client, DeviceRef device, BulkOnlyInterface& out,
                      std::string& error);

}  // namespace usbclient

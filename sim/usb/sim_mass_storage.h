#pragma once
// A bulk-only transport mass-storage device (interface 08/06/50, bulk IN
// 0x81, bulk OUT 0x02) with the SCSI commands hosts use for a simple disk.
// Each command is a CBW on bulk OUT, an optional data stage and a CSW on
// bulk IN. A transfer in the wrong direction for the current stage stalls
// its endpoint; an invalid CBW stalls both until a bulk-only reset.
#include <memory>
#include <vector>

#include "sim/usb/sim_disk.h"
#include "sim/usb/sim_model_options.h"
#include "sim/usb/sim_usb_model.h"

class SimMassStorage final : public SimUsbModel {
 public:
  static constexpr uint8_t kBulkIn = 0x81;
  static constexpr uint8_t kBulkOut = 0x02;

  SimMassStorage(const SimModelOptions& options, std::unique_ptr<SimDisk> disk);

  std::string name() const override { return "storage"; }
  const SimDeviceDescription& description() const override { return description_; }
  int control(const SimSetup& setup, std::span<uint8_t> data) override;
  int receive(uint8_t endpoint, std::span<const uint8_t> data) override;
  int send(uint8_t endpoint, std::span<uint8_t> buffer) override;
  void busReset() override { resetRecovery(); }
  void haltCleared(uint8_t endpoint) override;

 private:
  enum class Stage { Command, DataIn, DataOut, Status, NeedsReset };
  struct Sense {
    uint8_t key = 0, asc = 0, ascq = 0;
  };
  // What a SCSI command asks of the data stage.
  struct Outcome {
    std::vector<uint8_t> reply;  // data for the host (small replies)
    uint64_t readBytes = 0;      // READ: bytes streamed from the disk
    uint64_t writeBytes = 0;     // WRITE: bytes expected from the host
    uint64_t offset = 0;         // READ/WRITE: byte offset on the disk
    bool failed = false;         // CHECK CONDITION with sense_
  };

  void resetRecovery();
  void startCommand(std::span<const uint8_t> cbw);
  Outcome execute(std::span<const uint8_t> cdb);
  Outcome checkCondition(uint8_t key, uint8_t asc);
  Outcome readWrite(std::span<const uint8_t> cdb, bool write);
  int sendData(std::span<uint8_t> buffer);
  int sendStatus(std::span<uint8_t> buffer);
  void endDataStage();

  SimDeviceDescription description_;
  std::unique_ptr<SimDisk> disk_;
  Stage stage_ = Stage::Command;
  uint32_t tag_ = 0;
  uint32_t expected_ = 0;    // dCBWDataTransferLength
  uint32_t transferred_ = 0; // data-stage bytes moved so far
  bool hostIn_ = false;
  uint8_t status_ = 0;       // CSW status: 0 passed, 1 failed, 2 phase error
  bool stallBeforeStatus_ = false;
  std::vector<uint8_t> reply_;
  size_t replyOffset_ = 0;
  uint64_t ioOffset_ = 0;
  uint64_t ioRemaining_ = 0;
  bool ioWrite_ = false;
  Sense sense_;
};

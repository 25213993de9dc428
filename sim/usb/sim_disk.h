#pragma once
// The medium behind the simulated mass-storage device: 512-byte blocks kept
// in memory (allocated on first write, so a large disk costs only what was
// written) or in a file.
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

class SimDisk {
 public:
  static constexpr uint32_t kBlockSize = 512;

  virtual ~SimDisk() = default;
  virtual uint64_t blockCount() const = 0;
  // Reads or writes `data.size()` bytes at byte `offset`; false on an I/O error.
  virtual bool read(uint64_t offset, std::span<uint8_t> data) = 0;
  virtual bool write(uint64_t offset, std::span<const uint8_t> data) = 0;
  virtual bool flush() = 0;
};

class SimRamDisk final : public SimDisk {
 public:
  explicit SimRamDisk(uint64_t bytes);
  uint64_t blockCount() const override { return bytes_ / kBlockSize; }
  bool read(uint64_t offset, std::span<uint8_t> data) override;
  bool write(uint64_t offset, std::span<const uint8_t> data) override;
  bool flush() override { return true; }

 private:
  static constexpr uint64_t kChunk = 65536;
  uint64_t bytes_;
  std::map<uint64_t, std::vector<uint8_t>> chunks_;  // chunk number -> kChunk bytes
};

class SimFileDisk final : public SimDisk {
 public:
  // Opens (creating when missing) `path` and sizes it to `bytes` when it is
  // new or empty; an existing file keeps its size. Check ok() afterwards.
  SimFileDisk(const std::string& path, uint64_t bytes);
  ~SimFileDisk() override;
  SimFileDisk(const SimFileDisk&) = delete;
  SimFileDisk& operator=(const SimFileDisk&) = delete;

  bool ok() const { return fd_ >= 0; }
  uint64_t blockCount() const override { return bytes_ / kBlockSize; }
  bool read(uint64_t offset, std::span<uint8_t> data) override;
  bool write(uint64_t offset, std::span<const uint8_t> data) override;
  bool flush() override;

 private:
  int fd_ = -1;
  uint64_t bytes_ = 0;
};

#pragma once
// The one registry of all parameters: lookup by name and by family member,
// counting and listing, applying changes, and the parameter file.
#include <array>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "params/param.h"

class ParamEffects;

// Result bits of resetModified and applyAndSave.
enum ApplyResult : int {
  ApplySave = 0x01,         // a saved parameter changed: save the file
  ApplyBroadcast = 0x02,    // broadcast the parameters-changed message 0x4000
  ApplyRestart = 0x04,      // restart the process through a ShutDown task
  ApplyAnyChange = 0x80,    // something was modified (runtime-only included)
};

// Locking: the parameter array is built at start (add/addFamily, before
// any task runs) and never changes afterwards, so lookups run unlocked.
// saveMutex_ serialises save and factoryReset; it is taken before any
// parameter mutex (saving reads each parameter under its own mutex).
// resetModified takes each parameter's mutex in turn and then calls
// ParamEffects, never holding a parameter mutex across that call.
class ParamTable {
 public:
  static constexpr uint32_t kExact = 0x80000000;
  static constexpr size_t kMaxNameLength = 60;

  ParamTable() = default;
  ParamTable(const ParamTable&) = delete;
  ParamTable& operator=(const ParamTable&) = delete;
  ~ParamTable();

  // ---- building (start-up only) ----
  // Creates a parameter and keeps it in name order; see params/param.h.
  template <class P, class... Args>
  P* add(std::string name, Args&&... args) {
    auto owned = std::make_unique<P>(std::move(name), std::forward<Args>(args)...);
    P* raw = owned.get();
    insert(std::move(owned));
    return raw;
  }
  // Members prefix1 .. prefixN, all with the same construction arguments.
  template <class P, size_t N, class... Args>
  std::array<P*, N> addFamily(const std::string& prefix, const Args&... args) {
    std::array<P*, N> members{};
    for (size_t i = 0; i < N; ++i) members[i] = add<P>(prefix + std::to_string(i + 1), args...);
    return members;
  }
  void setEffects(ParamEffects* effects) { effects_ = effects; }
  // Number of physical USB ports (port power applies to 1..count).
  void setUsbPortCount(int count) { usbPortCount_ = count; }
  int usbPortCount() const { return usbPortCount_; }
  // The device-slot families (SlotIndexed) show only the slots 1..count of
  // the USB device table: members numbered above count become Hidden.
  void hideSlotsAbove(int count);

  // ---- lookup and listing ----
  // index kExact: the parameter named exactly name; any other index: the
  // family member name followed by the decimal number of index's low 16
  // bits. None for a name above 60 characters, index 0, or a hidden
  // parameter.
  Param* find(std::string_view name, uint32_t index = kExact) const;
  template <class P>
  P* findAs(std::string_view name, uint32_t index = kExact) const {
    return dynamic_cast<P*>(find(name, index));
  }
  // Parameters whose flags share no bit with mask | Hidden.
  int countVisible(uint32_t mask) const;
  // The n-th of those (from 0, in table order), or none.
  Param* nthVisible(int n, uint32_t mask) const;
  // The largest member number of a family (prefix compared ignoring case)
  // among parameters neither Hidden nor Internal; 0 when none.
  int highestIndex(std::string_view prefix) const;
  std::span<Param* const> getItems() const { return items_; }
  int size() const { return static_cast<int>(items_.size()); }

  // ---- applying ----
  // Clears every modified mark, applies the direct hardware effects and
  // returns ApplyResult bits.
  int resetModified();
  // resetModified, then save() on ApplySave.
  int applyAndSave();

  // ---- the parameter file ----
  // Paths are system paths (resolved with sysPath). Atomic: a temporary
  // file beside the target, synced and renamed; on any failure the old
  // file stays and the result is -1. With the SD card feature, autoSync on
  // and a usable card, the card copy is written too. 0 on success.
  int save(std::string_view path = "/etc/params.dat");
  // Applies every valid line; 1 when some set reported a change class.
  int read(std::FILE* file, bool fromUpload);
  // read from the file (0 when it cannot be opened), then the hidden-mode
  // user fix-up.
  int load(std::string_view path = "/etc/params.dat");
  // Takes the descriptor over (fd is -1 afterwards) and reads an uploaded
  // file; -1 for a bad descriptor.
  int loadFromDescriptor(int& fd);
  // Deletes the parameter file (with autoSync, moves the card copy to
  // params.bup); 1 when the file was deleted.
  int factoryReset();
  // The file's text for the current values (what save writes).
  std::string fileText() const;
  // Destroys every parameter (end of the process).
  void destroyAll();

 private:
  void insert(std::unique_ptr<Param> param);
  // Lookup that also sees hidden parameters, for the table's own rules.
  Param* findAny(std::string_view name) const;
  void applyHardware(const Param& p);
  void applyRelay(const Param& p);
  void applyDisplay(const Param& p);
  bool mirrorToCard() const;

  std::vector<Param*> items_;  // sorted by name, byte order
  std::vector<std::unique_ptr<Param>> owned_;
  ParamEffects* effects_ = nullptr;
  int usbPortCount_ = 0;
  std::mutex saveMutex_;
};

#pragma once
// Simulated VLAN devices for a kernel without 802.1Q support: the launcher
// or the test makes devices named like VLAN devices ("eth0.12", veths) in
// the appliance's namespace beforehand. Adding a VLAN brings its device up
// when it exists and fails when it does not; removing brings it down. Nothing
// is created, so nothing can leak out of the namespace.
#include <mutex>
#include <string>
#include <vector>

#include "core/unique_fd.h"
#include "net/vlan_driver.h"

class SimVlanDriver : public VlanDriver {
 public:
  SimVlanDriver();
  int add(const char* parent, int vlanId) override;
  int remove(const char* device) override;

  // The requests made so far, as "add eth0 12" / "remove eth0.12".
  std::vector<std::string> journal() const;

 private:
  int changeUp(const std::string& device, bool up);

  UniqueFd socket_;
  mutable std::mutex mutex_;  // guards journal_
  std::vector<std::string> journal_;
};

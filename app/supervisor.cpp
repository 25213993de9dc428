#include "app/supervisor.h"

#include "notify/relay_controller.h"

Supervisor::Supervisor(SupervisorPort& port, const SupervisorConfig& config, int64_t now)
    : port_(port), config_(config), lastSecondPass_(now), lastLinkMask_(config.goodLinkMask) {}

bool Supervisor::pass(int64_t now) {
  if (port_.taskCount() == 0) return false;
  const int64_t stopStamp = port_.stopStamp();
  if (stopStamp != 0 && now - stopStamp > kStopGraceTicks) return false;

  if (now - lastSecondPass_ >= kSecondPassTicks) {
    if (config_.cardReader) watchCard();
    secondPass();
    lastSecondPass_ = now;
  }
  if (port_.shutdowns() > 0 && !shutDownStarted_) {
    port_.startShutDown();
    shutDownStarted_ = true;
  }
  port_.restorePortPower();
  return true;
}

void Supervisor::watchCard() {
  bool present = false;
  if (!port_.readCardPresence(present)) return;
  if (present != lastCard_) {
    port_.cardChanged(present);
    lastCard_ = present;
  }
  port_.showCard(present);
}

void Supervisor::secondPass() {
  if (--loadCountdown_ <= 0) {
    const int poll = port_.cpuLoadPoll();
    if (poll != 0) port_.sampleLoad();
    loadCountdown_ = poll;
  }
  if (config_.watchWiredLink && config_.wiredChosen != port_.wiredLinkUp()) {
    // The process stops; the next start chooses the interface again.
    port_.requestStop();
  }
  if (++displayPasses_ % 2 == 0) port_.pollDisplay();

  const int mask = port_.wiredLinkMask();
  const bool good = mask == config_.goodLinkMask;
  if (mask != lastLinkMask_) {
    port_.linkChanged(mask, good);
    port_.relayEvent(mask == 0 ? RELAY_NETOFF : RELAY_NETON);
    lastLinkMask_ = mask;
  }
  if (!good && port_.beepOnLinkLoss()) port_.beep();

  uint32_t inputs = 0;
  if (port_.relayFollowsEvents() && port_.readPowerInputs(inputs) && inputs != lastPowerInputs_) {
    const uint32_t changed = inputs ^ lastPowerInputs_;
    if (changed & 1) port_.relayEvent(inputs & 1 ? RELAY_PWRON_1 : RELAY_PWROFF_1);
    if (changed & 2) port_.relayEvent(inputs & 2 ? RELAY_PWRON_2 : RELAY_PWROFF_2);
    lastPowerInputs_ = inputs;
  }
}

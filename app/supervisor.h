#pragma once
// The supervision of the running process: every 100 ms main calls pass(),
// which counts the tasks, ends the process when none is left or five
// seconds after a stop signal, and about once a second watches the wired
// link, the power inputs and the card-reader slot, samples the load and
// refreshes the status display. It also starts the one ShutDown task of main
// when a stop was requested.
//
// Everything it reads or does goes through SupervisorPort, so one pass is a
// plain function of the port's answers and the tick time.
#include <cstdint>

class SupervisorPort {
 public:
  virtual ~SupervisorPort() = default;
  virtual int taskCount() = 0;
  virtual int shutdowns() = 0;
  virtual int64_t stopStamp() = 0;  // 0: no stop signal
  // NetInterface::linkUp of eth0; the mask is 0 when it was not written
  virtual int wiredLinkMask() = 0;
  virtual bool wiredLinkUp() = 0;
  // driver requests 0x80040AAE and 0x80040AAF; false when refused
  virtual bool readPowerInputs(uint32_t& word) = 0;
  virtual bool readCardPresence(bool& present) = 0;
  // settings
  virtual int cpuLoadPoll() = 0;
  virtual bool beepOnLinkLoss() = 0;     // beepLnk
  virtual bool relayFollowsEvents() = 0;  // relay feature and relay_ctrl "eve"
  // actions
  virtual void sampleLoad() = 0;
  virtual void pollDisplay() = 0;
  virtual void linkChanged(int mask, bool good) = 0;  // event, display code, relay
  virtual void beep() = 0;
  virtual void relayEvent(uint32_t code) = 0;
  virtual void cardChanged(bool present) = 0;  // slot parameters
  virtual void showCard(bool present) = 0;      // LED 0
  virtual void requestStop() = 0;  // adds 1 to the stop requests
  virtual void startShutDown() = 0;
  virtual void restorePortPower() = 0;
};

struct SupervisorConfig {
  bool twoPhy = false;      // the display model: both PHYs make a good link
  int goodLinkMask = 0x10;  // the link mask of a healthy wired link
  bool cardReader = false;
  bool watchWiredLink = false;  // WLAN hardware with a wired link chosen or possible
  bool wiredChosen = true;
};

class Supervisor {
 public:
  static constexpr int64_t kStopGraceTicks = 499;
  static constexpr int64_t kSecondPassTicks = 101;

  Supervisor(SupervisorPort& port, const SupervisorConfig& config, int64_t now);

  // One 100 ms pass; false when the process should end.
  bool pass(int64_t now);

 private:
  void secondPass();
  void watchCard();

  SupervisorPort& port_;
  SupervisorConfig config_;
  int64_t lastSecondPass_;
  int loadCountdown_ = 0;
  int displayPasses_ = 0;
  int lastLinkMask_;
  uint32_t lastPowerInputs_ = 0;
  bool lastCard_ = false;
  bool shutDownStarted_ = false;
};

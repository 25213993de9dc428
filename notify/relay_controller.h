#pragma once
// The relay output as an event signal. In mode "fix" the parameter database
// drives the relay from relay_on; in mode "eve" chosen events switch it on
// until the event word relay_eves is cleared; in mode "stat" it follows the
// chosen link or USB port state. Producers call relayEvent beside posting
// their notification event.
//
// The relay switch is serialised by the device's own lock and the event word
// by its parameter's lock; the log's time stamps are single atomic words.
#include <atomic>
#include <cstdint>

class ParamTable;

enum RelayEventCode : uint32_t {
  RELAY_WARM = 1,
  RELAY_NETOFF = 2,
  RELAY_NETON = 4,
  RELAY_PWRON_1 = 16,
  RELAY_PWRON_2 = 32,
  RELAY_PWROFF_1 = 64,
  RELAY_PWROFF_2 = 128,
  RELAY_SDIN = 256,
  RELAY_SDOUT = 512,
  RELAY_SDERR = 1024,
  RELAY_UCON_1 = 0x1000,
  RELAY_UDIS_1 = 0x2000,
  RELAY_UACT_1 = 0x4000,
  RELAY_UDEA_1 = 0x8000,
  RELAY_UCON_2 = 0x10000,
  RELAY_UDIS_2 = 0x20000,
  RELAY_UACT_2 = 0x40000,
  RELAY_UDEA_2 = 0x80000,
};

// The output the controller switches (the GPIO device).
class RelaySwitch {
 public:
  virtual ~RelaySwitch() = default;
  virtual void setRelay(bool on) = 0;
};

// One record of the relay page's event log.
struct RelayLogRecord {
  uint32_t code;
  std::atomic<uint32_t> time;  // seconds of the last occurrence, 0: never
  const char* text;
};

class RelayController {
 public:
  static constexpr uint32_t kRelayFeature = 0x400000;

  RelayController(ParamTable& params, RelaySwitch& relay, uint32_t features);

  // The event word after the event; 0 without the relay feature or in mode "fix".
  uint32_t event(uint32_t code);

 private:
  enum class Decision { None, On, Off };
  Decision decideEvent(uint32_t code) const;
  Decision decideState(uint32_t code, uint32_t& word) const;
  bool choiceIs(const char* name, const char* keyword) const;
  bool portChoice(const char* name, bool portOne) const;

  ParamTable& params_;
  RelaySwitch& relay_;
  const bool present_;
};

// The 18 records in code order, ended by a record with code 0.
RelayLogRecord* relayEventLog();

// Producers' entry point: forwards to the installed controller (0 when none).
uint32_t relayEvent(uint32_t code);
void installRelayController(RelayController* controller);

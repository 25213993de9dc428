#include "notify/relay_controller.h"

#include <ctime>

#include "core/tick_clock.h"
#include "core/wall_clock.h"
#include "params/int_param.h"
#include "params/p3_list.h"
#include "params/param_table.h"

namespace {

RelayLogRecord logRecords[] = {
    {RELAY_WARM, 0, "Restart"},
    {RELAY_NETOFF, 0, "Network connection interrupted"},
    {RELAY_NETON, 0, "Network connection established"},
    {RELAY_PWRON_1, 0, "Power supply 1 established"},
    {RELAY_PWRON_2, 0, "Power supply 2 established"},
    {RELAY_PWROFF_1, 0, "Power supply 1 interrupted"},
    {RELAY_PWROFF_2, 0, "Power supply 2 interrupted"},
    {RELAY_SDIN, 0, "SD card connected"},
    {RELAY_SDOUT, 0, "SD card disconnected"},
    {RELAY_SDERR, 0, "SD card cannot be used"},
    {RELAY_UCON_1, 0, "USB device connected (port 1)"},
    {RELAY_UDIS_1, 0, "USB device disconnected (port 1)"},
    {RELAY_UACT_1, 0, "USB device activated (port 1)"},
    {RELAY_UDEA_1, 0, "USB device deactivated (port 1)"},
    {RELAY_UCON_2, 0, "USB device connected (port 2)"},
    {RELAY_UDIS_2, 0, "USB device disconnected (port 2)"},
    {RELAY_UACT_2, 0, "USB device activated (port 2)"},
    {RELAY_UDEA_2, 0, "USB device deactivated (port 2)"},
    {0, 0, nullptr},
};

std::atomic<RelayController*> installed{nullptr};

// Mode "eve": the parameter and keyword that make an event switch the relay on.
struct EventRule {
  uint32_t code;
  const char* param;
  const char* keyword;  // null: "any" or the port ("1" or "2")
  bool portOne;
};
constexpr EventRule kEventRules[] = {
    {RELAY_WARM, "relay_eve_start", "warm", false},
    {RELAY_NETOFF, "relay_eve_net", "netoff", false},
    {RELAY_NETON, "relay_eve_net", "neton", false},
    {RELAY_PWRON_1, "relay_eve_1pwr", "pwron", false},
    {RELAY_PWROFF_1, "relay_eve_1pwr", "pwroff", false},
    {RELAY_PWRON_2, "relay_eve_2pwr", "pwron", false},
    {RELAY_PWROFF_2, "relay_eve_2pwr", "pwroff", false},
    {RELAY_SDIN, "relay_eve_sd", "sdin", false},
    {RELAY_SDOUT, "relay_eve_sd", "sdout", false},
    {RELAY_SDERR, "relay_eve_sd", "sderr", false},
    {RELAY_UCON_1, "relay_eve_ucon", nullptr, true},
    {RELAY_UDIS_1, "relay_eve_udis", nullptr, true},
    {RELAY_UACT_1, "relay_eve_uact", nullptr, true},
    {RELAY_UDEA_1, "relay_eve_udea", nullptr, true},
    {RELAY_UCON_2, "relay_eve_ucon", nullptr, false},
    {RELAY_UDIS_2, "relay_eve_udis", nullptr, false},
    {RELAY_UACT_2, "relay_eve_uact", nullptr, false},
    {RELAY_UDEA_2, "relay_eve_udea", nullptr, false},
};

// Mode "stat": the USB states, each with its opposite.
struct StateRule {
  uint32_t code;
  uint32_t opposite;
  const char* onParam;
  const char* offParam;
  bool portOne;
};
constexpr StateRule kStateRules[] = {
    {RELAY_UCON_1, RELAY_UDIS_1, "relay_stat_ucon", "relay_stat_udis", true},
    {RELAY_UDIS_1, RELAY_UCON_1, "relay_stat_udis", "relay_stat_ucon", true},
    {RELAY_UACT_1, RELAY_UDEA_1, "relay_stat_uact", "relay_stat_udea", true},
    {RELAY_UDEA_1, RELAY_UACT_1, "relay_stat_udea", "relay_stat_uact", true},
    {RELAY_UCON_2, RELAY_UDIS_2, "relay_stat_ucon", "relay_stat_udis", false},
    {RELAY_UDIS_2, RELAY_UCON_2, "relay_stat_udis", "relay_stat_ucon", false},
    {RELAY_UACT_2, RELAY_UDEA_2, "relay_stat_uact", "relay_stat_udea", false},
    {RELAY_UDEA_2, RELAY_UACT_2, "relay_stat_udea", "relay_stat_uact", false},
};

void stamp(uint32_t code) {
  std::tm now{};
  uint32_t seconds;
  if (localTimeNow(now) && now.tm_year + 1900 > 2015) {
    seconds = static_cast<uint32_t>(wallNow());
  } else {
    seconds = static_cast<uint32_t>(ticks() / 100);
  }
  for (RelayLogRecord* r = logRecords; r->code; ++r) {
    if (r->code == code) r->time = seconds;
  }
}

}  // namespace

RelayLogRecord* relayEventLog() { return logRecords; }

RelayController::RelayController(ParamTable& params, RelaySwitch& relay, uint32_t features)
    : params_(params), relay_(relay), present_((features & kRelayFeature) != 0) {}

bool RelayController::choiceIs(const char* name, const char* keyword) const {
  const auto* choice = params_.findAs<P3List>(name);
  return choice && choice->is(keyword);
}

bool RelayController::portChoice(const char* name, bool portOne) const {
  return choiceIs(name, "any") || choiceIs(name, portOne ? "1" : "2");
}

RelayController::Decision RelayController::decideEvent(uint32_t code) const {
  for (const EventRule& rule : kEventRules) {
    if (rule.code != code) continue;
    const bool on = rule.keyword ? choiceIs(rule.param, rule.keyword)
                                 : portChoice(rule.param, rule.portOne);
    return on ? Decision::On : Decision::None;
  }
  return Decision::None;
}

RelayController::Decision RelayController::decideState(uint32_t code, uint32_t& word) const {
  if (code == RELAY_NETOFF || code == RELAY_NETON) {
    const bool down = code == RELAY_NETOFF;
    word &= ~(down ? RELAY_NETON : RELAY_NETOFF);
    if (choiceIs("relay_stat_net", down ? "netoff" : "neton")) return Decision::On;
    if (choiceIs("relay_stat_net", down ? "neton" : "netoff")) return Decision::Off;
    return Decision::None;
  }
  for (const StateRule& rule : kStateRules) {
    if (rule.code != code) continue;
    word &= ~rule.opposite;
    if (portChoice(rule.onParam, rule.portOne)) return Decision::On;
    if (portChoice(rule.offParam, rule.portOne)) return Decision::Off;
    return Decision::None;
  }
  return Decision::None;
}

uint32_t RelayController::event(uint32_t code) {
  if (!present_ || choiceIs("relay_ctrl", "fix")) return 0;
  auto* eventWord = params_.findAs<IntParam>("relay_eves");
  uint32_t word = eventWord ? static_cast<uint32_t>(eventWord->value()) : 0;
  Decision decision = Decision::None;
  if (choiceIs("relay_ctrl", "eve")) {
    decision = decideEvent(code);
  } else if (choiceIs("relay_ctrl", "stat")) {
    decision = decideState(code, word);
  }
  if (decision == Decision::None) return word;
  if (word & code) return word;
  relay_.setRelay(decision == Decision::On);
  word |= code;
  if (eventWord) eventWord->setValue(static_cast<int32_t>(word));
  stamp(code);
  return word;
}

uint32_t relayEvent(uint32_t code) {
  RelayController* controller = installed.load();
  return controller ? controller->event(code) : 0;
}

void installRelayController(RelayController* controller) { installed.store(controller); }

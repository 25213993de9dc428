#pragma once
// Named handles of the parameters: display, beeper, relay and SD card.
// The appliance's own outputs: the two-character status display and its
// error codes, the beeper, the relay with its event and state rules, and the
// SD card mirror.
// Each handle points at its parameter in the ParamTable that built it.
#include <array>

#include "params/int_param.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/string_param.h"

class ParamTable;

struct OutputParameters {
  explicit OutputParameters(ParamTable& table);

  // two-character code shown on the status display (shown at once when set)
  StringParam* const disp_def;
  // the active display codes, maintained by the status display
  StringParam* const disp_erVals;
  // show code E1 for a power supply failure
  OnOffParam* const disp_pwr;
  // show code E5 while the Ethernet link is down
  OnOffParam* const disp_lnk;
  // show codes E2, E3, E4 for SD card problems
  OnOffParam* const disp_sdc;
  // beep on power supply events
  OnOffParam* const beepPwr;
  // beep on link events
  OnOffParam* const beepLnk;
  // beep on SD card events
  OnOffParam* const beepSDc;
  // relay mode: "fix" follows `relay_on`, "eve" switches on events, "stat" follows states
  P3List* const relay_ctrl;
  // relay state in mode "fix"
  OnOffParam* const relay_on;
  // event word of the relay controller; cleared when the mode changes
  IntParam* const relay_eves;
  // mode "eve": switch on a restart
  P3List* const relay_eve_start;
  // mode "eve": switch when the link is interrupted or established
  P3List* const relay_eve_net;
  // mode "eve": switch when power supply 1 is interrupted or established
  P3List* const relay_eve_1pwr;
  // mode "eve": switch when power supply 2 is interrupted or established
  P3List* const relay_eve_2pwr;
  // mode "eve": switch on an SD card event
  P3List* const relay_eve_sd;
  // mode "eve": switch on a USB event of this kind on the chosen port
  P3List* const relay_eve_ucon;
  // mode "eve": as `relay_eve_ucon`, another USB event kind
  P3List* const relay_eve_udis;
  // mode "eve": as `relay_eve_ucon`, another USB event kind
  P3List* const relay_eve_uact;
  // mode "eve": as `relay_eve_ucon`, another USB event kind
  P3List* const relay_eve_udea;
  // mode "stat": hold the relay while the link is in the chosen state
  P3List* const relay_stat_net;
  // mode "stat": hold the relay while the chosen port is in this USB state
  P3List* const relay_stat_ucon;
  // mode "stat": as `relay_stat_ucon`, another USB state
  P3List* const relay_stat_udis;
  // mode "stat": as `relay_stat_ucon`, another USB state
  P3List* const relay_stat_uact;
  // mode "stat": as `relay_stat_ucon`, another USB state
  P3List* const relay_stat_udea;
  // keep the parameter file and the certificates mirrored on the SD card
  OnOffParam* const autoSync;
};

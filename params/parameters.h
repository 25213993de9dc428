#pragma once
// Every parameter of the system, reached through its named handle:
//
//   parameters().wyk_port->value()
//   parameters().wyk_sec_[port - 1]->isOn()     // families: member n at n - 1
//
// Building a Parameters object creates all 786 parameters, at their
// defaults, in the table it is given; the table owns them. Production uses
// the one process-wide table below; tests build their own.
#include "params/parameters_mail.h"
#include "params/parameters_network.h"
#include "params/parameters_outputs.h"
#include "params/parameters_system.h"
#include "params/parameters_time.h"
#include "params/parameters_usb.h"
#include "params/parameters_wlan.h"

class ParamTable;

struct Parameters : SystemParameters,
                    NetworkParameters,
                    WlanParameters,
                    TimeParameters,
                    MailParameters,
                    UsbParameters,
                    OutputParameters {
  explicit Parameters(ParamTable& table);
};

// The process-wide parameter table and its handles, built together on first
// use; main uses them before any task starts.
ParamTable& paramTable();
const Parameters& parameters();

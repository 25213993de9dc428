#include "params/parameters.h"

#include "params/param_table.h"

Parameters::Parameters(ParamTable& table)
    : SystemParameters(table),
      NetworkParameters(table),
      WlanParameters(table),
      TimeParameters(table),
      MailParameters(table),
      UsbParameters(table),
      OutputParameters(table) {}

namespace {

struct Registry {
  ParamTable table;
  Parameters handles{table};
};

Registry& registry() {
  static Registry instance;
  return instance;
}

}  // namespace

ParamTable& paramTable() { return registry().table; }

const Parameters& parameters() { return registry().handles; }

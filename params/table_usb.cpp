// The parameters: USB ports and device slots.
// One row per parameter or numbered family: name, default, limits or choice
// table, flag word. The table keeps them in byte order of their names, so
// the order here is free.
#include "params/parameters_usb.h"

#include "params/param_table.h"
#include "params/product.h"

namespace {

constexpr Choice accessControlChoices[] = {
    {"---", "---", ""},
    {"key", "port key control", ""},
    {"ids", "device assignment", ""},
    {"keyids", "port key control/device assignment", ""},
};

}  // namespace

UsbParameters::UsbParameters(ParamTable& t)
    : wyk_port(t.add<IntParam>("wyk_port", 9200, 1, 65535, Reconfigure)),
      wyk_sslport(t.add<IntParam>("wyk_sslport", 9443, 1, 65535, Reconfigure)),
      wyk_heartbeat(t.add<IntParam>("wyk_heartbeat", 180, 0, 1800, Reconfigure)),
      wyk_hid(t.add<OnOffParam>("wyk_hid", true, Live)),
      wyk_sec_(t.addFamily<OnOffParam, 20>("wyk_sec_", false, Live | PortIndexed)),
      wyk_tag_(t.addFamily<StringParam, 20>("wyk_tag_", "", 0, 32, Live | PortIndexed)),
      wyk_prereset_(t.addFamily<OnOffParam, 20>("wyk_prereset_", false, Live | PortIndexed)),
      wyk_accctrl_(t.addFamily<P3List, 20>("wyk_accctrl_", "---", accessControlChoices, Live | Translated | PortIndexed | FeatureAccessControl)),
      wyk_keyval_(t.addFamily<StringParam, 20>("wyk_keyval_", "", 0, 65, Live | Masked | PortIndexed | FeatureAccessControl)),
      wyk_vendprodIDs_(t.addFamily<StringParam, 20>("wyk_vendprodIDs_", "", 0, 161, Live | PortIndexed | FeatureAccessControl)),
      wyk_2vlan_(t.addFamily<IntParam, 20>("wyk_2vlan_", 0, 0, 21, Live | PortIndexed | FeatureAccessControl)),
      wyk_comp_(t.addFamily<OnOffParam, 20>("wyk_comp_", true, Live | PortIndexed | FeatureCompression)),
      wyk_poff_(t.addFamily<OnOffParam, 20>("wyk_poff_", false, Live | PortIndexed | FeaturePortPower)),
      wyk_poffdura_(t.addFamily<IntParam, 20>("wyk_poffdura_", 0, 0, 100, Live | PortIndexed | FeaturePortPower)),
      usb_slot_(t.addFamily<IntParam, 40>("usb_slot_", 0, 0, 20, ReadOnly | RuntimeOnly | SlotIndexed)),
      usb_manu_(t.addFamily<StringParam, 40>("usb_manu_", "-", 0, 64, ReadOnly | RuntimeOnly | SlotIndexed)),
      usb_prod_(t.addFamily<StringParam, 40>("usb_prod_", "-", 0, 64, ReadOnly | RuntimeOnly | SlotIndexed)),
      usb_sern_(t.addFamily<StringParam, 40>("usb_sern_", "-", 0, 64, ReadOnly | RuntimeOnly | SlotIndexed)),
      usb_vendid_(t.addFamily<StringParam, 40>("usb_vendid_", "", 0, 7, ReadOnly | RuntimeOnly | SlotIndexed)),
      usb_prodid_(t.addFamily<StringParam, 40>("usb_prodid_", "", 0, 7, ReadOnly | RuntimeOnly | SlotIndexed)),
      usb_owner_(t.addFamily<StringParam, 40>("usb_owner_", "-", 0, 64, ReadOnly | RuntimeOnly | SlotIndexed)) {}

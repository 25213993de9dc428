// The parameters: display, beeper, relay and SD card.
// One row per parameter or numbered family: name, default, limits or choice
// table, flag word. The table keeps them in byte order of their names, so
// the order here is free.
#include "params/parameters_outputs.h"

#include "params/param_table.h"
#include "params/product.h"

namespace {

constexpr Choice relayCtrlChoices[] = {
    {"fix", "fixed", ""},
    {"eve", "event", ""},
    {"stat", "state", ""},
};

constexpr Choice relayStartChoices[] = {
    {"off", "---", ""},
    {"warm", "restarts", ""},
};

constexpr Choice relayNetChoices[] = {
    {"off", "---", ""},
    {"netoff", "interrupted", ""},
    {"neton", "established", ""},
};

constexpr Choice relayPowerChoices[] = {
    {"off", "---", ""},
    {"pwroff", "interrupted", ""},
    {"pwron", "established", ""},
};

constexpr Choice relaySdChoices[] = {
    {"off", "---", ""},
    {"sdin", "is connected", ""},
    {"sdout", "is disconnected", ""},
    {"sderr", "cannot be used", ""},
};

constexpr Choice relayUsbChoices[] = {
    {"off", "---", ""},
    {"any", "any USB port", ""},
    {"1", "USB port 1", ""},
    {"2", "USB port 2", ""},
};

// Its "off" entry shows two dashes, unlike the other relay tables.
constexpr Choice relayUsbDeadChoices[] = {
    {"off", "--", ""},
    {"any", "any USB port", ""},
    {"1", "USB port 1", ""},
    {"2", "USB port 2", ""},
};

}  // namespace

OutputParameters::OutputParameters(ParamTable& t)
    : disp_def(t.add<StringParam>("disp_def", "DS", 2, 2, Live | FeatureDisplay, isDisplayCode)),
      disp_erVals(t.add<StringParam>("disp_erVals", "", 0, 64, ReadOnly | RuntimeOnly | FeatureDisplay)),
      disp_pwr(t.add<OnOffParam>("disp_pwr", true, Live | FeatureDisplay | FeatureLinkPower)),
      disp_lnk(t.add<OnOffParam>("disp_lnk", true, Live | FeatureDisplay | FeatureLinkPower)),
      disp_sdc(t.add<OnOffParam>("disp_sdc", true, Live | FeatureDisplay | FeatureSdCard)),
      beepPwr(t.add<OnOffParam>("beepPwr", false, Live | FeatureBeeper)),
      beepLnk(t.add<OnOffParam>("beepLnk", false, Live | FeatureBeeper)),
      beepSDc(t.add<OnOffParam>("beepSDc", false, Live | FeatureBeeper | FeatureSdCard)),
      relay_ctrl(t.add<P3List>("relay_ctrl", "fix", relayCtrlChoices, Live | FeatureRelay)),
      relay_on(t.add<OnOffParam>("relay_on", false, Live | FeatureRelay)),
      relay_eves(t.add<IntParam>("relay_eves", 0, Live | ReadOnly | RuntimeOnly | FeatureRelay)),
      relay_eve_start(t.add<P3List>("relay_eve_start", "off", relayStartChoices, Live | Translated | FeatureRelay)),
      relay_eve_net(t.add<P3List>("relay_eve_net", "off", relayNetChoices, Live | Translated | FeatureRelay)),
      relay_eve_1pwr(t.add<P3List>("relay_eve_1pwr", "off", relayPowerChoices, Live | Translated | FeatureRelay)),
      relay_eve_2pwr(t.add<P3List>("relay_eve_2pwr", "off", relayPowerChoices, Live | Translated | FeatureRelay)),
      relay_eve_sd(t.add<P3List>("relay_eve_sd", "off", relaySdChoices, Live | Translated | FeatureRelay)),
      relay_eve_ucon(t.add<P3List>("relay_eve_ucon", "off", relayUsbChoices, Live | Translated | FeatureRelay)),
      relay_eve_udis(t.add<P3List>("relay_eve_udis", "off", relayUsbChoices, Live | Translated | FeatureRelay)),
      relay_eve_uact(t.add<P3List>("relay_eve_uact", "off", relayUsbChoices, Live | Translated | FeatureRelay)),
      relay_eve_udea(t.add<P3List>("relay_eve_udea", "off", relayUsbDeadChoices, Live | Translated | FeatureRelay)),
      relay_stat_net(t.add<P3List>("relay_stat_net", "off", relayNetChoices, Live | Translated | FeatureRelay)),
      relay_stat_ucon(t.add<P3List>("relay_stat_ucon", "off", relayUsbChoices, Live | Translated | FeatureRelay)),
      relay_stat_udis(t.add<P3List>("relay_stat_udis", "off", relayUsbChoices, Live | Translated | FeatureRelay)),
      relay_stat_uact(t.add<P3List>("relay_stat_uact", "off", relayUsbChoices, Live | Translated | FeatureRelay)),
      relay_stat_udea(t.add<P3List>("relay_stat_udea", "off", relayUsbDeadChoices, Live | Translated | FeatureRelay)),
      autoSync(t.add<OnOffParam>("autoSync", true, Live | FeatureSdCard)) {}

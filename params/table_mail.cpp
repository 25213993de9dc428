// The parameters: mail, notification and traps.
// One row per parameter or numbered family: name, default, limits or choice
// table, flag word. The table keeps them in byte order of their names, so
// the order here is free.
#include "params/parameters_mail.h"

#include "params/param_table.h"
#include "params/product.h"

namespace {

// A flag word with neither Live nor Reconfigure asks for a restart.
constexpr uint32_t Restart = 0;

constexpr Choice weekdayChoices[] = {
    {"al", "Daily", ""},
    {"mo", "Monday", ""},
    {"tu", "Tuesday", ""},
    {"we", "Wednesday", ""},
    {"th", "Thursday", ""},
    {"fr", "Friday", ""},
    {"sa", "Saturday", ""},
    {"su", "Sunday", ""},
};

}  // namespace

MailParameters::MailParameters(ParamTable& t)
    : smtp_srv(t.add<StringParam>("smtp_srv", "", 0, 128, Live | FeatureMail)),
      smtp_port(t.add<IntParam>("smtp_port", 25, 1, 65535, Live | FeatureMail)),
      smtp_ssl(t.add<OnOffParam>("smtp_ssl", false, Live | FeatureMail)),
      smtp_auth(t.add<OnOffParam>("smtp_auth", false, Restart | FeatureMail)),
      smtp_usr(t.add<StringParam>("smtp_usr", "", 0, 128, Live | FeatureMail)),
      smtp_pwd(t.add<StringParam>("smtp_pwd", "", 0, 128, Live | Masked | FeatureMail)),
      smtp_sender(t.add<StringParam>("smtp_sender", "", 0, 128, Live | FeatureMail)),
      smtp_sign(t.add<OnOffParam>("smtp_sign", false, Live | FeatureMail)),
      smtp_encrypt(t.add<OnOffParam>("smtp_encrypt", false, Live | FeatureMail)),
      smtp_attpkey(t.add<OnOffParam>("smtp_attpkey", true, Live | FeatureMail)),
      pop3(t.add<OnOffParam>("pop3", false, Live | FeatureMail)),
      pop3_srv(t.add<StringParam>("pop3_srv", "", 0, 128, Live | FeatureMail)),
      pop3_port(t.add<IntParam>("pop3_port", 110, 1, 65535, Live | FeatureMail)),
      pop3_sec(t.add<IntParam>("pop3_sec", 0, 0, 2, Live | FeatureMail)),
      pop3_usr(t.add<StringParam>("pop3_usr", "", 0, 128, Live | FeatureMail)),
      pop3_pwd(t.add<StringParam>("pop3_pwd", "", 0, 128, Live | Masked | FeatureMail)),
      pop3_poll(t.add<IntParam>("pop3_poll", 2, 1, 10080, Live | FeatureMail)),
      pop3_limit(t.add<IntParam>("pop3_limit", 4096, 1, 4096, Live | FeatureMail)),
      mailto_(t.addFamily<StringParam, 2>("mailto_", "", 0, 64, Reconfigure | FeatureMail)),
      noti_dev_(t.addFamily<OnOffParam, 2>("noti_dev_", false, Reconfigure | FeatureMail)),
      noti_act_(t.addFamily<OnOffParam, 2>("noti_act_", false, Reconfigure | FeatureMail)),
      noti_pwr_(t.addFamily<OnOffParam, 2>("noti_pwr_", false, Reconfigure | FeatureMail | FeatureLinkPower)),
      noti_lnk_(t.addFamily<OnOffParam, 2>("noti_lnk_", false, Reconfigure | FeatureMail | FeatureLinkPower)),
      noti_sdinout_(t.addFamily<OnOffParam, 2>("noti_sdinout_", false, Reconfigure | FeatureMail | FeatureSdCard)),
      noti_sdunusable_(t.addFamily<OnOffParam, 2>("noti_sdunusable_", false, Reconfigure | FeatureMail | FeatureSdCard)),
      noti_stat_(t.addFamily<OnOffParam, 2>("noti_stat_", false, Reconfigure | FeatureMail)),
      noti_pup_(t.addFamily<OnOffParam, 2>("noti_pup_", false, Reconfigure | FeatureMail)),
      notistat_d(t.add<P3List>("notistat_d", "al", weekdayChoices, Reconfigure | Translated | FeatureMail)),
      notistat_h(t.add<IntParam>("notistat_h", 0, 0, 23, Reconfigure | FeatureMail)),
      notistat_tm(t.add<IntParam>("notistat_tm", 0, 0, 5, Reconfigure | FeatureMail)),
      trapto_(t.addFamily<Ip4Address, 2>("trapto_", "0.0.0.0", Reconfigure | FeatureMail)),
      trapcommu_(t.addFamily<StringParam, 2>("trapcommu_", "tolmex", 0, 64, Reconfigure | FeatureMail)),
      trapdev(t.add<OnOffParam>("trapdev", false, Live | FeatureMail)),
      trapact(t.add<OnOffParam>("trapact", false, Reconfigure | FeatureMail)),
      trap_pwr(t.add<OnOffParam>("trap_pwr", false, Reconfigure | FeatureMail | FeatureLinkPower)),
      trap_lnk(t.add<OnOffParam>("trap_lnk", false, Reconfigure | FeatureMail | FeatureLinkPower)),
      trap_sdinout(t.add<OnOffParam>("trap_sdinout", false, Reconfigure | FeatureMail | FeatureSdCard)),
      trap_sdunusable(t.add<OnOffParam>("trap_sdunusable", false, Reconfigure | FeatureMail | FeatureSdCard)),
      trappup(t.add<OnOffParam>("trappup", false, Reconfigure | FeatureMail)) {}

// The parameters: system, users and web access.
// One row per parameter or numbered family: name, default, limits or choice
// table, flag word. The table keeps them in byte order of their names, so
// the order here is free.
#include "params/parameters_system.h"

#include "params/param_table.h"
#include "params/product.h"

namespace {

constexpr Choice hashChoices[] = {
    {"md5", "MD5", ""},
    {"sha", "SHA", ""},
};

constexpr Choice cipherChoices[] = {
    {"---", "---", ""},
    {"aes", "AES", ""},
    {"des", "DES", ""},
};

constexpr Choice rightsChoices[] = {
    {"---", "---", ""},
    {"readonly", "Read-only", ""},
    {"readwrite", "Read and write", ""},
};

constexpr Choice sslMethodChoices[] = {
    {"any", "Any", ""},
    {"tls10", "TLS 1.0", ""},
    {"tls11", "TLS 1.1", ""},
    {"tls12", "TLS 1.2", ""},
};

// The third column names the locale. Languages that have no display name of
// their own show "(none)", never an empty or missing text.
constexpr Choice languageChoices[] = {
    {"en", "English", "en_EN.UTF-8"},
    {"de", "Deutsch", "de_DE.UTF-8"},
    {"fr", "(none)", "fr_FR.UTF-8"},
    {"es", "(none)", "es_ES.UTF-8"},
    {"it", "Italiano", "it_IT.UTF-8"},
    {"pt", "(none)", "pt_PT.UTF-8"},
    {"jp", "(none)", "jp_JP.UTF-8"},
    {"cn", "(none)", "cn_CN.UTF-8"},
    {"zh", "(none)", "zh_ZH.UTF-8"},
    {"kr", "(none)", "kr_KR.UTF-8"},
};

}  // namespace

SystemParameters::SystemParameters(ParamTable& t)
    : admin_name(t.add<StringParam>("admin_name", "Admin", 0, 64, Reconfigure)),
      admin_pwd(t.add<StringParam>("admin_pwd", "", 8, 64, Reconfigure | Masked)),
      admin_hash(t.add<P3List>("admin_hash", "md5", hashChoices, Reconfigure)),
      admin_cipher(t.add<P3List>("admin_cipher", "---", cipherChoices, Reconfigure)),
      admin_passphrase(t.add<StringParam>("admin_passphrase", "", 0, 64, Reconfigure | Masked)),
      admin_rights(t.add<P3List>("admin_rights", "readwrite", rightsChoices, Reconfigure | Translated)),
      any_name(t.add<StringParam>("any_name", "User", 0, 64, Reconfigure)),
      any_pwd(t.add<StringParam>("any_pwd", "", 8, 64, Reconfigure | Masked)),
      any_hash(t.add<P3List>("any_hash", "md5", hashChoices, Reconfigure)),
      any_cipher(t.add<P3List>("any_cipher", "---", cipherChoices, Reconfigure)),
      any_passphrase(t.add<StringParam>("any_passphrase", "", 0, 64, Reconfigure | Masked)),
      any_rights(t.add<P3List>("any_rights", "readonly", rightsChoices, Reconfigure | Translated)),
      sessKeys(t.add<OnOffParam>("sessKeys", false, Live)),
      sessKeyTimer(t.add<OnOffParam>("sessKeyTimer", true, Live)),
      sessKeyTimeout(t.add<IntParam>("sessKeyTimeout", 600, 120, 3600, Live)),
      sessKeyUList(t.add<OnOffParam>("sessKeyUList", true, Live)),
      security(t.add<IntParam>("security", 4, 1, 4, Live)),
      sslmethod(t.add<P3List>("sslmethod", "any", sslMethodChoices, Live | Translated)),
      http_allowed(t.add<OnOffParam>("http_allowed", true, Live)),
      language(t.add<P3List>("language", "en", languageChoices, Live | Internal)),
      life(t.add<IntParam>("life", 0, Live | ReadOnly)),
      debugflags(t.add<IntParam>("debugflags", 8404997, Live | Internal)),
      cpuLoadPoll(t.add<IntParam>("cpuLoadPoll", 1, 0, 3600, Live | Internal)),
      dailyrestart(t.add<IntParam>("dailyrestart", 24, 0, 24, Live | Internal)),
      tcp_maxseg(t.add<IntParam>("tcp_maxseg", 0, 0, 1500, Live | Internal)),
      button_cnt(t.add<IntParam>("button_cnt", 0, ReadOnly | RuntimeOnly)),
      sw_features(t.add<IntParam>("sw_features", 0, ReadOnly | RuntimeOnly)),
      wykPortNumber(t.add<IntParam>("wykPortNumber", 5, Live | ReadOnly)) {}

#pragma once
// Named handles of the parameters: mail, notification and traps.
// The mail client (SMTP for sending, POP3 for mail commands), the event and
// status mails to two recipients and the SNMP traps to two destinations;
// only on products with the mail-and-traps feature.
// Each handle points at its parameter in the ParamTable that built it.
#include <array>

#include "params/int_param.h"
#include "params/ip4_address.h"
#include "params/on_off_param.h"
#include "params/p3_list.h"
#include "params/string_param.h"

class ParamTable;

struct MailParameters {
  explicit MailParameters(ParamTable& table);

  // SMTP server (host name or address)
  StringParam* const smtp_srv;
  // SMTP server port
  IntParam* const smtp_port;
  // STARTTLS on the SMTP connection
  OnOffParam* const smtp_ssl;
  // SMTP authentication (AUTH LOGIN)
  OnOffParam* const smtp_auth;
  // SMTP user name (when empty the POP3 account is used)
  StringParam* const smtp_usr;
  // SMTP password
  StringParam* const smtp_pwd;
  // sender of the appliance's mails
  StringParam* const smtp_sender;
  // sign outgoing mails (S/MIME)
  OnOffParam* const smtp_sign;
  // encrypt outgoing mails (S/MIME)
  OnOffParam* const smtp_encrypt;
  // attach the appliance's certificate to signed mails
  OnOffParam* const smtp_attpkey;
  // receive mail commands by POP3
  OnOffParam* const pop3;
  // POP3 server (host name or address)
  StringParam* const pop3_srv;
  // POP3 server port
  IntParam* const pop3_port;
  // POP3 security: 0 plain USER/PASS, 1 APOP, 2 TLS from the start
  IntParam* const pop3_sec;
  // POP3 user name
  StringParam* const pop3_usr;
  // POP3 password
  StringParam* const pop3_pwd;
  // minutes between two POP3 polls
  IntParam* const pop3_poll;
  // mails larger than this many kilobytes are ignored
  IntParam* const pop3_limit;
  // recipient n of event and status mails
  std::array<StringParam*, 2> const mailto_;
  // mail recipient n on USB devices attached or detached
  std::array<OnOffParam*, 2> const noti_dev_;
  // mail recipient n on USB devices connected or disconnected by a client
  std::array<OnOffParam*, 2> const noti_act_;
  // mail recipient n on power supply events
  std::array<OnOffParam*, 2> const noti_pwr_;
  // mail recipient n on network link events
  std::array<OnOffParam*, 2> const noti_lnk_;
  // mail recipient n on SD card inserted or removed
  std::array<OnOffParam*, 2> const noti_sdinout_;
  // mail recipient n on SD card missing or unusable
  std::array<OnOffParam*, 2> const noti_sdunusable_;
  // mail recipient n receives the status mail
  std::array<OnOffParam*, 2> const noti_stat_;
  // mail recipient n on restarts
  std::array<OnOffParam*, 2> const noti_pup_;
  // day of the scheduled status mail ("al" = every day)
  P3List* const notistat_d;
  // hour of the scheduled status mail
  IntParam* const notistat_h;
  // tens of minutes of the scheduled status mail
  IntParam* const notistat_tm;
  // trap destination n (IPv4 address)
  std::array<Ip4Address*, 2> const trapto_;
  // community of trap destination n
  std::array<StringParam*, 2> const trapcommu_;
  // trap on USB devices attached or detached
  OnOffParam* const trapdev;
  // trap on USB devices connected or disconnected
  OnOffParam* const trapact;
  // trap on power supply events
  OnOffParam* const trap_pwr;
  // trap on network link events
  OnOffParam* const trap_lnk;
  // trap on SD card inserted or removed
  OnOffParam* const trap_sdinout;
  // trap on SD card missing or unusable
  OnOffParam* const trap_sdunusable;
  // trap (cold or warm start) on restarts
  OnOffParam* const trappup;
};

#pragma once
// The SD card's copy of the flash files that the certificate files keep up
// to date. The card backs up the flash when the product has the SD card
// feature, autoSync is on and the card is usable, as the SD card service
// reports it through the parameter effects (absent while there is none).
//
// Stateless: the settings and the card state are read at each call.
#include <string>

#include "maint/cert_files.h"

class ParamEffects;
class ParamTable;

class SlotCardMirror : public CardMirror {
 public:
  SlotCardMirror(ParamTable& params, ParamEffects& card) : params_(params), card_(card) {}

  bool backsUpFlash() override;
  // Copies /flash/<name> to /var/slot1/<name> (a link is followed) when the
  // card backs up the flash; 1 when copied.
  int mirrorToCard(const std::string& flashPath) override;

 private:
  ParamTable& params_;
  ParamEffects& card_;
};

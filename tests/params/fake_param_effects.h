#pragma once
// ParamEffects that records every call in a journal and answers the state
// questions from fields the test sets.
#include <cstdio>
#include <string>
#include <vector>

#include "params/param_effects.h"

class FakeParamEffects : public ParamEffects {
 public:
  bool display = true;
  int state = 0;
  int linkMask = 17;
  int cardState = 3;
  std::vector<std::string> journal;

  void setPortPower(int port0, bool powered) override {
    journal.push_back("power " + std::to_string(port0) + (powered ? " on" : " off"));
  }
  void setRelay(bool on) override { journal.push_back(on ? "relay on" : "relay off"); }
  bool hasDisplay() override { return display; }
  void displayShow(char first, char second, int flags) override {
    char text[32];
    std::snprintf(text, sizeof text, "show %c%c 0x%x", first, second, flags);
    journal.push_back(text);
  }
  int displayState() override { return state; }
  int wiredLinkMask() override { return linkMask; }
  int sdCardState() override { return cardState; }
  void writeDeviceLog(const std::string& dir) override { journal.push_back("device log " + dir); }
  void syncFs() override { journal.push_back("sync"); }
};

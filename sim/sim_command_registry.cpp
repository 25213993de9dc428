#include "sim/sim_command_registry.h"

bool SimCommandRegistry::add(const std::string& word, SimCommandHandler handler) {
  if (word.empty() || word.find_first_of(" \t\r\n") != std::string::npos || !handler) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  return handlers_.emplace(word, std::move(handler)).second;
}

std::vector<std::string> SimCommandRegistry::split(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.emplace_back(line.substr(start, i - start));
  }
  return words;
}

SimReply SimCommandRegistry::run(std::string_view line) const {
  std::vector<std::string> words = split(line);
  if (words.empty()) return SimReply::failure("empty command");
  SimCommandHandler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handlers_.find(words.front());
    if (it == handlers_.end()) return SimReply::failure("unknown command: " + words.front());
    handler = it->second;
  }
  words.erase(words.begin());
  return handler(words);
}

#pragma once
// The command words of the simulation control socket. Each simulation
// registers its own word ("usb", "gpio", "button", ...) with a handler that
// receives the words after it; the control socket only splits lines and
// looks the first word up here. Handlers run on the control socket's thread.
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

struct SimReply {
  bool ok = true;
  std::string text;  // lines separated by '\n'; empty lines are not sent

  static SimReply success(std::string text = {}) { return {true, std::move(text)}; }
  static SimReply failure(std::string message) { return {false, std::move(message)}; }
};

using SimCommandHandler = std::function<SimReply(const std::vector<std::string>& arguments)>;

// Locking: mutex_ guards handlers_; a handler is called without it held.
class SimCommandRegistry {
 public:
  // false when the word is empty or already taken.
  bool add(const std::string& word, SimCommandHandler handler);

  // Splits `line` at blanks and runs the handler of its first word.
  SimReply run(std::string_view line) const;

  static std::vector<std::string> split(std::string_view line);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, SimCommandHandler> handlers_;
};

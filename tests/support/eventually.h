#pragma once
// Polling with a limit, for conditions of the running appliance that only
// its outputs show.
#include <chrono>
#include <functional>
#include <thread>

// Checks `condition` every `step` until it holds (true) or `limit` passed
// (false, after one last check).
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit,
                       std::chrono::milliseconds step = std::chrono::milliseconds(100)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return condition();
    std::this_thread::sleep_for(step);
  }
  return true;
}

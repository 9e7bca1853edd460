#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace orvtest {

// The bound of every wait of a test for another thread. Such waits are the
// only ones in the tests still bounded by real time: the pauses and
// time-outs under test run on a ManualClock the test moves on, and the guard
// only keeps a broken build from hanging.
constexpr std::chrono::seconds kGuard{20};

// Waits until `condition` holds, looking every millisecond; false when it
// does not within the guard.
inline bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + kGuard;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace orvtest

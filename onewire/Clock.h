#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "onewire/Export.h"

// The time by which the masters measure their pauses and time-outs: the
// relay master's poll pause, the serial master's answer time-out and its
// pauses for the adapter. Every master goes by the steady clock unless it is
// given another (tests give one they move on by hand).
class ORVANE_TEDS_API Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~Clock();
  virtual TimePoint Now() const = 0;
  // Waits on `wake`, whose mutex `guard` holds, until `done` holds or the
  // clock has reached `at`; returns done(). Whoever makes `done` true
  // notifies `wake`.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& guard, std::condition_variable& wake,
                         TimePoint at, const std::function<bool()>& done) = 0;
  // Lets `pause` pass.
  virtual void Sleep(std::chrono::milliseconds pause) = 0;

  // The steady clock, shared.
  static std::shared_ptr<Clock> Steady();
};

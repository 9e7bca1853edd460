#pragma once

#include <chrono>
#include <condition_variable>
#include <list>
#include <mutex>

#include "onewire/Clock.h"

namespace orvtest {

// A clock that stands still until the test moves it on: a pause on it lasts
// exactly until the test says, and no test waits for one in real time. A
// sleep on it passes at once and moves it on by its length.
class ManualClock : public Clock {
 public:
  TimePoint Now() const override;
  bool WaitUntil(std::unique_lock<std::mutex>& guard, std::condition_variable& wake, TimePoint at,
                 const std::function<bool()>& done) override;
  void Sleep(std::chrono::milliseconds pause) override { Advance(pause); }

  // Moves the clock on and wakes every wait on it.
  void Advance(std::chrono::milliseconds by);

 private:
  struct Wait {
    std::mutex* mutex;
    std::condition_variable* wake;
  };
  mutable std::mutex mutex;
  // Held by Advance while it wakes the waits; a wait leaves only in between,
  // so that its mutex and condition are not woken after it has gone.
  std::mutex advancing;
  TimePoint now;  // guarded by mutex
  std::list<Wait> waits;  // guarded by mutex
};

}  // namespace orvtest

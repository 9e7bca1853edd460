#include "testing/ManualClock.h"

#include <vector>

namespace orvtest {

Clock::TimePoint ManualClock::Now() const {
  std::lock_guard<std::mutex> guard(mutex);
  return now;
}

bool ManualClock::WaitUntil(std::unique_lock<std::mutex>& guard, std::condition_variable& wake,
                            TimePoint at, const std::function<bool()>& done) {
  std::list<Wait>::iterator self;
  {
    std::lock_guard<std::mutex> own(mutex);
    self = waits.insert(waits.end(), Wait{guard.mutex(), &wake});
  }
  // Advance takes `guard`'s mutex to wake this wait: between the look at the
  // time and the wait it cannot come in.
  while (!done() && Now() < at) wake.wait(guard);
  guard.unlock();
  {
    std::lock_guard<std::mutex> waking(advancing);
    std::lock_guard<std::mutex> own(mutex);
    waits.erase(self);
  }
  guard.lock();
  return done();
}

void ManualClock::Advance(std::chrono::milliseconds by) {
  std::lock_guard<std::mutex> waking(advancing);
  std::vector<Wait> toWake;
  {
    std::lock_guard<std::mutex> own(mutex);
    now += by;
    toWake.assign(waits.begin(), waits.end());
  }
  for (const Wait& wait : toWake) {
    std::lock_guard<std::mutex> guard(*wait.mutex);
    wait.wake->notify_all();
  }
}

}  // namespace orvtest

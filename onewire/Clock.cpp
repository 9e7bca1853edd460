#include "onewire/Clock.h"

#include <thread>

namespace {

class SteadyClock final : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
  bool WaitUntil(std::unique_lock<std::mutex>& guard, std::condition_variable& wake, TimePoint at,
                 const std::function<bool()>& done) override {
    return wake.wait_until(guard, at, done);
  }
  void Sleep(std::chrono::milliseconds pause) override { std::this_thread::sleep_for(pause); }
};

}  // namespace

Clock::~Clock() = default;

std::shared_ptr<Clock> Clock::Steady() {
  static const std::shared_ptr<Clock> steady = std::make_shared<SteadyClock>();
  return steady;
}

#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>

#include "teds/TEDSInterface.h"

// What a query hands the host, written to `out` as it arrives (each text with
// a newline added where it has none, each transducer's report followed by its
// template errors), and the end of the cycle, which the waiting thread is told
// of. The fault matrix hears a query through the same host as the tool.
class QueryHost : public TEDSInterface::Listener, public TEDSInterface::CycleListener {
 public:
  explicit QueryHost(std::ostream& out) : out(out) {}

  // Tells whether the master can no longer come up, so that no cycle will
  // ever start: checked after every text.
  void SetStalled(std::function<bool()> check) { stalled = std::move(check); }

  void TransducerFound(const TEDSTransducer& transducer) override;
  void Error(const std::string& message) override;
  void CycleEnded(std::size_t transducersReported) override;

  // True when the cycle ended within `timeout`.
  bool Wait(std::chrono::duration<double> timeout, std::size_t& count);

  // Forgets the end of the last cycle, for a host that queries again; runs
  // `whileLocked` first under the lock every write to `out` holds, so that a
  // host may take and clear what was written.
  void Restart(const std::function<void()>& whileLocked);

 private:
  std::ostream& out;
  std::function<bool()> stalled;
  std::mutex mutex;
  std::condition_variable endedCv;
  bool ended = false;
  std::size_t reported = 0;
};

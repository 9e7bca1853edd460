#pragma once

// Whole queries over the simulated device, for tests and benchmarks: a bench
// of many sensors, a count of the relay round trips, and a host that waits
// for the query cycle to end.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "orvane/OrvaneBackend.h"
#include "simdevice/Bench.h"
#include "teds/TEDSInterface.h"

namespace orvtest {

// The built-in bench with `sensors` copies of its accelerometer under
// distinct ROMs, behind a relay that reports the given block maxima.
simdevice::Bench SensorBench(std::size_t sensors, uint8_t inboundMax = 255,
                             uint8_t outboundMax = 255);

// The fewest round trips a query of `sensors` DS2430As can take: one
// configuration, the search transfers (`searchPasses` per transfer, 0 for as
// many as fit) and the fewest read transfers that keep every block within
// both maxima.
int MinimumRoundTrips(std::size_t sensors, uint8_t inboundMax, uint8_t outboundMax,
                      unsigned searchPasses);

// Counts the TEDS write requests to one device: transfers, and lone polls
// (a CMD_POLL sent because the relay had nothing yet).
class WriteCounter : public orvane::TrafficObserver {
 public:
  explicit WriteCounter(std::wstring device) : device(std::move(device)) {}
  void Observe(const orvane::TrafficEvent& event) override;
  std::atomic<int> transfers{0};
  std::atomic<int> polls{0};

 private:
  const std::wstring device;
};

// A host that prints every transducer it is handed and wakes the waiting
// thread when the query cycle has ended.
class CycleWaiter : public TEDSInterface::Listener, public TEDSInterface::CycleListener {
 public:
  void TransducerFound(const TEDSTransducer& transducer) override;
  void Error(const std::string& message) override;
  void CycleEnded(std::size_t count) override;
  // The number of transducers reported, or -1 when the cycle did not end
  // within `limit`; then waits afresh.
  long Wait(std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Every text the host heard since the last Wait.
  std::string texts;

 private:
  std::mutex mutex;
  std::condition_variable wake;
  bool ended = false;
  std::size_t reported = 0;
};

}  // namespace orvtest

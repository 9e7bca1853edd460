#pragma once

// Whole queries over the simulated device, for tests and benchmarks: a bench
// of many sensors on one relay, the fewest round trips a query of them can
// take, and a count of the round trips it took (orvtest::QueryHost waits for
// its end).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "orvane/OrvaneBackend.h"
#include "simdevice/Bench.h"

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

}  // namespace orvtest

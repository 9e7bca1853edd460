// A whole TEDS query over the simulated device with the relay's answer pause
// at 0: 1, 5 and 20 DS2430A accelerometers on one relay reporting block maxima
// of 255/255 or 48/48, with the default two search passes per transfer and
// with as many as fit. Besides wall and CPU time it counts the relay round
// trips (TEDS write requests) of one query and sets them against the fewest
// the protocol allows: one configuration transfer, the search transfers
// (n + 1 passes) and the fewest read transfers that keep every block within
// both maxima. Poll blocks (a lone CMD_POLL sent because the relay had
// nothing yet) are counted apart. A query that breaches the relay's limits,
// or does not report every sensor, fails the benchmark.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "devicelink/ZorelOneWireMaster.h"
#include "orvane/OrvaneBackend.h"
#include "simdevice/SimDevice.h"
#include "teds/TEDSInterface.h"
#include "testing/SimQuery.h"

namespace {

bool WithinLimits(simdevice::SimDevice& device) {
  bool within = true;
  device.WithRelay(0, [&within](simdevice::RelayEmulator& relay) {
    within = relay.GetLimitBreaches().empty();
  });
  return within;
}

void FullQuery(benchmark::State& state) {
  const std::size_t sensors = static_cast<std::size_t>(state.range(0));
  const uint8_t maximum = static_cast<uint8_t>(state.range(1));
  const unsigned passes = static_cast<unsigned>(state.range(2));
  const simdevice::Bench bench = orvtest::SensorBench(sensors, maximum, maximum);
  const auto device = simdevice::SimDevice::Create(bench);
  simdevice::SimAttachment sim(device);
  const auto counter = std::make_shared<orvtest::WriteCounter>(bench.name);
  orvane::AddTrafficObserver(counter);
  {
    ZorelOneWireMaster master(bench.name, bench.address, 0, ZorelDAQTEDSMode(1),
                              std::chrono::milliseconds(0));
    master.SetSearchPasses(passes);
    const auto host = std::make_shared<orvtest::CycleWaiter>();
    TEDSInterface teds(master);
    teds.AddListener(host);
    teds.AddCycleListener(host);

    double processCpu = 0;
    for (auto _ : state) {
      const std::clock_t start = std::clock();
      master.Enable(false);
      teds.Query();
      const long reported = host->Wait();
      processCpu += double(std::clock() - start) / CLOCKS_PER_SEC;
      host->texts.clear();
      if (reported != static_cast<long>(sensors)) {
        state.SkipWithError("the query did not report every sensor");
        break;
      }
    }
    master.Enable(false);
    master.Shutdown();
    if (!WithinLimits(*device)) state.SkipWithError("the query breached the relay's maxima");

    const double queries = static_cast<double>(state.iterations());
    if (queries > 0) {
      state.counters["round_trips"] = counter->transfers / queries;
      state.counters["poll_blocks"] = counter->polls / queries;
      state.counters["minimum"] = orvtest::MinimumRoundTrips(sensors, maximum, maximum, passes);
      // Google Benchmark's CPU time is that of the waiting thread only; the
      // work runs on the device library's callback thread.
      state.counters["process_cpu_ms"] = 1000 * processCpu / queries;
    }
  }
  orvane::RemoveTrafficObserver(counter);
}
// passes: 2 the default, 0 as many as fit.
BENCHMARK(FullQuery)
    ->ArgNames({"sensors", "maxima", "passes"})
    ->ArgsProduct({{1, 5, 20}, {255, 48}, {2, 0}})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();

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

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>

#include "devicelink/ZorelOneWireMaster.h"
#include "orvane/OrvaneBackend.h"
#include "serial/DS2480BOneWireMaster.h"
#include "simdevice/SimDevice.h"
#include "simserial/EmulatedPort.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSTransducer.h"
#include "testing/SimQuery.h"

namespace {

class Host : public TEDSInterface::Listener, public TEDSInterface::CycleListener {
 public:
  void TransducerFound(const TEDSTransducer& transducer) override {
    benchmark::DoNotOptimize(transducer.Print());
  }
  void Error(const std::string&) override {}
  void CycleEnded(std::size_t count) override {
    std::lock_guard<std::mutex> guard(mutex);
    ended = true;
    reported = count;
    wake.notify_all();
  }
  // The number of transducers reported, or -1 when the query did not end.
  long Wait() {
    std::unique_lock<std::mutex> guard(mutex);
    const bool done = wake.wait_for(guard, std::chrono::seconds(10), [this] { return ended; });
    ended = false;
    return done ? static_cast<long>(reported) : -1;
  }

 private:
  std::mutex mutex;
  std::condition_variable wake;
  bool ended = false;
  std::size_t reported = 0;
};

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
    const auto host = std::make_shared<Host>();
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

// The fewest bytes a DS2480B query of these sensors can send: one
// accelerated search pass per device (reset, data mode, F0, command mode,
// accelerator on, data mode, 16 bytes, command mode, accelerator off), and
// per DS2430A three selections (reset, data mode, Match ROM with its ROM,
// command mode) reading status (66 00 + 1), application register (C3 00 + 8)
// and memory (F0 00 + 32); a ROM byte E3 travels twice.
double SerialFloor(const simdevice::Bench& bench) {
  double bytes = 0;
  for (const simdevice::BusDeviceConfig& device : bench.channels[0].devices) {
    const double escapes =
        static_cast<double>(std::count(device.rom.begin(), device.rom.end(), 0xE3));
    bytes += 24 + 3 * (1 + 1 + 9 + escapes + 1) + 3 + 10 + 34;
  }
  return bytes;
}

// The same query over an emulated DS2480B serial adapter in the process.
// Counters per query: the packets and bytes sent to the adapter (against the
// protocol's floor for the same work), and the time those bytes alone take
// on the line at 9600 baud (10 bits a byte), which dominates on a real
// adapter.
void SerialQuery(benchmark::State& state) {
  const std::size_t sensors = static_cast<std::size_t>(state.range(0));
  const simdevice::Bench bench = orvtest::SensorBench(sensors, 255);
  const auto port = std::make_shared<simserial::EmulatedPort>(
      std::make_shared<simserial::DS2480BEmulator>(bench.channels[0]));
  DS2480BOneWireMaster master(port, "emulated");
  const auto host = std::make_shared<Host>();
  {
    TEDSInterface teds(master);
    teds.AddListener(host);
    teds.AddCycleListener(host);
    master.Enable(true);
    std::size_t packets = 0;
    std::size_t bytes = 0;
    for (auto _ : state) {
      const std::size_t packetsBefore = port->Writes();
      const std::size_t bytesBefore = port->BytesWritten();
      teds.Query();
      if (host->Wait() != static_cast<long>(sensors)) {
        state.SkipWithError("the query did not report every sensor");
        break;
      }
      packets += port->Writes() - packetsBefore;
      bytes += port->BytesWritten() - bytesBefore;
    }
    master.Enable(false);
    master.Shutdown();
    const double queries = static_cast<double>(state.iterations());
    if (queries > 0) {
      state.counters["packets"] = packets / queries;
      state.counters["bytes_sent"] = bytes / queries;
      state.counters["floor"] = SerialFloor(bench);
      state.counters["line_ms_9600"] = bytes * 10 * 1000.0 / 9600 / queries;
    }
  }
}
BENCHMARK(SerialQuery)->ArgName("sensors")->Arg(1)->Arg(5)->Arg(20)->UseRealTime()->Unit(
    benchmark::kMillisecond);

}  // namespace
BENCHMARK_MAIN();

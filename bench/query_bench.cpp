// A whole TEDS query over the simulated device with the relay's answer pause
// at 0: 1, 5 and 20 DS2430A accelerometers on one relay. Besides wall and CPU
// time it counts the relay round trips (TEDS write requests) of one query and
// sets them against the protocol's minimum: one configuration transfer,
// ceil((n+1)/2) search transfers (two passes each, the last one finding no
// further device) and as few read transfers as the inbound maximum allows
// (the three reads of a DS2430A take 48 bytes of commands; a block carries
// inboundMax - 2 bytes of them). Poll blocks (a lone CMD_POLL sent because the
// relay had nothing yet) are counted apart.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "devicelink/ZorelOneWireMaster.h"
#include "orvane/OrvaneBackend.h"
#include "relay/RelayProtocol.h"
#include "serial/DS2480BOneWireMaster.h"
#include "simdevice/Bench.h"
#include "simdevice/SimDevice.h"
#include "simserial/EmulatedPort.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSTransducer.h"
#include "testing/Roms.h"

namespace {

constexpr std::size_t kReadSetBytes = 48;

// Counts the TEDS write requests to one device.
class WriteCounter : public orvane::TrafficObserver {
 public:
  explicit WriteCounter(std::wstring device) : device(std::move(device)) {}
  void Observe(const orvane::TrafficEvent& event) override {
    if (event.response || event.kind != orvane::TrafficKind::TEDSWrite || event.device != device)
      return;
    if (RelayProtocol::IsPollBlock(event.bytes)) ++polls;
    else ++transfers;
  }
  std::atomic<int> transfers{0};
  std::atomic<int> polls{0};

 private:
  const std::wstring device;
};

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

// The built-in bench with `sensors` copies of its accelerometer under
// distinct ROMs.
simdevice::Bench SensorBench(std::size_t sensors, uint8_t inboundMax) {
  simdevice::Bench bench = simdevice::DefaultBench();
  simdevice::ChannelConfig& channel = bench.channels[0];
  const simdevice::BusDeviceConfig model = channel.devices[0];
  channel.devices.clear();
  for (std::size_t i = 0; i < sensors; ++i) {
    simdevice::BusDeviceConfig device = model;
    device.rom[1] = static_cast<uint8_t>(0x10 + i);
    device.rom = orvtest::WithCrc(device.rom);
    channel.devices.push_back(device);
  }
  channel.relay.inboundMax = inboundMax;
  return bench;
}

int MinimumRoundTrips(std::size_t sensors, uint8_t inboundMax) {
  const std::size_t perBlock = (inboundMax - 2u) / kReadSetBytes;
  const std::size_t reads = (sensors + perBlock - 1) / perBlock;
  return static_cast<int>(1 + (sensors + 2) / 2 + reads);
}

void FullQuery(benchmark::State& state) {
  const std::size_t sensors = static_cast<std::size_t>(state.range(0));
  const uint8_t inboundMax = static_cast<uint8_t>(state.range(1));
  const simdevice::Bench bench = SensorBench(sensors, inboundMax);
  simdevice::SimAttachment sim(simdevice::SimDevice::Create(bench));
  const auto counter = std::make_shared<WriteCounter>(bench.name);
  orvane::AddTrafficObserver(counter);
  {
    ZorelOneWireMaster master(bench.name, bench.address, 0, ZorelDAQTEDSMode(1),
                              std::chrono::milliseconds(0));
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

    const double queries = static_cast<double>(state.iterations());
    if (queries > 0) {
      state.counters["round_trips"] = counter->transfers / queries;
      state.counters["poll_blocks"] = counter->polls / queries;
      state.counters["minimum"] = MinimumRoundTrips(sensors, inboundMax);
      // Google Benchmark's CPU time is that of the waiting thread only; the
      // work runs on the device library's callback thread.
      state.counters["process_cpu_ms"] = 1000 * processCpu / queries;
    }
  }
  orvane::RemoveTrafficObserver(counter);
}
BENCHMARK(FullQuery)
    ->ArgNames({"sensors", "inboundMax"})
    ->Args({1, 255})
    ->Args({5, 255})
    ->Args({20, 255})
    ->Args({20, 50})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// The same query over an emulated DS2480B serial adapter in the process.
// Counters per query: the packets and bytes sent to the adapter, and the
// time those bytes alone take on the line at 9600 baud (10 bits a byte),
// which dominates on a real adapter.
void SerialQuery(benchmark::State& state) {
  const std::size_t sensors = static_cast<std::size_t>(state.range(0));
  const simdevice::Bench bench = SensorBench(sensors, 255);
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
      state.counters["line_ms_9600"] = bytes * 10 * 1000.0 / 9600 / queries;
    }
  }
}
BENCHMARK(SerialQuery)->ArgName("sensors")->Arg(1)->Arg(5)->Arg(20)->UseRealTime()->Unit(
    benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

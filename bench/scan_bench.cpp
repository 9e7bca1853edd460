// A scan of eight channels of one simulated device against a scan of one, at
// the real device's answer pause of 1000 ms: the device link serves the
// channels' masters at the same time, so eight channels must take at most
// 1.2 times as long as one. Each iteration times both scans; the counters
// are their wall times and the ratio. The program exits with 1 when the
// ratio exceeds 1.2 or a scan does not report every sensor.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "devicelink/ZorelQueryMaster.h"
#include "simdevice/SimDevice.h"
#include "teds/TEDSScan.h"
#include "testing/SimQuery.h"

namespace {

constexpr double kMostRatio = 1.2;
constexpr unsigned kPollMs = 1000;

bool failed = false;
double worstRatio = 0;

// The built-in bench's sensor on each of the eight channels.
simdevice::Bench EightChannels() {
  simdevice::Bench bench = orvtest::SensorBench(1);
  const simdevice::ChannelConfig model = bench.channels[0];
  bench.channels.clear();
  for (unsigned channel = 0; channel < 8; ++channel) {
    bench.channels.push_back(model);
    bench.channels.back().channel = channel;
  }
  return bench;
}

// Seconds a scan of channels 0 to `channels` - 1 takes; negative when a
// channel did not report its sensor.
double TimeScan(const simdevice::Bench& bench, unsigned channels) {
  std::vector<TEDSScan::Target> targets;
  for (unsigned channel = 0; channel < channels; ++channel) {
    ZorelQuerySettings settings;
    settings.device = bench.name;
    settings.address = bench.address;
    settings.channel = channel;
    settings.pollPause = std::chrono::milliseconds(kPollMs);
    targets.push_back({"", [settings] { return MakeZorelQueryMaster(settings); }});
  }
  TEDSScan scan;
  const auto start = std::chrono::steady_clock::now();
  const std::vector<TEDSScan::Result> results = scan.Run(targets, std::chrono::seconds(60));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  for (const TEDSScan::Result& result : results) {
    if (result.outcome != TEDSScan::Outcome::Ended || result.transducers.size() != 1) return -1;
  }
  return seconds;
}

void EightChannelsAgainstOne(benchmark::State& state) {
  const simdevice::Bench bench = EightChannels();
  simdevice::SimAttachment sim(simdevice::SimDevice::Create(bench));
  double one = 0;
  double eight = 0;
  for (auto _ : state) {
    const double oneScan = TimeScan(bench, 1);
    const double eightScan = TimeScan(bench, 8);
    if (oneScan < 0 || eightScan < 0) {
      failed = true;
      state.SkipWithError("a channel did not report its sensor");
      break;
    }
    one += oneScan;
    eight += eightScan;
  }
  if (one <= 0) return;
  const double ratio = eight / one;
  worstRatio = ratio > worstRatio ? ratio : worstRatio;
  const double scans = static_cast<double>(state.iterations());
  state.counters["one_channel_s"] = one / scans;
  state.counters["eight_channels_s"] = eight / scans;
  state.counters["ratio"] = ratio;
  if (ratio > kMostRatio) {
    failed = true;
    state.SkipWithError("eight channels took more than 1.2 times as long as one");
  }
}
BENCHMARK(EightChannelsAgainstOne)->Iterations(2)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (failed) {
    std::fprintf(stderr, "scan benchmark failed: eight channels against one, ratio %.3f (at most %.1f)\n",
                 worstRatio, kMostRatio);
    return 1;
  }
  return 0;
}

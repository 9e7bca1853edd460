// Loading a bench file with many devices: the time must grow linearly with
// their number (duplicate ROMs and the ROMs that faults name are looked up,
// not searched for).
#include <benchmark/benchmark.h>

#include <string>

#include "simdevice/Bench.h"
#include "text/HexText.h"

namespace {

std::string ManyDevices(int count) {
  std::string text = R"({"channels": [{"channel": 0, "devices": [)";
  for (int i = 0; i < count; ++i) {
    std::string rom = "28 00 00 00 00 00 00 00";
    for (int k = 0; k < 4; ++k) {
      rom.replace(3 + 3 * k, 2, orvtext::HexByte(static_cast<uint8_t>(i >> (8 * k))));
    }
    text += (i ? ", " : "") + std::string(R"({"rom": ")") + rom + "\"}";
  }
  // The last device named by a fault.
  text += R"(], "faults": {"corruptSearchCrc": ["28 00 00 00 00 00 00 00"]}}]})";
  return text;
}

void BM_ParseBench(benchmark::State& state) {
  const std::string text = ManyDevices(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(simdevice::ParseBench(text, "bench.json"));
  }
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_ParseBench)->RangeMultiplier(10)->Range(100, 100000)->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

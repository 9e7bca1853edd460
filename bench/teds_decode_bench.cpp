// Decoding the TEDS of the built-in bench's accelerometer: a Basic TEDS and a
// template 25, from the DS2430A dump and from the assembled image.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSImage.h"

namespace {

const std::vector<uint8_t> kApplication = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01};
std::vector<uint8_t> Memory() {
  std::vector<uint8_t> memory = {0x6F, 0x64, 0x90, 0x0F, 0xF8, 0x64, 0x06, 0x29,
                                 0x1C, 0xFB, 0x08, 0x62, 0xB4, 0x45, 0x01};
  memory.resize(32, 0x00);
  return memory;
}

void DecodeTemplate25Image(benchmark::State& state) {
  std::vector<bool> verdicts;
  const std::vector<uint8_t> image = TEDSImage::Assemble(kApplication, Memory(), verdicts);
  if (verdicts != std::vector<bool>{true} || !TEDSDecoder::Decode(image).parsed) {
    state.SkipWithError("the built-in image does not decode");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(TEDSDecoder::Decode(image));
}
BENCHMARK(DecodeTemplate25Image);

void DecodeTemplate25DumpAndReport(benchmark::State& state) {
  const std::vector<uint8_t> memory = Memory();
  for (auto _ : state) {
    const TEDSDecoder::Result result = TEDSDecoder::DecodeDS2430A(kApplication, memory);
    benchmark::DoNotOptimize(result.transducer->Print());
  }
}
BENCHMARK(DecodeTemplate25DumpAndReport);

}  // namespace

BENCHMARK_MAIN();

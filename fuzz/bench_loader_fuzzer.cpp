// The bench loader takes any text: a bench, or a BenchError that names the
// problem. Nothing else may escape, and a loaded bench must build its relays.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "simdevice/Bench.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> warnings;
  try {
    const simdevice::Bench bench = simdevice::ParseBench(text, "fuzz.json", &warnings);
    for (const simdevice::ChannelConfig& channel : bench.channels) {
      if (channel.channel > 7) __builtin_trap();
      (void)simdevice::MakeRelay(channel);
    }
  } catch (const simdevice::BenchError& e) {
    if (std::string(e.what()).rfind("fuzz.json", 0) != 0) __builtin_trap();  // names the source
  }
  for (const std::string& warning : warnings)
    if (warning.rfind("fuzz.json", 0) != 0) __builtin_trap();
  return 0;
}

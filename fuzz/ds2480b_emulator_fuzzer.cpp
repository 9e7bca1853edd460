// The emulated DS2480B adapter takes an arbitrary byte stream on a bus with
// two DS2430As (one dropping off, one with its search CRC corrupted) and a
// device of another family. The first input byte says where to cut the rest:
// the answers must not depend on how the stream arrives, and no byte may be
// answered more than once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "simserial/DS2480BEmulator.h"

namespace {

const simdevice::ChannelConfig& Channel() {
  static const simdevice::ChannelConfig channel = [] {
    simdevice::ChannelConfig made = simdevice::DefaultBench().channels[0];
    simdevice::BusDeviceConfig second = made.devices[0];
    second.rom[1] ^= 0x40;
    simdevice::BusDeviceConfig other = second;
    other.rom[0] = 0x28;
    made.devices.push_back(second);
    made.devices.push_back(other);
    simdevice::DropOff drop;
    drop.rom = second.rom;
    drop.afterAccesses = 2;
    made.faults.dropOffs.push_back(drop);
    made.faults.corruptSearchCrc.push_back(made.devices[0].rom);
    return made;
  }();
  return channel;
}

std::vector<uint8_t> Run(const uint8_t* data, std::size_t size, std::size_t cut) {
  simserial::DS2480BEmulator emulator(Channel());
  std::vector<uint8_t> answers;
  for (std::size_t at = 0; at < size; at += cut) {
    const std::size_t n = cut < size - at ? cut : size - at;
    const std::vector<uint8_t> part = emulator.Receive(data + at, n);
    if (part.size() > n) std::abort();
    answers.insert(answers.end(), part.begin(), part.end());
  }
  return answers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t cut = 1 + data[0] % 17;
  if (Run(data + 1, size - 1, size) != Run(data + 1, size - 1, cut)) std::abort();
  return 0;
}

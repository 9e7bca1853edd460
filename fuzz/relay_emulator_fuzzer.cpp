// The relay emulator runs arbitrary inbound blocks on a bus with two DS2430As
// and a device of another family. The input is a run of blocks, each a length
// byte and that many bytes; every block is answered, through Process and
// through the two channels, without fault.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "simdevice/RelayEmulator.h"
#include "simdevice/SimDevice.h"

namespace {

const simdevice::Bench& TwoSensorBench() {
  static const simdevice::Bench bench = [] {
    simdevice::Bench made = simdevice::DefaultBench();
    simdevice::BusDeviceConfig second = made.channels[0].devices[0];
    second.rom[1] ^= 0x40;
    second.rom[7] = 0;  // wrong CRC on purpose: the relay keeps it as given
    simdevice::BusDeviceConfig other = second;
    other.rom[0] = 0x28;
    made.channels[0].devices.push_back(second);
    made.channels[0].devices.push_back(other);
    made.channels[0].faults.outboundChunk = 7;
    return made;
  }();
  return bench;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::unique_ptr<simdevice::RelayEmulator> relay =
      simdevice::MakeRelay(TwoSensorBench().channels[0]);
  std::size_t at = 0;
  for (int blocks = 0; blocks < 32 && at < size; ++blocks) {
    const std::size_t length = data[at++];
    const std::size_t n = length < size - at ? length : size - at;
    const std::vector<uint8_t> block(data + at, data + at + n);
    at += n;
    (void)relay->Process(block);
    relay->ReceiveInbound(block);
    for (int reads = 0; reads < 64 && relay->GetPendingSize() > 0; ++reads)
      (void)relay->ReadOutbound();
  }
  return 0;
}

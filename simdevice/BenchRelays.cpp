#include "simdevice/BenchRelays.h"

namespace simdevice {

std::unique_ptr<BusDevice> MakeBusDevice(const BusDeviceConfig& device, const RelayFaults& faults) {
  if (device.rom[0] != ds2430a::FAMILY_CODE) return std::make_unique<BusDevice>(device.rom);
  auto chip =
      std::make_unique<DS2430A>(device.rom, device.status, device.application, device.memory);
  for (const NoisyReads& noisy : faults.noisyReads) {
    if (noisy.rom == device.rom) chip->SetNoisyMemoryReads(noisy.count);
  }
  return chip;
}

std::unique_ptr<RelayEmulator> MakeRelay(const ChannelConfig& channel) {
  auto relay = std::make_unique<RelayEmulator>(channel.relay, channel.faults);
  for (const BusDeviceConfig& device : channel.devices) {
    relay->GetBus().Add(MakeBusDevice(device, channel.faults));
  }
  return relay;
}

}  // namespace simdevice

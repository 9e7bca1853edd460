#include "simdevice/BenchRelays.h"

namespace simdevice {

std::unique_ptr<RelayEmulator> MakeRelay(const ChannelConfig& channel) {
  auto relay = std::make_unique<RelayEmulator>(channel.relay, channel.faults);
  for (const BusDeviceConfig& device : channel.devices) {
    if (device.rom[0] == DS2430A::FAMILY_CODE) {
      relay->GetBus().Add(
          std::make_unique<DS2430A>(device.rom, device.status, device.application, device.memory));
    } else {
      relay->GetBus().Add(std::make_unique<BusDevice>(device.rom));
    }
  }
  return relay;
}

}  // namespace simdevice

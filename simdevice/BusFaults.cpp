#include "simdevice/BusFaults.h"

#include <algorithm>

namespace simdevice {

BusFaults::BusFaults(const RelayFaults& faults)
    : corruptSearchCrc(faults.corruptSearchCrc),
      dropOffs(faults.dropOffs),
      accessCount(faults.dropOffs.size(), 0) {}

void BusFaults::BeforeAccess(OneWireBus& bus, const Rom& id) {
  if (!readPhase) {
    readPhase = true;
    for (const DropOff& drop : dropOffs) {
      BusDevice* device = bus.Find(drop.rom);
      if (drop.atReadPhase && device != nullptr) device->SetPresent(false);
    }
  }
  for (std::size_t i = 0; i < dropOffs.size(); ++i) {
    const DropOff& drop = dropOffs[i];
    if (drop.atReadPhase || drop.rom != id) continue;
    if (accessCount[i] >= drop.afterAccesses) {
      if (BusDevice* device = bus.Find(drop.rom)) device->SetPresent(false);
    } else {
      ++accessCount[i];
    }
  }
}

Rom BusFaults::AsSearched(const Rom& found) const {
  Rom read = found;
  if (std::find(corruptSearchCrc.begin(), corruptSearchCrc.end(), found) != corruptSearchCrc.end()) {
    read[7] = static_cast<uint8_t>(~read[7]);
  }
  return read;
}

}  // namespace simdevice

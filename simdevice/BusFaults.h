#pragma once

#include <cstddef>
#include <vector>

#include "simdevice/OneWireBus.h"
#include "simdevice/RelayFaults.h"

// Faults of the 1-Wire bus behind the relay: devices that drop off the bus,
// and search identities that arrive with a corrupted CRC byte. The relay's
// command interpreter tells this model what it does on the bus; the model
// changes the bus (or the identity read back) accordingly.

namespace simdevice {

class BusFaults {
 public:
  explicit BusFaults(const RelayFaults& faults);

  // Before CMD_ML_ACCESS addresses `id`: devices due to leave the bus leave
  // it (at the first access of any device for `atReadPhase`, otherwise once
  // their own accesses are used up).
  void BeforeAccess(OneWireBus& bus, const Rom& id);
  // The identity as CMD_DATA_ID reads it back after a search found `found`.
  Rom AsSearched(const Rom& found) const;

 private:
  const std::vector<Rom> corruptSearchCrc;
  const std::vector<DropOff> dropOffs;
  std::vector<uint32_t> accessCount;  // accesses per drop-off
  bool readPhase = false;
};

}  // namespace simdevice

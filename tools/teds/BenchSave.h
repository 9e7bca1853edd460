#pragma once

#include <string>

namespace simdevice {
class SimDevice;
}

// The bench file `benchText` with the status, application register and
// memory of each DS2430A replaced by what the simulated device's parts hold
// now; everything else (names, relays, faults, other devices) is kept as
// given. Throws std::runtime_error when `benchText` is not a bench object.
std::string SaveBench(const std::string& benchText, simdevice::SimDevice& device);

#pragma once

#include <memory>

#include "simdevice/BenchModel.h"
#include "simdevice/RelayEmulator.h"

namespace simdevice {

// The relay of one channel, with its bus devices in place.
std::unique_ptr<RelayEmulator> MakeRelay(const ChannelConfig& channel);

// One device of a channel's bus, with the channel's faults that live in the
// device itself (noisy memory reads). Every emulator that carries a
// channel's bus builds its devices here.
std::unique_ptr<BusDevice> MakeBusDevice(const BusDeviceConfig& device, const RelayFaults& faults);

}  // namespace simdevice

#pragma once

#include <memory>

#include "simdevice/BenchModel.h"
#include "simdevice/RelayEmulator.h"

namespace simdevice {

// The relay of one channel, with its bus devices in place.
std::unique_ptr<RelayEmulator> MakeRelay(const ChannelConfig& channel);

}  // namespace simdevice

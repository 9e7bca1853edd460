#pragma once

// 1-Wire ROM identities for tests.

#include <array>
#include <cstdint>

#include "onewire/AbstractOneWireMaster.h"

namespace orvtest {

using RomBytes = std::array<uint8_t, 8>;

// `rom` with byte 7 replaced by the CRC-8 of bytes 0 to 6.
RomBytes WithCrc(RomBytes rom);

// A valid ROM of the given family with `serial` in byte 1.
AbstractOneWireMaster::Device MakeRom(uint8_t family, uint8_t serial);

}  // namespace orvtest

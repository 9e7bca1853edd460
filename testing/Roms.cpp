#include "testing/Roms.h"

namespace orvtest {

RomBytes WithCrc(RomBytes rom) {
  rom[7] = AbstractOneWireMaster::Device::crc8(rom.data(), 7);
  return rom;
}

AbstractOneWireMaster::Device MakeRom(uint8_t family, uint8_t serial) {
  return AbstractOneWireMaster::Device(WithCrc({family, serial, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x00}));
}

}  // namespace orvtest

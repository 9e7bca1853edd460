#pragma once

// The bytes a 1-Wire master writes after a reset, defined once for every
// layer that speaks or models the bus: the bus masters, the relay, the
// DS2480B adapter, the simulated bus and its DS2430A model, and the tests.

#include <cstdint>

namespace onewire {

// ROM commands: the first byte after a reset, answered by every device.
constexpr uint8_t SEARCH_ROM = 0xF0;
constexpr uint8_t ALARM_SEARCH = 0xEC;  // only devices in alarm take part
constexpr uint8_t READ_ROM = 0x33;      // the single device on the bus sends its ROM
constexpr uint8_t MATCH_ROM = 0x55;     // followed by the 8 ROM bytes of the device to select
constexpr uint8_t SKIP_ROM = 0xCC;      // selects every device at once

}  // namespace onewire

// The DS2430A 1-Wire EEPROM: its family code (byte 0 of its ROM) and the
// memory function commands it takes once selected.
namespace ds2430a {

constexpr uint8_t FAMILY_CODE = 0x14;

constexpr uint8_t READ_MEMORY = 0xF0;
constexpr uint8_t READ_SCRATCHPAD = 0xAA;
constexpr uint8_t WRITE_SCRATCHPAD = 0x0F;
constexpr uint8_t COPY_SCRATCHPAD = 0x55;
constexpr uint8_t READ_APPLICATION_REGISTER = 0xC3;
constexpr uint8_t WRITE_APPLICATION_REGISTER = 0x99;
constexpr uint8_t COPY_AND_LOCK = 0x5A;
constexpr uint8_t READ_STATUS_REGISTER = 0x66;
// The validation key both copies need; with any other the chip ignores them.
constexpr uint8_t COPY_KEY = 0xA5;

// The status register of a part whose application register is locked.
constexpr uint8_t STATUS_LOCKED = 0xFC;

}  // namespace ds2430a

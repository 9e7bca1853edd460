#pragma once

#include <array>
#include <cstdint>

#include "simdevice/OneWireBus.h"

namespace simdevice {

// A DS2430A 1-Wire EEPROM as far as reading goes: 32 bytes of memory, the
// 8-byte application register and the status register.
//
// Once selected it takes one function command:
// - 0xF0 read memory: an address byte, then the memory from that address;
// - 0xC3 read application register: an address byte, then the register;
// - 0x66 read status register: the validation byte 0x00, then the status.
// Reads wrap from the end of their area to its start, as the chip does; the
// address is taken modulo the size of the area. A wrong validation byte, any
// other command, and reading on after the status byte give 0xFF.
class DS2430A : public BusDevice {
 public:
  static const uint8_t FAMILY_CODE = 0x14;
  static const uint8_t READ_MEMORY = 0xF0;
  static const uint8_t READ_APPLICATION_REGISTER = 0xC3;
  static const uint8_t READ_STATUS_REGISTER = 0x66;
  static const std::size_t MEMORY_SIZE = 32;
  static const std::size_t APPLICATION_SIZE = 8;

  using Memory = std::array<uint8_t, MEMORY_SIZE>;
  using Application = std::array<uint8_t, APPLICATION_SIZE>;

  DS2430A(const Rom& rom, uint8_t status, const Application& application, const Memory& memory);

  void Reset() override;
  uint8_t Exchange(uint8_t master) override;

  uint8_t GetStatus() const;
  const Application& GetApplication() const;
  const Memory& GetMemory() const;

 private:
  enum class State { Command, Address, Validation, Reading, Status, Idle };

  uint8_t status;
  Application application;
  Memory memory;
  State state;
  uint8_t command;
  std::size_t position;
};

}  // namespace simdevice

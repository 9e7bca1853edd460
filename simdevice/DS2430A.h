#pragma once

#include <array>
#include <cstdint>

#include "onewire/WireCommands.h"
#include "simdevice/OneWireBus.h"

namespace simdevice {

// A DS2430A 1-Wire EEPROM: 32 bytes of memory with its 32-byte scratchpad,
// the 8-byte application register and the status register.
//
// Once selected it takes one function command (onewire/WireCommands.h):
// - read memory: an address byte, then the memory from that address; the
//   whole memory is first copied into the scratchpad, as the chip does;
// - read scratchpad / write scratchpad: an address byte, then the
//   scratchpad is read or written from that address;
// - copy scratchpad: the validation key starts programming the whole
//   scratchpad into the memory;
// - read application register: an address byte, then the register (its
//   scratchpad while it is not locked);
// - write application register: an address byte, then the bytes, into the
//   register's own scratchpad (separate from the register); ignored once the
//   register is locked;
// - copy and lock application register: the key starts programming the
//   register's scratchpad into the register and locking it; the status then
//   reads STATUS_LOCKED;
// - read status register: the validation byte 0x00, then the status.
// Reads and writes wrap from the end of their area to its start; the address
// is taken modulo the size of the area. A wrong key is ignored; a wrong
// validation byte, any other command, and reading on after the status byte
// give 0xFF.
//
// Programming (copy, and copy and lock) needs the bus idle for
// PROGRAMMING_TIME: it completes when the next bus activity comes that late,
// or when the bus is declared idle (Idle). A reset or a time slot of any
// device on the bus that comes earlier interrupts it, and the area being
// programmed is left undefined: the model fills it with garbage (neither the
// old nor the new contents), and an interrupted lock leaves the register
// locked with garbage. Both scratchpads are volatile: a part that leaves the
// bus loses them (they read garbage), and when it is created the register's
// scratchpad holds the register's contents and the memory's the memory.
class DS2430A : public BusDevice {
 public:
  static const std::size_t MEMORY_SIZE = 32;
  static const std::size_t APPLICATION_SIZE = 8;
  static constexpr std::chrono::milliseconds PROGRAMMING_TIME{10};

  using Memory = std::array<uint8_t, MEMORY_SIZE>;
  using Application = std::array<uint8_t, APPLICATION_SIZE>;

  DS2430A(const Rom& rom, uint8_t status, const Application& application, const Memory& memory);

  void Reset() override;
  uint8_t Exchange(uint8_t master) override;
  void Idle() override;
  void Activity(BusClock::time_point now) override;
  void SetPresent(bool present) override;

  uint8_t GetStatus() const;
  const Application& GetApplication() const;
  const Memory& GetMemory() const;
  // The application register no longer takes writes (status bits 0 and 1
  // cleared).
  bool IsLocked() const;
  // Line noise: each of the next `count` memory reads delivers its
  // memory byte NOISY_BYTE inverted. The memory itself is unchanged.
  void SetNoisyMemoryReads(uint32_t count);
  static const std::size_t NOISY_BYTE = 5;

 private:
  enum class State { Command, Address, Validation, Key, Reading, Writing, Status, Idle };
  enum class Programming { None, Copy, Lock };

  void Begin(uint8_t command);
  uint8_t Read();
  void Write(uint8_t value);
  void CompleteProgramming();
  // A programming cut short: its area is left undefined.
  void Interrupt();
  // After the part lost its power, its scratchpads hold garbage.
  void ForgetIfPowerLost();

  uint8_t status;
  Application application;
  Application applicationScratchpad;
  Memory memory;
  Memory scratchpad;
  BusClock::time_point lastActivity;
  BusClock::time_point programmingStart;
  State state;
  uint8_t command;
  std::size_t position;
  Programming programming;
  uint32_t noisyReads = 0;
  bool noisyRead = false;  // the memory read under way is one of them
  bool powerLost = false;
};

}  // namespace simdevice

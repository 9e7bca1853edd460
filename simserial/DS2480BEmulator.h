#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "serial/DS2480BProtocol.h"
#include "simdevice/Bench.h"
#include "simdevice/OneWireBus.h"

// An emulated DS2480B serial 1-Wire line driver in front of a simulated
// 1-Wire bus: it takes the byte stream a host sends and returns the answer
// bytes, processing the stream as it arrives (a whole search pass may come
// in one write). Command mode, data mode with the E3 escape, resets with
// presence detection, single-bit commands, the search accelerator and the
// configuration parameters are emulated; pulses are answered and otherwise
// ignored. The emulator keeps no clock: whoever feeds it the stream tells it
// how long the host stayed quiet (Quiet), which is when a DS2430A's copy
// completes. Plain single-threaded code.

namespace simserial {

// Faults of the adapter itself; the devices' faults come from the bench.
struct AdapterFaults {
  bool silent = false;     // never answers: a port without an adapter
  bool shorted = false;    // resets report a shorted bus, reads give 0
  bool fixedBaud = false;  // takes a baud rate change but stays at 9600
  // This answer (from 1, counting every answer since power-on) arrives
  // inverted.
  uint32_t noisyAnswer = 0;
};

class DS2480BEmulator {
 public:
  // The devices of one bench channel with its device faults: devices that
  // drop off (an access is a Match ROM) and ROMs whose CRC the search
  // accelerator's answer carries inverted.
  explicit DS2480BEmulator(const simdevice::ChannelConfig& channel,
                           AdapterFaults faults = AdapterFaults());

  // How long the bus must stay idle after a copy scratchpad or a copy and
  // lock for the EEPROM to be programmed.
  static constexpr std::chrono::milliseconds kProgrammingTime{10};

  // Power-up: as a break, and the answers are counted afresh (the noisy
  // answer comes again at the same place of the next session).
  void PowerOn();
  // A break: command mode, the next byte is the timing byte.
  void Break();
  // The answers to `count` bytes from the host, in order, sent at
  // `hostBaud`. Bytes at a rate other than the adapter's are line noise to
  // it: they are not taken and draw no answer. So once a configuration
  // command has switched the adapter's rate, its answer (sent at the new
  // rate) and the rest of the bytes (sent at the old one) are lost.
  std::vector<uint8_t> Receive(const uint8_t* data, std::size_t count, unsigned hostBaud = 9600);
  // The adapter's serial rate: 9600 after power-on and after a break.
  unsigned Baud() const;
  // How many of these bytes, were they taken next, run up to and including
  // the first command that writes the rate (taken or not): a host changes
  // its own rate right after it, so what follows comes at the new one. 0
  // when there is none. Follows the modes only; nothing is taken.
  std::size_t RateWriteEnd(const uint8_t* data, std::size_t count) const;

  // 1-Wire time at standard speed: a reset with its presence pulse, one
  // time slot.
  static constexpr std::chrono::microseconds kResetTime{1000};
  static constexpr std::chrono::microseconds kSlotTime{65};
  // The time the 1-Wire bus was busy with the bytes received since the last
  // call: resets, single bits, data bytes (8 slots), accelerated search
  // bytes (4 bits of 3 slots).
  std::chrono::microseconds TakeBusTime();
  // The host sent nothing for `gap` after its last byte, so the bus stayed
  // idle: from the programming time on, a copy started by the last bytes
  // completes (any bus activity after the copy command has already cut it
  // short).
  void Quiet(std::chrono::microseconds gap);

  simdevice::OneWireBus& GetBus() { return bus; }

 private:
  enum class Mode { Timing, Command, Data, Escape };
  // Where the 1-Wire layer is since the last reset.
  enum class Rom { RomCommand, Matching, Selected, Searching, ReadingRom, Ignored };

  void Command(uint8_t command);
  void Data(uint8_t byte);
  uint8_t BusByte(uint8_t byte);
  uint8_t RomCommand(uint8_t byte);
  uint8_t SearchByte(uint8_t byte);
  uint8_t SlotsByte(uint8_t byte);
  bool SearchSlot(bool written);
  void Selected(const simdevice::Rom& rom);
  void Answer(uint8_t byte);

  simdevice::OneWireBus bus;
  const AdapterFaults faults;
  const std::vector<simdevice::DropOff> dropOffs;
  const std::vector<simdevice::Rom> corruptSearchCrc;
  std::vector<uint32_t> accesses;
  bool readPhase = false;

  Mode mode = Mode::Timing;
  Rom rom = Rom::RomCommand;
  bool accelerator = false;
  std::array<uint8_t, 8> parameters{};
  simdevice::Rom collected{};  // Match ROM bytes, or the ROM a search chose
  unsigned position = 0;       // bytes collected, or search bits done
  unsigned slot = 0;           // time slots of a search without the accelerator
  uint32_t answers = 0;
  bool baudChanged = false;  // the last byte switched the serial rate
  std::chrono::microseconds busTime{0};
  std::vector<uint8_t>* out = nullptr;
};

}  // namespace simserial

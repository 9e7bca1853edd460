#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "onewire/WireCommands.h"

// The byte protocol of the DS2480B serial 1-Wire line driver, shared by the
// master that drives one and by the adapter emulator: command bytes, the
// answers they draw, and the packing of the search accelerator's groups.

namespace ds2480b {

// Command mode.
constexpr uint8_t RESET = 0xC1;            // reset at standard speed
constexpr uint8_t DATA_MODE = 0xE1;        // switch to data mode (no answer)
constexpr uint8_t COMMAND_MODE = 0xE3;     // switch to command mode (no answer)
constexpr uint8_t ACCELERATOR_ON = 0xB1;   // search accelerator on (no answer)
constexpr uint8_t ACCELERATOR_OFF = 0xA1;  // search accelerator off (no answer)
constexpr uint8_t BIT_ONE = 0x91;          // single bit: write 1, i.e. a read slot
constexpr uint8_t PULSE_STOP = 0xF1;       // ends a strong pull-up pulse

// The configuration established drivers send after the first reset: slew
// rate 1.37 V/us, write-1 low time 10 us, sample offset 8 us, and a read of
// the baud rate (9600 reads back as value 0).
constexpr std::array<uint8_t, 4> START_CONFIG{{0x17, 0x45, 0x5B, 0x0F}};

// The baud rate parameter (configuration parameter 7): values 0 to 3 are
// 9600, 19200, 57600 and 115200 baud. The answer to a change comes at the
// new rate.
constexpr unsigned BAUD_PARAMETER = 7;
// The value of `baud`, or -1 for a rate the adapter does not have.
inline int BaudValue(unsigned baud) {
  switch (baud) {
    case 9600:
      return 0;
    case 19200:
      return 1;
    case 57600:
      return 2;
    case 115200:
      return 3;
    default:
      return -1;
  }
}
// The configuration write that sets the rate to `value`, and the read of it.
inline uint8_t BaudWrite(int value) { return uint8_t(0x71 | (value << 1)); }
constexpr uint8_t BAUD_READ = 0x0F;

// Reset answers: 110, the chip id in bits 4-2, the result in bits 1-0.
enum class ResetResult : uint8_t { Shorted = 0, Presence = 1, Alarm = 2, NoPresence = 3 };
constexpr uint8_t RESET_ANSWER = 0xCC;  // chip id of the DS2480B, result 00
inline bool IsResetAnswer(uint8_t answer) { return (answer & 0xE0) == 0xC0; }
inline ResetResult ResetResultOf(uint8_t answer) { return ResetResult(answer & 0x03); }

// Communication commands have bit 7 set; configuration commands have bit 7
// clear and bit 0 set.
inline bool IsConfiguration(uint8_t command) { return (command & 0x81) == 0x01; }
inline bool IsSingleBit(uint8_t command) { return (command & 0xE1) == 0x81; }
inline bool IsAccelerator(uint8_t command) { return (command & 0xE3) == 0xA1; }
inline bool IsReset(uint8_t command) { return (command & 0xE3) == 0xC1; }
inline bool IsPulse(uint8_t command) { return (command & 0xE1) == 0xE1; }

// A configuration write 0PPPVVV1 is answered by itself with bit 0 cleared; a
// read 0000PPP1 by 0000VVV0.
inline uint8_t ConfigWriteAnswer(uint8_t command) { return uint8_t(command & 0xFE); }
inline bool IsConfigRead(uint8_t command) { return (command & 0xF1) == 0x01; }

// A single-bit command is answered by its bits 7-2 and the bit read, twice.
inline uint8_t SingleBitAnswer(uint8_t command, bool bit) {
  return uint8_t((command & 0xFC) | (bit ? 0x03 : 0x00));
}

// The data byte that fills a read time slot.
constexpr uint8_t READ_SLOT = 0xFF;

// Appends a data-mode byte, doubling COMMAND_MODE so that it travels as data.
inline void AppendData(std::vector<uint8_t>& out, uint8_t byte) {
  out.push_back(byte);
  if (byte == COMMAND_MODE) out.push_back(byte);
}

using Rom = std::array<uint8_t, 8>;
using SearchBlock = std::array<uint8_t, 16>;

inline bool RomBit(const Rom& rom, unsigned index) {
  return ((rom[index / 8] >> (index % 8)) & 1) != 0;
}

// Group `index` of a search block: bit 0 the discrepancy flag, bit 1 the
// direction (sent) or the ROM bit chosen (answered).
inline unsigned Group(const SearchBlock& block, unsigned index) {
  return (block[index / 4] >> ((index % 4) * 2)) & 0x03;
}
inline void SetGroup(SearchBlock& block, unsigned index, unsigned group) {
  const unsigned shift = (index % 4) * 2;
  block[index / 4] = uint8_t((block[index / 4] & ~(0x03u << shift)) | ((group & 0x03u) << shift));
}

// The block that steers a search pass: the bits of `rom` below `position`,
// a 1 at it, zeros above. `position` 64 steers straight to `rom` itself.
inline SearchBlock SearchDirections(const Rom& rom, unsigned position) {
  SearchBlock block{};
  for (unsigned i = 0; i < 64 && i <= position; ++i) {
    const bool bit = i == position ? true : RomBit(rom, i);
    SetGroup(block, i, bit ? 0x02 : 0x00);
  }
  return block;
}

// The ROM chosen by a pass: the upper bits of the answer's groups.
inline Rom SearchRom(const SearchBlock& answer) {
  Rom rom{};
  for (unsigned i = 0; i < 64; ++i) {
    if (Group(answer, i) & 0x02) rom[i / 8] = uint8_t(rom[i / 8] | (1u << (i % 8)));
  }
  return rom;
}

// The highest discrepancy where the 0 path was taken, or -1 when none is
// left: the next pass turns there.
inline int LastOpenDiscrepancy(const SearchBlock& answer) {
  for (int i = 63; i >= 0; --i) {
    if (Group(answer, unsigned(i)) == 0x01) return i;
  }
  return -1;
}

}  // namespace ds2480b

#pragma once

// The relay's side of the protocol, written out byte by byte as a relay sends
// and receives it: the blocks a relay master sends, and the answers a relay
// gives. Literal bytes on purpose: they check the master's codes
// independently of its own protocol table.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"

namespace orvtest {

using Bytes = std::vector<uint8_t>;
using Device = AbstractOneWireMaster::Device;

// The configuration transfer: 84 05 00 06 00 07 00 08 00 85.
extern const Bytes kConfigBlock;
// The first search transfer of a discovery (loads, two passes) and every later one.
extern const Bytes kFirstSearchBlock;
extern const Bytes kLaterSearchBlock;
// A lone CMD_POLL: asks for answers still pending.
extern const Bytes kPollBlock;

Bytes Concat(const std::vector<Bytes>& parts);

// The answer to the configuration transfer.
Bytes ConfigAnswer(uint8_t outboundMax, uint8_t inboundMax, const std::string& protocol = "P1",
                   const std::string& vendor = "Relay Inc");
// A search transfer of `passes` passes; `loaded` with the three loads of a
// fresh discovery first (SearchBlock(true, 2) is kFirstSearchBlock).
Bytes SearchBlock(bool loaded, std::size_t passes);
// The answer to one search transfer of `passes` passes: `found` devices (at
// most `passes`), then passes that report no further device. `loaded` adds
// the three load answers (CMD_STATUS form).
Bytes SearchAnswer(bool loaded, const std::vector<Device>& found, std::size_t passes = 2);
// One search pass: CMD_ML_RESET, CMD_ML_SEARCH and the CMD_DATA_ID read.
Bytes PassAnswer(uint8_t resetCode, uint8_t searchCode, const Bytes& id);
// The inbound commands of one operation: CMD_DATA_ID with the ROM,
// CMD_ML_ACCESS, CMD_ML_DATA with exchange length, command and data.
Bytes OperationBlock(const Device& device, uint8_t command, const Bytes& data, uint8_t length);
// The answer to one operation with `written` command and data bytes and the
// reply `reply`: CMD_DATA_ID status, CMD_ML_ACCESS, CMD_ML_DATA echo.
Bytes OperationAnswer(std::size_t written, const Bytes& reply);
// `commands` closed by CMD_POLL, as one inbound block.
Bytes Block(const Bytes& commands);

// The eight bytes of a ROM.
Bytes RomData(const Device& device);
// `count` bytes counting up from `first`.
Bytes Counting(std::size_t count, uint8_t first);
// The same as a fixed-size memory image.
template <std::size_t N>
std::array<uint8_t, N> CountingArray(uint8_t first) {
  std::array<uint8_t, N> bytes{};
  for (std::size_t i = 0; i < N; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

}  // namespace orvtest

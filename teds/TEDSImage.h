#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "onewire/Export.h"

// The TEDS image of one memory device: the first 8 bytes of its application
// register, then every memory page of 32 bytes (the last may be shorter)
// without its first byte, which is the page's checksum. The checksum byte
// makes the page's range add up to 0 modulo 256; the first page's range also
// covers the application register bytes.
struct ORVANE_TEDS_API TEDSImage {
  // Builds the TEDS image from an application register and a memory dump and appends one
  // checksum verdict per memory page to `verdicts` (true = "Compile: GOOD CHECKSUM").
  // An application register shorter than 8 bytes contributes nothing; an
  // empty memory gives no verdict.
  static std::vector<uint8_t> Assemble(const std::vector<uint8_t>& otpMemory,
                                       const std::vector<uint8_t>& memoryData,
                                       std::vector<bool>& verdicts);
  static std::string VerdictText(bool good);  // "Compile: GOOD CHECKSUM" / "Compile: BAD CHECKSUM"

  static constexpr std::size_t OTP_BYTES = 8;
  static constexpr std::size_t PAGE_BYTES = 32;
};

#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onewire/Export.h"
#include "teds/TEDSTransducer.h"

// Decoding of a TEDS image that the caller already holds, without a bus:
// from a whole image, or from a DS2430A's application register and memory.
class ORVANE_TEDS_API TEDSDecoder {
 public:
  struct Result {
    // The decoded transducer; always set. When the parse failed it holds what
    // was read before the failure (for instance the Basic TEDS fields).
    std::shared_ptr<const TEDSTransducer> transducer;
    // True when the transducer parsed; template failures do not count, they
    // are in transducer->PrintErrors().
    bool parsed = false;
    // The failure's whole text when `parsed` is false, for instance
    // "Failed to parse TEDS template: Failed to parse Basic TEDS".
    std::string parseError;
    // One checksum verdict per memory page (DecodeDS2430A only); true is
    // "Compile: GOOD CHECKSUM", see TEDSImage::VerdictText.
    std::vector<bool> verdicts;
  };

  // Parses `image` as the whole TEDS image of a transducer with identity `id`.
  static Result Decode(const std::vector<uint8_t>& image, const std::array<uint8_t, 8>& id = {});

  // Assembles the image from an application register and a memory dump (the
  // same rule a node on the bus uses, see TEDSImage) and parses it.
  static Result DecodeDS2430A(const std::vector<uint8_t>& otpMemory,
                              const std::vector<uint8_t>& memoryData,
                              const std::array<uint8_t, 8>& id = {});
};

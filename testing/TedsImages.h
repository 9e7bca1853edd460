#pragma once

// TEDS images for decoding tests: a bit packer, the worked example's bytes,
// and access to the library's protected parsers.

#include <cstdint>
#include <string>
#include <vector>

#include "teds/TEDSException.h"
#include "teds/TEDSParser.h"
#include "teds/TEDSTemplate.h"
#include "teds/TEDSTemplate25.h"
#include "teds/TEDSTransducer.h"

namespace orvtest {

// Packs fields into an image the way a TEDS stores them: each field least
// significant bit first, continuing at any bit offset. Bits of a field wider
// than 64 beyond the value's own are zero (used for padding).
class BitWriter {
 public:
  BitWriter& Put(uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i, ++bits) {
      if (bits % 8 == 0) bytes.push_back(0);
      if (i < 64 && ((value >> i) & 1u)) bytes.back() |= static_cast<uint8_t>(1u << (bits % 8));
    }
    return *this;
  }
  std::vector<uint8_t> bytes;
  std::size_t bits = 0;
};

// The worked examples: a Basic TEDS (manufacturer ID 100, model 1234,
// version B3, serial 123456) and, at image bytes 8 to 22, selector 0,
// template ID 25 and a standard-path template 25.
inline const std::vector<uint8_t> kBasicTeds = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01};
inline const std::vector<uint8_t> kTemplate25Bytes = {0x64, 0x90, 0x0F, 0xF8, 0x64, 0x06, 0x29, 0x1C,
                                                      0xFB, 0x08, 0x62, 0xB4, 0x45, 0x01, 0x00};

inline std::vector<uint8_t> WorkedImage() {
  std::vector<uint8_t> image = kBasicTeds;
  image.insert(image.end(), kTemplate25Bytes.begin(), kTemplate25Bytes.end());
  return image;
}

// Reach the protected parsers and constructors of the library.
struct TemplateAccess : TEDSTemplate {
  using TEDSTemplate::Parse;
};
struct Template25Access : TEDSTemplate25 {
  using TEDSTemplate25::Parse;
};
struct Template25Record : TEDSTemplate25 {
  explicit Template25Record(const Data& data) : TEDSTemplate25(data) {}
};
struct TransducerAccess : TEDSTransducer {
  explicit TransducerAccess(const std::vector<uint8_t>& bytes,
                            const std::array<uint8_t, 8>& rom = {})
      : TEDSTransducer(rom) {
    image = bytes;
  }
  using TEDSTransducer::Parse;
};

// The text of the TEDSParseException `body` throws, or "no TEDSParseException"
// (any other exception goes on to fail the test).
template <typename F>
std::string ParseFailure(F&& body) {
  try {
    body();
  } catch (const TEDSParseException& e) {
    return e.what();
  }
  return "no TEDSParseException";
}

}  // namespace orvtest

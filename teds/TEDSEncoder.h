#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "onewire/Export.h"
#include "teds/TEDSBasicDatasheet.h"
#include "teds/TEDSTemplate25.h"

// Writes TEDS: the inverse of decoding. A Basic TEDS record and any number of
// template-25 records become the image's bits, each field in the layout the
// decoder reads, followed by zero bits up to a whole byte. Scaled values
// (sensitivities, frequencies, weight, temperature) are encoded as the
// nearest raw value; the result says what every field will read back as.
//
// Values that cannot be encoded are refused with a text that names the field
// (by its member name, which is also its name in JSON data sheets) and the
// range it allows; nothing is encoded then.
class ORVANE_TEDS_API TEDSEncoder {
 public:
  struct Result {
    bool ok = false;
    // Why the record was refused, for instance
    // "modelNumber: 40000 is outside 0 to 32767"; empty when `ok`.
    std::string error;
    // The TEDS image: the bits, zero padded to a whole byte.
    std::vector<uint8_t> image;
    // The records as a decoder will read them back from `image`.
    TEDSBasicDatasheet basic;
    std::vector<TEDSTemplate25::Data> templates;
    // EncodeDS2430A only: the application register (8 bytes) and the memory
    // (32 bytes, the page checksum byte first, then the rest of the image and
    // zero padding).
    std::vector<uint8_t> application;
    std::vector<uint8_t> memory;
  };

  static Result Encode(const TEDSBasicDatasheet& basic,
                       const std::vector<TEDSTemplate25::Data>& templates);

  // As Encode, and lays the image out on one DS2430A: its first 8 bytes in the
  // application register, the rest after the page checksum byte of the
  // memory. An image longer than one device holds is refused.
  static Result EncodeDS2430A(const TEDSBasicDatasheet& basic,
                              const std::vector<TEDSTemplate25::Data>& templates);

  // Lays a whole image that the caller already holds out on one DS2430A, as
  // EncodeDS2430A does; `image`, `application` and `memory` are set, the
  // records are not. Refused when longer than one device holds.
  static Result LayOutDS2430A(const std::vector<uint8_t>& image);

  // The page checksum byte of a DS2430A memory: makes the application
  // register bytes, the checksum byte and the other 31 memory bytes add up to
  // 0 modulo 256.
  static uint8_t PageChecksum(const std::vector<uint8_t>& application,
                              const std::vector<uint8_t>& memory);

  // Dates as "YYYY-MM-DD" (UTC) and seconds since 1970-01-01 UTC. ParseDate
  // accepts exactly that form with a real calendar day; the result is the
  // day's midnight.
  static bool ParseDate(const std::string& text, int64_t& seconds);
  static std::string FormatDate(int64_t seconds);

  // What one field of a data sheet accepts, for forms that check a value as
  // it is typed: the same range the encoder's refusal names. `low` and `high`
  // are in the field's unit (seconds for dates, characters for texts).
  struct FieldLimit {
    enum class Kind { Integer, Scaled, Date, Text };
    std::string name;  // member name, as in JSON data sheets
    bool basic;        // a Basic TEDS field; otherwise a template-25 field
    Kind kind;
    double low;
    double high;
    std::string lowText;   // the ends as the refusal prints them
    std::string highText;
    std::string unit;      // "V/(m/s^2)", "Hz", "g", "*C", "days" or empty
    std::string note;      // what the values stand for, or the characters allowed
  };
  // Every field Encode reads, Basic TEDS first, in image order.
  static std::vector<FieldLimit> FieldLimits();

  // The bytes one DS2430A holds of an image: 8 in the application register
  // and 31 in memory.
  static constexpr std::size_t DS2430A_IMAGE_BYTES = 39;
};

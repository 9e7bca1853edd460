#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "onewire/Export.h"

// Forward-only reader over a TEDS image. A TEDS is a packed bit stream: bit k
// of the image is bit (k mod 8) of byte k / 8, bit 0 being the least
// significant, and every field is read least significant bit first, taking
// its low bits from the earlier byte when it crosses a byte boundary.
//
// The reader does not own the image: the vector must outlive it. It is a
// small value type; copying it copies the cursor, which is how callers keep
// the position of a field they are about to read.
//
// Every reader returns false exactly when the image ends before the field
// does; none of them rejects a value and none of them throws.
class ORVANE_TEDS_API TEDSParser {
 public:
  // The IEEE 1451.4 5-bit character table: code 0 is a space, 1 to 26 are
  // A to Z, then ",", ".", "/", "_" and "@".
  static constexpr const char* CHR5_TABLE = " ABCDEFGHIJKLMNOPQRSTUVWXYZ,./_@";

  explicit TEDSParser(const std::vector<uint8_t>& image);

  // Reads `width` bits (0 to 32). `out` is cleared first and gathers the bits
  // read, also when the image ends inside the field; the reader then stands at
  // the end. A width above 32 cannot be held and fails without reading.
  bool ReadBits(unsigned width, uint32_t& out);
  // As ReadBits, but `out` is written only on success.
  bool ReadUnInt(unsigned width, uint32_t& out);
  // One 5-bit code mapped through the character table.
  bool ReadChr5(char& out);
  // Three 5-bit characters, spaces kept; `out` is untouched on failure.
  bool ReadChr5String(std::string& out);
  // Constant resolution: 5 bits, value = raw * step + start.
  bool ReadConRes(double start, double step, double& out);
  // Constant relative resolution: `width` bits,
  // value = (1 + 2 * tolerance)^raw * start.
  bool ReadConRelRes(unsigned width, double start, double tolerance, double& out);
  // A 16-bit day count since 1998-01-01, as seconds since 1970-01-01 UTC.
  bool ReadDate(int64_t& out);

  // "Bit N: message" for width 1, "Bits N-M: message" otherwise, where N is
  // the reader's position (GetPosition) and M = N + width - 1. Callers pass
  // the reader as it stood before the field, so the text names exactly the
  // field's bits. A width of 0 names no range and is written like width 1.
  std::string FormatError(const std::string& message, unsigned width) const;

  // Index of the next bit to read, counted from the first bit of the image.
  std::size_t GetPosition() const;
  bool AtEnd() const { return current == end; }

  // The value a raw field stands for, computed exactly as the readers do, so
  // that a writer can tell what a raw value will read back as.
  static double ConResValue(uint32_t raw, double start, double step);
  static double ConRelResValue(uint32_t raw, double start, double tolerance);

  // Days from 1970-01-01 to 1998-01-01, the origin of TEDS dates.
  static constexpr int64_t DATE_EPOCH_DAYS = 10227;

 private:
  std::vector<uint8_t>::const_iterator current;
  std::vector<uint8_t>::const_iterator begin;
  std::vector<uint8_t>::const_iterator end;
  uint32_t bit = 0;
};

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Byte strings written in hexadecimal, as the tool's arguments and the bench
// files give them: two digits per byte, upper or lower case, white space
// between whole bytes ("64 80 3a", "64803A" and "6480 3a" are the same).

namespace orvtext {

// Digit value 0-15, or -1 for a character that is not a hexadecimal digit.
int HexDigitValue(char c);

// White space that may separate bytes (the C locale's).
bool IsHexSpace(char c);

// The first run of non-blank characters that does not hold whole bytes.
// Callers word their own messages from it: some name the first bad character,
// some the run.
struct HexFault {
  std::size_t runStart = 0;
  std::size_t runLength = 0;
  // The run's first character that is not a hexadecimal digit, as an index
  // into the whole text; std::string_view::npos when the run only has an odd
  // number of digits.
  std::size_t badAt = std::string_view::npos;

  bool OddLength() const { return runLength % 2 != 0; }
};

// Parses `text`. On success returns no fault and sets `bytes` (empty for a
// text that is empty or blank); otherwise leaves `bytes` as it was.
std::optional<HexFault> ParseHex(std::string_view text, std::vector<uint8_t>& bytes);

// Two upper-case digits.
std::string HexByte(uint8_t value);

// Each byte as two upper-case digits, bytes separated by `separator` (none
// when it is '\0').
std::string FormatHex(const uint8_t* data, std::size_t size, char separator = ' ');

template <typename Bytes>
std::string FormatHex(const Bytes& bytes, char separator = ' ') {
  return FormatHex(bytes.data(), bytes.size(), separator);
}

}  // namespace orvtext

#include "text/HexText.h"

#include <cctype>
#include <utility>

namespace orvtext {

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsHexSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::optional<HexFault> ParseHex(std::string_view text, std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> parsed;
  parsed.reserve(text.size() / 2);
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsHexSpace(text[i])) {
      ++i;
      continue;
    }
    HexFault run;
    run.runStart = i;
    while (i < text.size() && !IsHexSpace(text[i])) {
      if (HexDigitValue(text[i]) < 0 && run.badAt == std::string_view::npos) run.badAt = i;
      ++i;
    }
    run.runLength = i - run.runStart;
    if (run.badAt != std::string_view::npos || run.OddLength()) return run;
    for (std::size_t k = run.runStart; k < i; k += 2) {
      parsed.push_back(static_cast<uint8_t>(HexDigitValue(text[k]) * 16 + HexDigitValue(text[k + 1])));
    }
  }
  bytes = std::move(parsed);
  return std::nullopt;
}

std::string HexByte(uint8_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[value >> 4], kDigits[value & 0x0F]};
}

std::string FormatHex(const uint8_t* data, std::size_t size, char separator) {
  std::string text;
  text.reserve(size * 3);
  for (std::size_t i = 0; i < size; ++i) {
    if (i != 0 && separator != '\0') text += separator;
    text += HexByte(data[i]);
  }
  return text;
}

}  // namespace orvtext

#include "tools/teds/HexText.h"

#include <cctype>
#include <utility>

namespace {

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A character as it can be shown in a message: printable ones as they are,
// others by their code.
std::string Describe(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code >= 0x20 && code < 0x7F) return std::string("'") + c + "'";
  static const char* const kDigits = "0123456789ABCDEF";
  return std::string("byte 0x") + kDigits[code >> 4] + kDigits[code & 0xF];
}

}  // namespace

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes, std::string& error) {
  std::vector<uint8_t> parsed;
  std::size_t i = 0;
  while (i < text.size()) {
    if (IsSpace(text[i])) {
      ++i;
      continue;
    }
    const std::size_t runStart = i;
    while (i < text.size() && !IsSpace(text[i])) {
      if (DigitValue(text[i]) < 0) {
        error = "not hexadecimal: " + Describe(text[i]) + " at position " + std::to_string(i + 1);
        return false;
      }
      ++i;
    }
    if ((i - runStart) % 2 != 0) {
      error = "odd number of hexadecimal digits in \"" + text.substr(runStart, i - runStart) +
              "\" (each byte takes two digits)";
      return false;
    }
    for (std::size_t k = runStart; k < i; k += 2) {
      parsed.push_back(static_cast<uint8_t>(DigitValue(text[k]) * 16 + DigitValue(text[k + 1])));
    }
  }
  if (parsed.empty()) {
    error = "no bytes given";
    return false;
  }
  bytes = std::move(parsed);
  return true;
}

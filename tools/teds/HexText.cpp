#include "tools/teds/HexText.h"

#include "text/HexText.h"

namespace {

// A character as it can be shown in a message: printable ones as they are,
// others by their code.
std::string Describe(char c) {
  const auto code = static_cast<unsigned char>(c);
  if (code >= 0x20 && code < 0x7F) return std::string("'") + c + "'";
  return "byte 0x" + orvtext::HexByte(code);
}

}  // namespace

bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes, std::string& error) {
  std::vector<uint8_t> parsed;
  if (const auto fault = orvtext::ParseHex(text, parsed)) {
    if (fault->badAt != std::string::npos) {
      error = "not hexadecimal: " + Describe(text[fault->badAt]) + " at position " +
              std::to_string(fault->badAt + 1);
    } else {
      error = "odd number of hexadecimal digits in \"" +
              text.substr(fault->runStart, fault->runLength) + "\" (each byte takes two digits)";
    }
    return false;
  }
  if (parsed.empty()) {
    error = "no bytes given";
    return false;
  }
  bytes = std::move(parsed);
  return true;
}

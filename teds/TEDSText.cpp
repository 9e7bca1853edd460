#include "teds/TEDSText.h"

#include "text/Calendar.h"
#include "text/Utf8.h"

namespace {

// Windows-1252 characters of the bytes 80 to 9F hex; 0 marks the five
// undefined bytes, which keep their own value.
const uint16_t kHigh1252[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       //
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

}  // namespace

std::string TEDSText::ToUtf8(const std::string& windows1252) {
  // The device link's texts carry device names in UTF-8; no Windows-1252
  // text of the library is also well-formed UTF-8 beyond ASCII.
  std::wstring unused;
  if (orvtext::Utf8ToWide(windows1252, unused)) return windows1252;
  std::string out;
  out.reserve(windows1252.size());
  for (char c : windows1252) {
    const auto byte = static_cast<unsigned char>(c);
    uint32_t code = byte;
    if (byte >= 0x80 && byte < 0xA0 && kHigh1252[byte - 0x80] != 0) code = kHigh1252[byte - 0x80];
    orvtext::AppendUtf8(code, out);
  }
  return out;
}

bool TEDSText::Utf8ToWide(const std::string& text, std::wstring& out) {
  return orvtext::Utf8ToWide(text, out);
}

std::string TEDSText::WideToUtf8(const std::wstring& text) { return orvtext::WideToUtf8(text); }

std::string TEDSText::DateText(int64_t seconds) { return orvtext::DateText(seconds); }

#include "text/Utf8.h"

#include <cstdint>

namespace orvtext {

bool Utf8ToWide(std::string_view text, std::wstring& out) {
  static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    if (lead < 0x80) {
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    if (sizeof(wchar_t) == 2 && code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (code >> 10));
      out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<wchar_t>(code);
    }
    i += extra + 1;
  }
  return true;
}

void AppendUtf8(uint32_t code, std::string& out) {
  if (code < 0x80) {
    out += static_cast<char>(code);
    return;
  }
  const int extra = code < 0x800 ? 1 : code < 0x10000 ? 2 : 3;
  static const uint8_t kLead[] = {0, 0xC0, 0xE0, 0xF0};
  out += static_cast<char>(kLead[extra] | (code >> (6 * extra)));
  for (int k = extra - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F));
}

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    uint32_t code = static_cast<uint32_t>(text[i]);
    const bool high = code >= 0xD800 && code <= 0xDBFF;
    const uint32_t next = i + 1 < text.size() ? static_cast<uint32_t>(text[i + 1]) : 0;
    if (high && next >= 0xDC00 && next <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(code, out);
  }
  return out;
}

}  // namespace orvtext

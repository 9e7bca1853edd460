#include "devicelink/DeviceNameText.h"

#include <cstdint>

namespace {

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

}  // namespace

std::string DeviceNameText(const std::wstring& name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    uint32_t code = static_cast<uint32_t>(name[i]);
    const bool high = code >= 0xD800 && code <= 0xDBFF;
    const uint32_t next = i + 1 < name.size() ? static_cast<uint32_t>(name[i + 1]) : 0;
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


#pragma once

#include <cstdint>
#include <string>

#include "onewire/Export.h"

// Conversions that hosts outside C++ need: the library's texts are 8-bit
// Windows-1252 (the template-25 messages hold the quotation marks 93 and 94
// hex), while C, Python and JSON hosts expect UTF-8; device names are wide
// strings, while those hosts hand over UTF-8.
struct ORVANE_TEDS_API TEDSText {
  // Every byte becomes its Windows-1252 character in UTF-8. The five bytes
  // that code page leaves undefined (81, 8D, 8F, 90, 9D hex) become the C1
  // control characters of the same value, so no byte is lost. A text that is
  // already well-formed UTF-8 (the device link's texts carry device names
  // so) is returned as it is.
  static std::string ToUtf8(const std::string& windows1252);

  // UTF-8 to a wide text (UTF-16 where wchar_t has 16 bits). False on
  // malformed input: bad lead or continuation bytes, overlong forms,
  // surrogates, code points above 10FFFF hex.
  static bool Utf8ToWide(const std::string& text, std::wstring& out);

  // Wide text (UTF-16 where wchar_t has 16 bits) to UTF-8, as the library
  // prints device names. Surrogate pairs are joined; a lone surrogate, like
  // anything above 10FFFF hex, becomes U+FFFD.
  static std::string WideToUtf8(const std::wstring& text);

  // A calibration date (seconds since 1970-01-01 UTC) as "YYYY-MM-DD", the
  // form the template-25 report prints.
  static std::string DateText(int64_t seconds);

  // The image holds a Basic TEDS after manufacturer ID `id` (17 to 16382);
  // for the other IDs the transducer's Basic TEDS record is only the default.
  static bool HoldsBasicTeds(uint32_t manufacturerID) {
    return manufacturerID >= 17 && manufacturerID <= 16382;
  }
};

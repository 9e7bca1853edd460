#pragma once

#include <cstdint>
#include <string>

#include "orvane/OrvaneExport.h"

namespace orvane {
namespace utils {

// Formats `time` (seconds since 1970-01-01 00:00:00 UTC) with a strftime-style
// wide format. With `utc` true the calendar fields are those of UTC, computed
// without the C library so that every representable date works the same on
// every platform; with `utc` false the local time zone of the process is used.
ORVANE_API std::wstring timeToString(int64_t time, const std::wstring& format, bool utc);

// Narrows a wide text to 8-bit characters: code points below 256 become the
// byte of the same value, every other character becomes '?'.
ORVANE_API std::string wstr2str(const std::wstring& text);

}  // namespace utils
}  // namespace orvane

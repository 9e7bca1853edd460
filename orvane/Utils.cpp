#include "orvane/Utils.h"

#include <ctime>
#include <cwchar>

#include "text/Calendar.h"

namespace orvane {
namespace utils {
namespace {

bool IsLeap(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

std::tm UtcFields(int64_t time) {
  const int64_t days = orvtext::DayOf(time);
  const int64_t secs = time - days * 86400;
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  orvtext::CivilFromDays(days, year, month, day);
  static const int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  std::tm fields{};
  fields.tm_year = static_cast<int>(year - 1900);
  fields.tm_mon = static_cast<int>(month) - 1;
  fields.tm_mday = static_cast<int>(day);
  fields.tm_hour = static_cast<int>(secs / 3600);
  fields.tm_min = static_cast<int>(secs / 60 % 60);
  fields.tm_sec = static_cast<int>(secs % 60);
  fields.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  fields.tm_yday = kDaysBefore[month - 1] + static_cast<int>(day) - 1 +
                   ((month > 2 && IsLeap(year)) ? 1 : 0);
  return fields;
}

std::tm LocalFields(int64_t time) {
  std::tm fields{};
  const std::time_t t = static_cast<std::time_t>(time);
#if defined(_WIN32)
  localtime_s(&fields, &t);
#else
  localtime_r(&t, &fields);
#endif
  return fields;
}

}  // namespace

std::wstring timeToString(int64_t time, const std::wstring& format, bool utc) {
  const std::tm fields = utc ? UtcFields(time) : LocalFields(time);
  if (format.empty()) return std::wstring();
  // wcsftime reports 0 both for "too small" and for an empty result; grow the
  // buffer a few times and give up with an empty text rather than loop.
  for (std::size_t size = 64; size <= 64 * 1024; size *= 4) {
    std::wstring buffer(size, L'\0');
    const std::size_t written = std::wcsftime(&buffer[0], buffer.size(), format.c_str(), &fields);
    if (written > 0) {
      buffer.resize(written);
      return buffer;
    }
  }
  return std::wstring();
}

std::string wstr2str(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    const auto code = static_cast<unsigned long>(c);
    out.push_back(code < 256 ? static_cast<char>(code) : '?');
  }
  return out;
}

}  // namespace utils
}  // namespace orvane

#include "text/Calendar.h"

#include <iomanip>
#include <sstream>

namespace orvtext {

int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(year - era * 400);
  const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = doy - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

// Without negating, which overflows for the smallest 64-bit value.
int64_t DayOf(int64_t seconds) { return seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0); }

std::string DateText(int64_t seconds) {
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(DayOf(seconds), year, month, day);
  std::ostringstream text;
  text << std::setfill('0') << std::setw(4) << year << '-' << std::setw(2) << month << '-'
       << std::setw(2) << day;
  return text.str();
}

}  // namespace orvtext

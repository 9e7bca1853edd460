#pragma once

#include <cstdint>
#include <string>

// Calendar days of the proleptic Gregorian calendar, counted from 1970-01-01,
// computed without the C library so that every date works the same on every
// platform (the TEDS dates run past 2038).

namespace orvtext {

// Days since 1970-01-01 of a civil date, and back.
int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

// The day a time (seconds since 1970-01-01 UTC) falls on, rounding down also
// before 1970.
int64_t DayOf(int64_t seconds);

// The UTC day of a time as "YYYY-MM-DD".
std::string DateText(int64_t seconds);

}  // namespace orvtext

#include <gtest/gtest.h>

#include "orvane/Utils.h"

using orvane::utils::timeToString;
using orvane::utils::wstr2str;

TEST(OrvaneUtils, UtcDatesOfTedsRange) {
  EXPECT_EQ(timeToString(883612800, L"%Y-%m-%d", true), L"1998-01-01");
  EXPECT_EQ(timeToString((8035 + 10227) * int64_t{86400}, L"%Y-%m-%d", true), L"2020-01-01");
  EXPECT_EQ(timeToString((65535 + 10227) * int64_t{86400}, L"%Y-%m-%d", true), L"2177-06-06");
  // Leap day, and the last second of a day.
  EXPECT_EQ(timeToString(951782400, L"%Y-%m-%d", true), L"2000-02-29");
  EXPECT_EQ(timeToString(883612800 + 86399, L"%Y-%m-%d %H:%M:%S", true), L"1998-01-01 23:59:59");
}

TEST(OrvaneUtils, UtcBeforeTheEpochAndEmptyFormat) {
  EXPECT_EQ(timeToString(-1, L"%Y-%m-%d %H:%M:%S", true), L"1969-12-31 23:59:59");
  EXPECT_EQ(timeToString(0, L"", true), L"");
}

TEST(OrvaneUtils, Wstr2strKeepsEightBitCodes) {
  EXPECT_EQ(wstr2str(L"2020-01-01"), "2020-01-01");
  EXPECT_EQ(wstr2str(std::wstring{L'\x93', L'x', L'\x94'}), "\x93x\x94");
  EXPECT_EQ(wstr2str(std::wstring{L'a', static_cast<wchar_t>(0x20AC)}), "a?");
}

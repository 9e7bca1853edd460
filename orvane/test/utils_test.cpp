#include "orvane/Utils.h"

#include <gtest/gtest.h>

namespace {

using orvane::utils::timeToString;
using orvane::utils::wstr2str;

TEST(Utils, UtcDatesAcrossTheTedsRange) {
  EXPECT_EQ(timeToString(883612800, L"%Y-%m-%d", true), L"1998-01-01");
  // The last TEDS day (65535 days after 1998-01-01) lies beyond 2038.
  EXPECT_EQ(timeToString((65535LL + 10227) * 86400, L"%Y-%m-%d", true), L"2177-06-06");
  EXPECT_EQ(timeToString(-1, L"%Y-%m-%d %H:%M:%S", true), L"1969-12-31 23:59:59");
  EXPECT_EQ(timeToString(951782400, L"%Y-%m-%d %j", true), L"2000-02-29 060");
  EXPECT_EQ(timeToString(0, L"", true), L"");
}

TEST(Utils, NarrowingKeepsEightBitCodesAndMarksTheRest) {
  EXPECT_EQ(wstr2str(L"2020-01-01"), "2020-01-01");
  EXPECT_EQ(wstr2str(std::wstring{wchar_t(0x93), L'x', wchar_t(0x94)}), "\x93x\x94");
  EXPECT_EQ(wstr2str(std::wstring{wchar_t(0x2014)}), "?");
  EXPECT_EQ(wstr2str(L""), "");
}

}  // namespace

#include <gtest/gtest.h>

#include <limits>

#include "text/Calendar.h"
#include "text/HexText.h"
#include "text/Utf8.h"

namespace {

using orvtext::HexFault;

TEST(HexText, ParsesWholeBytesBetweenWhiteSpace) {
  for (const char* text : {"64 80 3a", "64803A", "6480 3a", " \t64\r\n80 3A\n"}) {
    std::vector<uint8_t> bytes;
    EXPECT_FALSE(orvtext::ParseHex(text, bytes)) << text;
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x64, 0x80, 0x3A})) << text;
  }
  std::vector<uint8_t> bytes = {1};
  EXPECT_FALSE(orvtext::ParseHex("  ", bytes));
  EXPECT_TRUE(bytes.empty());
}

// The fault names the first run that is not whole bytes, and in it the first
// character that is not a digit, so that callers can word either message.
TEST(HexText, FaultNamesTheFirstBadRunAndCharacter) {
  struct Case {
    const char* text;
    std::size_t runStart, runLength, badAt;
  };
  const std::size_t none = std::string_view::npos;
  const Case cases[] = {
      {"648", 0, 3, none},    {"64 8g 1", 3, 2, 4},  {"6G1", 0, 3, 1},
      {"12 345 6x", 3, 3, none}, {"0x64", 0, 4, 1},   {"64,80", 0, 5, 2},
      {"64\x93", 0, 3, 2},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = {1};
    const auto fault = orvtext::ParseHex(c.text, bytes);
    ASSERT_TRUE(fault) << c.text;
    EXPECT_EQ(fault->runStart, c.runStart) << c.text;
    EXPECT_EQ(fault->runLength, c.runLength) << c.text;
    EXPECT_EQ(fault->badAt, c.badAt) << c.text;
    EXPECT_EQ(bytes, std::vector<uint8_t>{1}) << c.text;
  }
}

TEST(HexText, FormatsUpperCaseWithSeparator) {
  const std::vector<uint8_t> bytes = {0x14, 0x3A, 0x00, 0xFF};
  EXPECT_EQ(orvtext::FormatHex(bytes), "14 3A 00 FF");
  EXPECT_EQ(orvtext::FormatHex(bytes, '\0'), "143A00FF");
  EXPECT_EQ(orvtext::FormatHex(std::vector<uint8_t>{}), "");
  std::vector<uint8_t> back;
  EXPECT_FALSE(orvtext::ParseHex(orvtext::FormatHex(bytes), back));
  EXPECT_EQ(back, bytes);
}

// Days round-trip across leap days, century rules and 1970; times before 1970
// fall on the day before, down to the smallest 64-bit time.
TEST(Calendar, DaysAndDatesAgreeBeforeAndAfter1970) {
  struct Case {
    int64_t seconds;
    const char* text;
  };
  const Case cases[] = {{0, "1970-01-01"},           {-1, "1969-12-31"},
                        {-86400, "1969-12-31"},      {-86401, "1969-12-30"},
                        {951782400, "2000-02-29"},   {4107542400, "2100-03-01"},
                        {-2203891200, "1900-03-01"}, {6545836800, "2177-06-06"}};
  for (const Case& c : cases) {
    const int64_t days = orvtext::DayOf(c.seconds);
    EXPECT_EQ(c.text, orvtext::DateText(c.seconds)) << c.seconds;
    EXPECT_EQ(c.text, orvtext::DateText(days * 86400)) << c.seconds;
    EXPECT_EQ(c.text, orvtext::DateText(days * 86400 + 86399)) << c.seconds;
    int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    orvtext::CivilFromDays(days, year, month, day);
    EXPECT_EQ(days, orvtext::DaysFromCivil(year, month, day)) << c.text;
  }
  EXPECT_EQ(-106751991167301, orvtext::DayOf(std::numeric_limits<int64_t>::min()));
}

TEST(Utf8, DecodesEveryLengthAndRefusesMalformedText) {
  std::wstring wide;
  ASSERT_TRUE(orvtext::Utf8ToWide("M\xC3\x9C" "NCHEN \xE6\x9D\xB1 \xF0\x9F\x98\x80", wide));
  std::wstring expected = L"M\u00DCNCHEN \u6771 ";
  if (sizeof(wchar_t) == 2) {
    expected += static_cast<wchar_t>(0xD83D);
    expected += static_cast<wchar_t>(0xDE00);
  } else {
    expected += static_cast<wchar_t>(0x1F600);
  }
  EXPECT_EQ(wide, expected);

  for (const char* bad : {
           "\xC3",              // ends inside a character
           "\xC3(",             // bad continuation byte
           "\x9C",              // continuation byte without lead
           "\xC0\xAF",          // overlong '/'
           "\xED\xA0\x80",      // a surrogate
           "\xF4\x90\x80\x80",  // past U+10FFFF
           "\xFF",
       }) {
    EXPECT_FALSE(orvtext::Utf8ToWide(bad, wide)) << testing::PrintToString(std::string(bad));
  }
}

}  // namespace

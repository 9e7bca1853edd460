#include <gtest/gtest.h>

#include <string>

#include "teds/TEDSText.h"

TEST(TEDSText, Windows1252BecomesUtf8WithoutLosingAByte) {
  const struct {
    std::string in;
    std::string out;
  } kCases[] = {
      {"plain ASCII\n", "plain ASCII\n"},
      // The quotation marks of the template-25 messages.
      {"[\x93" "01\x94]", "[\xE2\x80\x9C" "01\xE2\x80\x9D]"},
      {"\x80", "\xE2\x82\xAC"},  // euro sign
      // Bytes the code page leaves undefined keep their value as C1 controls.
      {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
      {"\xA0\xFF", "\xC2\xA0\xC3\xBF"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      // A device name in UTF-8, as the device link prints it, stays as it is.
      {"for device M\xC3\x9CNCHEN at address 1", "for device M\xC3\x9CNCHEN at address 1"},
  };
  for (const auto& c : kCases) EXPECT_EQ(TEDSText::ToUtf8(c.in), c.out) << c.in;
}

TEST(TEDSText, Utf8ToWideAcceptsWellFormedTextOnly) {
  std::wstring wide;
  ASSERT_TRUE(TEDSText::Utf8ToWide("SIM-\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", wide));
  const std::wstring expected = sizeof(wchar_t) == 2
                                    ? std::wstring(L"SIM-\u00E9\u20AC") + wchar_t(0xD83D) +
                                          wchar_t(0xDE00)
                                    : std::wstring(L"SIM-\u00E9\u20AC") + wchar_t(0x1F600);
  EXPECT_EQ(wide, expected);
  // And back, as the library prints device names; a lone surrogate (a name
  // UTF-8 cannot have come from) becomes U+FFFD.
  EXPECT_EQ(TEDSText::WideToUtf8(wide), "SIM-\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(TEDSText::WideToUtf8(std::wstring(L"A") + wchar_t(0xDC00) + L"B"), "A\xEF\xBF\xBD" "B");
  for (const char* bad : {"\xC3", "\xC3(", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80",
                          "\xFF", "ok\x80"}) {
    EXPECT_FALSE(TEDSText::Utf8ToWide(bad, wide)) << bad;
  }
}

TEST(TEDSText, DatesAndBasicTedsRange) {
  EXPECT_EQ(TEDSText::DateText(1577836800), "2020-01-01");
  EXPECT_EQ(TEDSText::DateText(883612800), "1998-01-01");
  EXPECT_EQ(TEDSText::DateText(1577836799), "2019-12-31");
  for (uint32_t id : {0u, 1u, 2u, 16u, 16383u}) EXPECT_FALSE(TEDSText::HoldsBasicTeds(id)) << id;
  for (uint32_t id : {17u, 100u, 16382u}) EXPECT_TRUE(TEDSText::HoldsBasicTeds(id)) << id;
}

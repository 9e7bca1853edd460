#include <gtest/gtest.h>

#include "tools/teds/HexText.h"

TEST(HexText, AcceptedForms) {
  std::vector<uint8_t> bytes;
  std::string error;
  for (const char* text : {"64 80 3a", "64803A", "6480 3a", "  64\t80\r\n3A\n"}) {
    ASSERT_TRUE(ParseHexBytes(text, bytes, error)) << text << ": " << error;
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x64, 0x80, 0x3A})) << text;
  }
}

TEST(HexText, RejectedFormsLeaveTheBytes) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"", "no bytes given"},
      {" \n ", "no bytes given"},
      {"648", "odd number of hexadecimal digits in \"648\" (each byte takes two digits)"},
      {"6 4", "odd number of hexadecimal digits in \"6\" (each byte takes two digits)"},
      {"64 8g", "not hexadecimal: 'g' at position 5"},
      {"0x64", "not hexadecimal: 'x' at position 2"},
      {"64,80", "not hexadecimal: ',' at position 3"},
      {"64\x93", "not hexadecimal: byte 0x93 at position 3"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = {1};
    std::string error;
    EXPECT_FALSE(ParseHexBytes(c.text, bytes, error)) << c.text;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(bytes, std::vector<uint8_t>{1});
  }
}

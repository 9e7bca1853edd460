#include <gtest/gtest.h>

#include <cmath>

#include "teds/TEDSBasicDatasheet.h"
#include "teds/TEDSParser.h"
#include "teds/TEDSText.h"
#include "testing/TedsImages.h"
#include "testing/WorkedExample.h"

using orvtest::BitWriter;

TEST(TEDSParser, FieldsAreReadLeastSignificantBitFirstAcrossBytes) {
  const std::vector<uint8_t> image = {0xFF, 0xFF};
  TEDSParser reader(image);
  uint32_t out = 0;
  ASSERT_TRUE(reader.ReadBits(14, out));
  EXPECT_EQ(out, 16383u);
  EXPECT_EQ(reader.GetPosition(), 14u);
  // Only two bits are left: they are gathered and the reader ends.
  EXPECT_FALSE(reader.ReadBits(15, out));
  EXPECT_EQ(out, 3u);
  EXPECT_TRUE(reader.AtEnd());
  EXPECT_EQ(reader.GetPosition(), 16u);

  const std::vector<uint8_t> split = {0xA5, 0x3C};  // a 12-bit field from bit 4
  TEDSParser r2(split);
  ASSERT_TRUE(r2.ReadBits(4, out));
  ASSERT_TRUE(r2.ReadBits(12, out));
  EXPECT_EQ(out, 0x3CAu);
}

TEST(TEDSParser, WidthZeroAndOutOfRangeWidths) {
  const std::vector<uint8_t> empty;
  TEDSParser reader(empty);
  uint32_t out = 7;
  EXPECT_TRUE(reader.ReadBits(0, out));
  EXPECT_EQ(out, 0u);
  EXPECT_EQ(reader.GetPosition(), 0u);

  const std::vector<uint8_t> five(5, 0xFF);
  TEDSParser wide(five);
  EXPECT_TRUE(wide.ReadBits(32, out));
  EXPECT_EQ(out, 0xFFFFFFFFu);
  TEDSParser tooWide(five);
  EXPECT_FALSE(tooWide.ReadBits(33, out));
  EXPECT_EQ(tooWide.GetPosition(), 0u);
}

TEST(TEDSParser, TypedReadersLeaveOutputUntouchedOnFailure) {
  const std::vector<uint8_t> image = {0x1F};
  TEDSParser reader(image);
  uint32_t value = 42;
  EXPECT_FALSE(reader.ReadUnInt(9, value));
  EXPECT_EQ(value, 42u);

  std::string text = "old";
  TEDSParser r2(image);  // one 5-bit code fits, three do not
  EXPECT_FALSE(r2.ReadChr5String(text));
  EXPECT_EQ(text, "old");
}

TEST(TEDSParser, Chr5Table) {
  BitWriter w;
  for (unsigned code : {0u, 1u, 26u, 27u, 28u, 29u, 30u, 31u, 0u, 0u, 0u}) w.Put(code, 5);
  TEDSParser reader(w.bytes);
  std::string seen;
  for (int i = 0; i < 8; ++i) {
    char c = 0;
    ASSERT_TRUE(reader.ReadChr5(c));
    seen.push_back(c);
  }
  EXPECT_EQ(seen, " AZ,./_@");
  std::string spaces;
  ASSERT_TRUE(reader.ReadChr5String(spaces));
  EXPECT_EQ(spaces, "   ");
}

TEST(TEDSParser, ScaledValuesAndDates) {
  BitWriter w;
  w.Put(0, 5).Put(30, 5).Put(31, 5).Put(0, 16).Put(33017, 16);
  w.Put(0, 16).Put(1, 16).Put(65535, 16);
  TEDSParser reader(w.bytes);
  double v = 0;
  ASSERT_TRUE(reader.ReadConRes(15.0, 0.5, v));
  EXPECT_EQ(v, 15.0);
  ASSERT_TRUE(reader.ReadConRes(15.0, 0.5, v));
  EXPECT_EQ(v, 30.0);
  ASSERT_TRUE(reader.ReadConRes(15.0, 0.5, v));  // all ones decodes by the formula
  EXPECT_EQ(v, 30.5);
  ASSERT_TRUE(reader.ReadConRelRes(16, 5e-7, 0.00015, v));
  EXPECT_EQ(v, 5e-7);
  ASSERT_TRUE(reader.ReadConRelRes(16, 5e-7, 0.00015, v));
  // pow evaluated at run time, as the reader does: a compile-time value may be
  // rounded differently from the platform's pow.
  volatile double tolerance = 0.00015;
  EXPECT_EQ(v, std::pow((tolerance + tolerance) + 1.0, 33017.0) * 5e-7);

  int64_t date = 0;
  ASSERT_TRUE(reader.ReadDate(date));
  EXPECT_EQ(date, 883612800);
  ASSERT_TRUE(reader.ReadDate(date));
  EXPECT_EQ(date, 883612800 + 86400);
  ASSERT_TRUE(reader.ReadDate(date));
  EXPECT_EQ(TEDSText::DateText(date), "2177-06-06");
}

TEST(TEDSParser, FormatErrorNamesBitOrRangeWithoutMoving) {
  const std::vector<uint8_t> image(20, 0);
  TEDSParser reader(image);
  uint32_t out = 0;
  ASSERT_TRUE(reader.ReadBits(32, out) && reader.ReadBits(32, out) && reader.ReadBits(10, out));
  EXPECT_EQ(reader.FormatError("Force not supported", 1), "Bit 74: Force not supported");
  EXPECT_EQ(reader.FormatError("x", 11), "Bits 74-84: x");
  EXPECT_EQ(reader.GetPosition(), 74u);
}

TEST(TEDSBasicDatasheet, WorkedExampleAndReport) {
  TEDSParser reader(orvtest::kBasicTeds);
  uint32_t manufacturer = 0;
  ASSERT_TRUE(reader.ReadBits(14, manufacturer));
  TEDSBasicDatasheet basic;
  ASSERT_TRUE(basic.Parse(reader, static_cast<uint16_t>(manufacturer)));
  EXPECT_EQ(reader.GetPosition(), 64u);
  EXPECT_EQ(basic.Print(), orvtest::WorkedBasicReport());
}

TEST(TEDSBasicDatasheet, DefaultAndPartialRecords) {
  EXPECT_EQ(TEDSBasicDatasheet().Print(),
            "Basic TEDS:\n"
            "  Manufacturer ID: 0\n"
            "  Model Number:    0\n"
            "  Version Letter:  A\n"
            "  Version Number:  0\n"
            "  Serial Number:   0\n");

  // The image ends before the serial number: the fields before it are kept,
  // the failing one keeps its old value.
  const std::vector<uint8_t> cut(orvtest::kBasicTeds.begin(), orvtest::kBasicTeds.begin() + 5);
  TEDSParser reader(cut);
  uint32_t manufacturer = 0;
  ASSERT_TRUE(reader.ReadBits(14, manufacturer));
  TEDSBasicDatasheet basic;
  basic.serialNumber = 77;
  EXPECT_FALSE(basic.Parse(reader, static_cast<uint16_t>(manufacturer)));
  EXPECT_EQ(basic.manufacturerID, 100);
  EXPECT_EQ(basic.modelNumber, 1234);
  EXPECT_EQ(basic.versionLetter, 'B');
  EXPECT_EQ(basic.versionNumber, 3);
  EXPECT_EQ(basic.serialNumber, 77u);
}

#include <gtest/gtest.h>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSException.h"
#include "teds/TEDSTransducer.h"
#include "testing/TedsImages.h"
#include "testing/WorkedExample.h"

using orvtest::BitWriter;
using orvtest::TransducerAccess;

namespace {

const std::string kParsePrefix = "Failed to parse TEDS template: ";

const std::string kHeader = "Transducer:[00 00 00 00 00 00 00 00]\n\n";

const std::string kBasicReport = orvtest::WorkedBasicReport();

// Manufacturer ID `id`, then `width` bits of `rest`.
std::vector<uint8_t> WithManufacturer(uint32_t id, uint64_t rest, unsigned width) {
  BitWriter w;
  w.Put(id, 14).Put(rest, width);
  return w.bytes;
}

std::string ParseError(const std::vector<uint8_t>& image) {
  TransducerAccess t(image);
  return orvtest::ParseFailure([&] { t.Parse(); });
}

}  // namespace

TEST(TEDSTransducer, WorkedImageReport) {
  const auto result = TEDSDecoder::Decode(orvtest::WorkedImage());
  ASSERT_TRUE(result.parsed);
  const TEDSTransducer& t = *result.transducer;
  ASSERT_EQ(t.GetTemplates().size(), 1u);
  EXPECT_EQ(t.Print(), kHeader + kBasicReport + "\n" + t.GetTemplates()[0]->Print());
  // Seven bits are left after the template: a selector 0 and no room for an ID.
  EXPECT_EQ(t.PrintErrors(), std::vector<std::string>{kParsePrefix + "Invalid template ID value"});
}

TEST(TEDSTransducer, BasicTedsWithoutTemplate) {
  TransducerAccess t(orvtest::kBasicTeds, {0x14, 0x3A, 0x7F, 0x1B, 0x05, 0, 0, 0xB6});
  t.Parse();
  EXPECT_EQ(t.Print(), "Transducer:[14 3A 7F 1B 05 00 00 B6]\n\n" + kBasicReport);
  EXPECT_EQ(t.PrintErrors(), std::vector<std::string>{kParsePrefix + "Invalid DS bits"});
}

TEST(TEDSTransducer, ManufacturerIdDecidesAboutTheBasicTeds) {
  // 16382 is the highest ID with a Basic TEDS, 17 the lowest.
  for (uint32_t id : {17u, 16382u}) {
    TransducerAccess t(WithManufacturer(id, 0, 50));
    t.Parse();
    EXPECT_EQ(t.GetBasicDatasheet().manufacturerID, id);
    EXPECT_EQ(t.PrintErrors(), std::vector<std::string>{kParsePrefix + "Invalid DS bits"});
  }
  // 16383, 16, 1 and 0 have none: the default record stays and templates are
  // read from bit 14 (here selector 0 with template ID 7).
  for (uint32_t id : {16383u, 16u, 1u, 0u}) {
    TransducerAccess t(WithManufacturer(id, 7u << 2, 10));
    t.Parse();
    EXPECT_EQ(t.GetBasicDatasheet().manufacturerID, 0) << id;
    EXPECT_EQ(t.GetBasicDatasheet().versionLetter, 'A');
    EXPECT_EQ(t.PrintErrors(), std::vector<std::string>{kParsePrefix + "Unknown template 7"});
    EXPECT_NE(t.Print().find("  Manufacturer ID: 0\n"), std::string::npos);
  }
}

TEST(TEDSTransducer, FailuresThatLeaveParse) {
  EXPECT_EQ(ParseError({}), kParsePrefix + "Failed to parse MS");
  EXPECT_EQ(ParseError({0x64}), kParsePrefix + "Failed to parse MS");
  EXPECT_EQ(ParseError(WithManufacturer(2, 0, 50)),
            kParsePrefix + "Embedded Template not supported");
  const std::vector<uint8_t> cut(orvtest::kBasicTeds.begin(), orvtest::kBasicTeds.end() - 1);
  EXPECT_EQ(ParseError(cut), kParsePrefix + "Failed to parse Basic TEDS");

  const auto result = TEDSDecoder::Decode(cut);
  EXPECT_FALSE(result.parsed);
  EXPECT_EQ(result.parseError, kParsePrefix + "Failed to parse Basic TEDS");
  // What was read before the failure stays.
  EXPECT_EQ(result.transducer->GetBasicDatasheet().modelNumber, 1234);
}

TEST(TEDSTransducer, TemplateFailuresAfterTheBasicTeds) {
  const auto bits = [](uint32_t afterSelector, unsigned width) {
    BitWriter w;
    for (uint8_t b : orvtest::kBasicTeds) w.Put(b, 8);
    w.Put(0, 2).Put(25, 8).Put(afterSelector, width);
    return w.bytes;
  };
  // Force select 1 at bit 74; direction 3 at bits 100-101.
  EXPECT_EQ(TEDSDecoder::Decode(bits(1, 1)).transducer->PrintErrors()[0],
            "Failed to parse TEDS template 25: Bit 74: Force not supported");
  EXPECT_EQ(TEDSDecoder::Decode(bits(3u << 26, 28)).transducer->PrintErrors()[0],
            "Failed to parse TEDS template 25: Bits 100-101: Invalid value for %Direction");
  // The worked image cut two bits into %MeasID names all of its 11 bits.
  std::vector<uint8_t> cut = orvtest::WorkedImage();
  cut.resize(21);
  const auto result = TEDSDecoder::Decode(cut);
  EXPECT_TRUE(result.parsed);
  EXPECT_TRUE(result.transducer->GetTemplates().empty());
  EXPECT_EQ(result.transducer->PrintErrors(),
            std::vector<std::string>{
                "Failed to parse TEDS template 25: Bits 166-176: Invalid value for %MeasID"});
}

TEST(TEDSTransducer, ParsingTwiceGivesTheSameResult) {
  std::vector<uint8_t> image = orvtest::WorkedImage();
  image.resize(39, 0);  // as on a DS2430A: zero bytes follow the template
  TransducerAccess t(image);
  t.Parse();
  const std::string report = t.Print();
  const std::vector<std::string> errors = t.PrintErrors();
  t.Parse();
  EXPECT_EQ(t.Print(), report);
  EXPECT_EQ(t.PrintErrors(), errors);
  EXPECT_EQ(t.GetTemplates().size(), 1u);
  EXPECT_EQ(errors, std::vector<std::string>{kParsePrefix + "Unknown template 0"});
}

#include <gtest/gtest.h>

#include "teds/TEDSException.h"
#include "teds/TEDSTemplate.h"
#include "teds/test/TedsTestUtil.h"

using tedstest::TemplateAccess;

namespace {

const std::string kPrefix = "Failed to parse TEDS template: ";

// The text that ends template selection over `image` after `skip` bits.
std::string SelectorFailure(const std::vector<uint8_t>& image, unsigned skip) {
  TEDSParser reader(image);
  uint32_t ignored = 0;
  reader.ReadBits(skip, ignored);
  try {
    TemplateAccess::Parse(reader);
  } catch (const TEDSParseException& e) {
    return e.what();
  }
  return "no TEDSParseException";
}

}  // namespace

TEST(TEDSTemplate, EveryRejectedSelector) {
  struct Case {
    std::vector<uint8_t> bytes;
    unsigned skip;
    std::string message;
  };
  const Case cases[] = {
      {{0x1C, 0x00}, 0, "Unknown template 7"},
      {{0x00, 0x00}, 0, "Unknown template 0"},
      {{0x01}, 0, "Manufacturer-defined template not supported"},
      {{0x02}, 0, "Manufacturer-defined template not supported"},
      {{0x07}, 0, "Embedded Template not supported"},
      {{0x03}, 0, "User data not supported"},
      {{}, 0, "Invalid DS bits"},
      {{0x00}, 7, "Invalid DS bits"},           // one bit left
      {{0xC0}, 6, "Invalid ES bit"},            // selector 3 is the last two bits
      {{0x00}, 0, "Invalid template ID value"}, // six bits left for the ID
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SelectorFailure(c.bytes, c.skip), kPrefix + c.message)
        << "skip " << c.skip << " bytes " << c.bytes.size();
  }
}

TEST(TEDSTemplate, TemplateIdTwentyFiveDispatchesAtBit74) {
  // Selector 0 and ID 25 at image bytes 8 and 9; the zero bits that follow
  // make a template 25 that runs out in %Sens@Ref, which starts at bit 76.
  const std::vector<uint8_t> image = tedstest::Concat(tedstest::kBasicTeds, {0x64, 0x00});
  TEDSParser reader(image);
  uint32_t skipped = 0;
  ASSERT_TRUE(reader.ReadBits(32, skipped) && reader.ReadBits(32, skipped));
  try {
    TemplateAccess::Parse(reader);
    FAIL() << "no exception";
  } catch (const TEDSParse25Exception& e) {  // not derived from TEDSParseException
    EXPECT_STREQ(e.what(),
                 "Failed to parse TEDS template 25: Bits 76-91: Invalid value for %Sens@Ref");
  }
}

TEST(TEDSException, TextsAndClasses) {
  EXPECT_STREQ(TEDSException("plain").what(), "plain");
  EXPECT_STREQ(TEDSParseException("x").what(), "Failed to parse TEDS template: x");
  EXPECT_STREQ(TEDSParse25Exception("x").what(), "Failed to parse TEDS template 25: x");
  const TEDSParse25Exception original("y");
  const TEDSParse25Exception copy = original;  // NOLINT: the copy is the point
  EXPECT_STREQ(copy.what(), original.what());
  try {
    throw TEDSParse25Exception("z");
  } catch (const TEDSParseException&) {
    FAIL() << "a template 25 failure must not look like a selector failure";
  } catch (const TEDSException& e) {
    EXPECT_STREQ(e.what(), "Failed to parse TEDS template 25: z");
  }
}

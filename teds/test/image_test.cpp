#include <gtest/gtest.h>

#include <numeric>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSImage.h"

namespace {

const std::vector<uint8_t> kOtp = {1, 2, 3, 4, 5, 6, 7, 8};  // sum 36

uint8_t Checksum(const std::vector<uint8_t>& range) {
  return static_cast<uint8_t>(256 - std::accumulate(range.begin(), range.end(), 0u) % 256);
}

}  // namespace

TEST(TEDSImage, OnePageCoversTheApplicationRegister) {
  std::vector<uint8_t> memory(32, 0);
  memory[0] = 0xDC;
  std::vector<bool> verdicts;
  const auto image = TEDSImage::Assemble(kOtp, memory, verdicts);
  EXPECT_EQ(verdicts, std::vector<bool>{true});
  std::vector<uint8_t> expected = kOtp;
  expected.resize(39, 0);
  EXPECT_EQ(image, expected);

  memory[5] = 1;  // one data byte changed: the sum is off
  verdicts.clear();
  TEDSImage::Assemble(kOtp, memory, verdicts);
  EXPECT_EQ(verdicts, std::vector<bool>{false});
  EXPECT_EQ(TEDSImage::VerdictText(true), "Compile: GOOD CHECKSUM");
  EXPECT_EQ(TEDSImage::VerdictText(false), "Compile: BAD CHECKSUM");
}

TEST(TEDSImage, LaterAndPartialPagesCoverOnlyThemselves) {
  // 40 bytes: a full page and a page of 8 bytes whose sum is its own.
  std::vector<uint8_t> memory(40, 0);
  memory[0] = 0xDC;
  for (int i = 33; i < 40; ++i) memory[i] = static_cast<uint8_t>(i);
  memory[32] = Checksum({memory.begin() + 33, memory.end()});
  std::vector<bool> verdicts = {false};  // verdicts are appended
  const auto image = TEDSImage::Assemble(kOtp, memory, verdicts);
  EXPECT_EQ(verdicts, (std::vector<bool>{false, true, true}));
  ASSERT_EQ(image.size(), 8u + 31 + 7);
  EXPECT_EQ(image.back(), 39);

  // A partial first page (5 bytes) also covers the application register.
  std::vector<uint8_t> partial = {0, 9, 9, 9, 9};
  partial[0] = Checksum({1, 2, 3, 4, 5, 6, 7, 8, 9, 9, 9, 9});
  verdicts.clear();
  EXPECT_EQ(TEDSImage::Assemble(kOtp, partial, verdicts).size(), 12u);
  EXPECT_EQ(verdicts, std::vector<bool>{true});
}

TEST(TEDSImage, ShortRegisterAndEmptyMemory) {
  std::vector<uint8_t> memory(32, 0);  // all zero: sums to 0 on its own
  std::vector<bool> verdicts;
  const auto image = TEDSImage::Assemble({1, 2, 3}, memory, verdicts);
  EXPECT_EQ(image, std::vector<uint8_t>(31, 0));
  EXPECT_EQ(verdicts, std::vector<bool>{true});

  verdicts.clear();
  EXPECT_EQ(TEDSImage::Assemble(kOtp, {}, verdicts), kOtp);
  EXPECT_TRUE(verdicts.empty());
  // Only the first 8 register bytes belong to the image.
  EXPECT_EQ(TEDSImage::Assemble({1, 2, 3, 4, 5, 6, 7, 8, 9}, {}, verdicts), kOtp);
}

TEST(TEDSDecoder, DecodesFromRegisterAndMemory) {
  std::vector<uint8_t> memory(32, 0);
  memory[0] = 0xDC;
  const auto result = TEDSDecoder::DecodeDS2430A(kOtp, memory, {0x14, 1, 2, 3, 4, 5, 6, 7});
  EXPECT_EQ(result.verdicts, std::vector<bool>{true});
  ASSERT_TRUE(result.transducer);
  EXPECT_EQ(result.transducer->GetImage().size(), 39u);
  EXPECT_EQ(result.transducer->GetId()[0], 0x14);
  // 01 02 is manufacturer ID 513; the zero bytes after the Basic TEDS are
  // selector 0 with template ID 0.
  EXPECT_TRUE(result.parsed);
  EXPECT_EQ(result.transducer->GetBasicDatasheet().manufacturerID, 513);
  EXPECT_EQ(result.transducer->PrintErrors(),
            std::vector<std::string>{"Failed to parse TEDS template: Unknown template 0"});
}

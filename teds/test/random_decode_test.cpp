#include <gtest/gtest.h>

#include <random>

#include "teds/TEDSDecoder.h"
#include "teds/test/TedsTestUtil.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Every image yields a report or an error: a transducer that parsed has a
// report and at least one template error, which ended its template list; one
// that did not carries the failure's text.
void ExpectReportOrError(const TEDSDecoder::Result& r, const std::string& what) {
  ASSERT_TRUE(r.transducer) << what;
  if (r.parsed) {
    EXPECT_TRUE(StartsWith(r.transducer->Print(), "Transducer:[")) << what;
    ASSERT_EQ(r.transducer->PrintErrors().size(), 1u) << what;
    EXPECT_TRUE(StartsWith(r.transducer->PrintErrors()[0], "Failed to parse TEDS template"))
        << what;
  } else {
    EXPECT_TRUE(StartsWith(r.parseError, "Failed to parse TEDS template: ")) << what;
  }
}

// mt19937's output is fixed by the standard, so the images are the same on
// every platform.
std::vector<uint8_t> RandomBytes(std::mt19937& rng, std::size_t count) {
  std::vector<uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng() >> 24);
  return bytes;
}

}  // namespace

TEST(TEDSDecoder, RandomImagesGiveAReportOrAnError) {
  std::mt19937 rng(1451);
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> image = RandomBytes(rng, rng() % 48);
    if (i % 2 == 0 && image.size() >= 10) {
      // Force a template 25 after a Basic TEDS so that its paths are walked.
      // Manufacturer ID 8192 to 8447, then selector 0 and template ID 25.
      image[1] = static_cast<uint8_t>((image[1] & 0xC0) | 0x20);
      image[8] = 0x64;
      image[9] = static_cast<uint8_t>(image[9] & 0xFC);
    }
    const auto r = TEDSDecoder::Decode(image);
    ExpectReportOrError(r, "image " + std::to_string(i));
    if (::testing::Test::HasFailure()) return;
  }
}

TEST(TEDSDecoder, TruncatedAndMutatedWorkedImages) {
  const std::vector<uint8_t> worked = tedstest::WorkedImage();
  for (std::size_t n = 0; n <= worked.size(); ++n) {
    ExpectReportOrError(TEDSDecoder::Decode({worked.begin(), worked.begin() + n}),
                        "length " + std::to_string(n));
  }
  std::mt19937 rng(25);
  for (int i = 0; i < 2000; ++i) {
    std::vector<uint8_t> image = worked;
    image.resize(worked.size() + rng() % 30, static_cast<uint8_t>(rng()));
    const std::size_t flip = rng() % (image.size() * 8);
    image[flip / 8] = static_cast<uint8_t>(image[flip / 8] ^ (1u << (flip % 8)));
    ExpectReportOrError(TEDSDecoder::Decode(image), "mutation " + std::to_string(i));
  }
}

TEST(TEDSDecoder, RandomRegisterAndMemoryDumps) {
  std::mt19937 rng(2430);
  for (int i = 0; i < 1000; ++i) {
    const auto otp = RandomBytes(rng, rng() % 12);
    const auto memory = RandomBytes(rng, rng() % 100);
    const auto r = TEDSDecoder::DecodeDS2430A(otp, memory);
    EXPECT_EQ(r.verdicts.size(), (memory.size() + 31) / 32);
    ExpectReportOrError(r, "dump " + std::to_string(i));
  }
}

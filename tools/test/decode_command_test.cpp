#include <gtest/gtest.h>

#include <sstream>

#include "tools/teds/TedsApp.h"
#include "teds/test/WorkedExample.h"

namespace {

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome Teds(const std::vector<std::string>& args, const std::string& input = "") {
  std::istringstream in(input);
  std::ostringstream out, err;
  TedsStreams streams{in, out, err};
  const int status = RunTeds(args, streams);
  return {status, out.str(), err.str()};
}

const std::string kBasic = "64 80 34 41 0C 40 E2 01";
const std::string kTemplate = "64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00";

const std::string kBasicReport = "Transducer:[00 00 00 00 00 00 00 00]\n\n" + WorkedBasicReport();
const std::string kTemplateReport = "\n" + WorkedTemplate25Report();

}  // namespace

TEST(DecodeCommand, ImageReportThenErrors) {
  const Outcome r = Teds({"decode", "--image", kBasic + " " + kTemplate});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBasicReport + kTemplateReport +
                       "Failed to parse TEDS template: Invalid template ID value\n");
  EXPECT_EQ(r.err, "");
  // Lower case and no spaces give the same.
  EXPECT_EQ(Teds({"decode", "--image", "648034410c40e201"}).out,
            kBasicReport + "Failed to parse TEDS template: Invalid DS bits\n");
}

TEST(DecodeCommand, StandardInputWhenNoOptionIsGiven) {
  const Outcome r = Teds({"decode"}, kBasic + "\r\n" + kTemplate + "\r\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, Teds({"decode", "--image", kBasic + kTemplate}).out);
}

TEST(DecodeCommand, ParseFailureIsOneLineAndStatusOne) {
  const Outcome r = Teds({"decode", "--image", "64 80 34"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "Template Parse Error : Failed to parse TEDS template: Failed to parse Basic TEDS\n");
  EXPECT_EQ(Teds({"decode", "--image", "64"}).out,
            "Template Parse Error : Failed to parse TEDS template: Failed to parse MS\n");
}

TEST(DecodeCommand, TemplateErrorsKeepTheQuoteBytes) {
  // Basic TEDS, selector 0, ID 25, acceleration, extended group; the image
  // ends inside %Sens@Ref case 01 (bits 79-94).
  const Outcome r = Teds({"decode", "--image", kBasic + " 64 08 00"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kBasicReport +
                       "Failed to parse TEDS template 25: Bits 79-94: Invalid value for "
                       "%Sens@Ref[\x93" "01\x94]\n");
}

TEST(DecodeCommand, DS2430AVerdictsComeFirst) {
  const std::string memory = "6F" + kTemplate + std::string(32, '0');
  Outcome r = Teds({"decode", "--ds2430a", kBasic, memory});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Compile: GOOD CHECKSUM\n" + kBasicReport + kTemplateReport +
                       "Failed to parse TEDS template: Unknown template 0\n");

  // Two pages, the first one bad; then a register too short for a Basic
  // TEDS, which the parse failure reports after the verdicts.
  r = Teds({"decode", "--ds2430a", kBasic, "00" + memory.substr(2) + "0000"});
  const std::string verdicts = "Compile: BAD CHECKSUM\nCompile: GOOD CHECKSUM\n";
  EXPECT_EQ(r.out.substr(0, verdicts.size()), verdicts);
  r = Teds({"decode", "--ds2430a", "6480", "00"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "Compile: GOOD CHECKSUM\n"
            "Template Parse Error : Failed to parse TEDS template: Failed to parse MS\n");
}

TEST(DecodeCommand, BadInputIsStatusTwoWithNothingOnStandardOutput) {
  const std::vector<std::vector<std::string>> bad = {
      {"decode", "--image", "6G"},
      {"decode", "--json", "--image", "6G"},
      {"decode", "--image", "648"},
      {"decode", "--image", ""},
      {"decode", "--ds2430a", kBasic, "zz"},
      {"decode", "--ds2430a", kBasic},
      {"decode", "--image", kBasic, "--ds2430a", kBasic, "00"},
      {"decode", "--colour"},
      {"frobnicate"},
      {},
  };
  for (const auto& args : bad) {
    const Outcome r = Teds(args);
    EXPECT_EQ(r.status, 2) << testing::PrintToString(args);
    EXPECT_EQ(r.out, "") << testing::PrintToString(args);
    EXPECT_NE(r.err, "") << testing::PrintToString(args);
  }
  const Outcome empty = Teds({"decode"}, "  \n");
  EXPECT_EQ(empty.status, 2);
  EXPECT_EQ(empty.err, "teds decode: standard input: no bytes given\n");
}

TEST(DecodeCommand, HelpExplainsTheFormats) {
  const Outcome top = Teds({"--help"});
  EXPECT_EQ(top.status, 0);
  EXPECT_NE(top.out.find("decode"), std::string::npos);
  EXPECT_NE(top.out.find("Examples:"), std::string::npos);
  const Outcome sub = Teds({"decode", "--help"});
  EXPECT_EQ(sub.status, 0);
  for (const char* text : {"--image", "--ds2430a", "standard input", "Exit status", "teds decode --image"}) {
    EXPECT_NE(sub.out.find(text), std::string::npos) << text;
  }
}

// The examples that the help shows work as shown.
TEST(DecodeCommand, HelpExamplesRun) {
  const std::string help = Teds({"decode", "--help"}).out;
  const std::size_t image = help.find("teds decode --image \"");
  ASSERT_NE(image, std::string::npos);
  const std::size_t open = help.find('"', image);
  const std::string hex = help.substr(open + 1, help.find('"', open + 1) - open - 1);
  EXPECT_EQ(Teds({"decode", "--image", hex}).out,
            kBasicReport + kTemplateReport +
                "Failed to parse TEDS template: Invalid template ID value\n");

  const std::size_t dump = help.find("--ds2430a 648034410C40E201 \\\n    ");
  ASSERT_NE(dump, std::string::npos);
  const std::size_t memory = help.find("6F", dump);
  const std::string memoryHex = help.substr(memory, help.find('\n', memory) - memory);
  const Outcome r = Teds({"decode", "--ds2430a", "648034410C40E201", memoryHex});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Compile: GOOD CHECKSUM\n" + kBasicReport + kTemplateReport +
                       "Failed to parse TEDS template: Unknown template 0\n");
}

TEST(DecodeCommand, InteractiveInputIsAnnounced) {
  std::istringstream in(kBasic);
  std::ostringstream out, err;
  TedsStreams streams{in, out, err, true};
  EXPECT_EQ(RunTeds({"decode"}, streams), 0);
  EXPECT_NE(err.str().find("standard input"), std::string::npos);
}

#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>

#include "tools/teds/TedsApp.h"
#include "testing/ToolRun.h"
#include "testing/WorkedExample.h"

namespace {

using orvtest::Outcome;
using orvtest::Teds;

const std::string kBasic = "64 80 34 41 0C 40 E2 01";
const std::string kTemplate = "64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00";

const std::string kBasicReport =
    "Transducer:[00 00 00 00 00 00 00 00]\n\n" + orvtest::WorkedBasicReport();
const std::string kTemplateReport = "\n" + orvtest::WorkedTemplate25Report();

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

  // The page verdict of a bad checksum comes first all the same.
  r = Teds({"decode", "--ds2430a", kBasic, "00" + memory.substr(2)});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 23), "Compile: BAD CHECKSUM\nT");
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

// Every input the tool refuses: the exact message and exit status 2.
TEST(DecodeCommand, RefusedInputNamesTheProblem) {
  const std::string memory = "6F" + kTemplate + std::string(32, '0');
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"decode", "--ds2430a", "648034410C40E2", memory},
       "teds decode: --ds2430a application register: 7 bytes given; a DS2430A's application "
       "register holds 8\n"},
      {{"decode", "--ds2430a", kBasic + "00", memory},
       "teds decode: --ds2430a application register: 9 bytes given; a DS2430A's application "
       "register holds 8\n"},
      {{"decode", "--ds2430a", kBasic, memory.substr(2)},
       "teds decode: --ds2430a memory: 31 bytes given; a DS2430A's memory holds 32\n"},
      {{"decode", "--ds2430a", kBasic, memory + "00"},
       "teds decode: --ds2430a memory: 33 bytes given; a DS2430A's memory holds 32\n"},
      {{"frobnicate", "--image", "64"},
       "teds: unknown command 'frobnicate'; the commands are decode, query, bench, "
       "serial-emulator, encode, write, scan, serve (teds --help describes them)\n"},
  };
  for (const Case& c : cases) {
    const Outcome r = Teds(c.args);
    EXPECT_EQ(r.status, TEDS_EXIT_BAD_INPUT) << c.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
}

// Standard input that never ends: NUL bytes, or hex without end.
class EndlessInput : public std::streambuf {
 public:
  explicit EndlessInput(std::string pattern) : pattern(std::move(pattern)) {}

 protected:
  int_type underflow() override {
    setg(&pattern[0], &pattern[0], &pattern[0] + pattern.size());
    return traits_type::to_int_type(pattern[0]);
  }

 private:
  std::string pattern;
};

TEST(DecodeCommand, EndlessStandardInputIsRefusedWithoutReadingItAll) {
  const struct {
    std::string pattern;
    std::string err;
  } cases[] = {
      {std::string(1, '\0'), "teds decode: standard input: not hexadecimal: byte 0x00 at position 1\n"},
      {"64 80 34 ", "teds decode: standard input: more than 65536 characters, far more than a TEDS "
                    "image takes\n"},
  };
  for (const auto& c : cases) {
    EndlessInput endless(c.pattern);
    std::istream in(&endless);
    std::ostringstream out, err;
    TedsStreams streams{in, out, err};
    EXPECT_EQ(RunTeds({"decode"}, streams), TEDS_EXIT_BAD_INPUT);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(err.str(), c.err);
  }
}

// Standard output that takes nothing, like a full disk or a closed pipe.
class FullOutput : public std::streambuf {
 protected:
  int_type overflow(int_type) override { return traits_type::eof(); }
  std::streamsize xsputn(const char*, std::streamsize) override { return 0; }
};

TEST(TedsApp, FailedWriteOfTheOutputIsReportedWithStatusFour) {
  const std::vector<std::vector<std::string>> commands = {
      {"decode", "--image", kBasic},
      {"decode", "--image", "64"},  // a parse failure's line is lost too
      {"bench"},
      {"--help"},
      {"query", "--poll-ms", "0", "--quiet"},
  };
  for (const auto& args : commands) {
    FullOutput full;
    std::ostream out(&full);
    std::istringstream in;
    std::ostringstream err;
    TedsStreams streams{in, out, err};
    EXPECT_EQ(RunTeds(args, streams), TEDS_EXIT_OUTPUT_FAILED) << testing::PrintToString(args);
    EXPECT_EQ(err.str(),
              "teds: standard output could not be written (disk full, or the output closed); what "
              "was printed is incomplete\n");
  }
}

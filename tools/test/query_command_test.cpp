// `teds query` end to end: the tool, the library, the device-library stand-in
// and the simulated device, with the relay's answer pause at 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "simdevice/Bench.h"
#include "testing/Roms.h"
#include "tools/teds/QueryCommand.h"
#include "tools/teds/TedsApp.h"
#include "testing/ToolRun.h"
#include "testing/WorkedExample.h"
#include "text/HexText.h"

namespace {

using nlohmann::json;
using orvtest::BenchFile;
using orvtest::Outcome;
using orvtest::Teds;

Outcome Query(const json& bench, double timeout = 5, const std::string& searchPasses = "2") {
  BenchFile file(bench);
  std::ostringstream seconds;
  seconds << timeout;
  return Teds({"query", "--bench", file.path, "--poll-ms", "0", "--quiet", "--timeout-s",
               seconds.str(), "--search-passes", searchPasses});
}

json DefaultBench() { return json::parse(simdevice::DefaultBenchJson()); }

std::string Hex(const std::vector<uint8_t>& bytes) { return orvtext::FormatHex(bytes); }

std::vector<uint8_t> Rom(uint8_t serial, uint8_t family = 0x14) {
  const orvtest::RomBytes rom =
      orvtest::WithCrc({family, serial, 0x11, 0x22, 0x33, 0x44, 0x55, 0});
  return {rom.begin(), rom.end()};
}

// A DS2430A bench entry holding a 39-byte image with a correct checksum.
json Ds2430a(const std::vector<uint8_t>& rom, std::vector<uint8_t> image) {
  image.resize(39, 0);
  unsigned sum = 0;
  for (uint8_t b : image) sum += b;
  std::vector<uint8_t> memory = {static_cast<uint8_t>((256 - sum % 256) % 256)};
  memory.insert(memory.end(), image.begin() + 8, image.end());
  return {{"rom", Hex(rom)},
          {"application", Hex({image.begin(), image.begin() + 8})},
          {"memory", Hex(memory)}};
}

const std::vector<uint8_t> kSensor = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01,
                                      0x64, 0x90, 0x0F, 0xF8, 0x64, 0x06, 0x29, 0x1C,
                                      0xFB, 0x08, 0x62, 0xB4, 0x45, 0x01, 0x00};

const std::string kDefaultReport =
    "TEDS BusListener\n"
    "  Protocol: 1W-RELAY 1.0\n"
    "  Vendor: Simulated relay\n"
    "Transducers Found:\n"
    "  [14 3A 7F 1B 05 00 00 B6]\n"
    "Compile: GOOD CHECKSUM\n" +
    orvtest::WorkedSensorOutput("14 3A 7F 1B 05 00 00 B6");

TEST(QueryCommand, BuiltInBenchPrintsExactlyTheHostListenersTexts) {
  const Outcome outcome = Teds({"query", "--poll-ms", "0", "--quiet"});
  EXPECT_EQ(TEDS_EXIT_OK, outcome.status) << outcome.err;
  EXPECT_EQ(kDefaultReport, outcome.out);
  EXPECT_EQ("", outcome.err);
}

TEST(QueryCommand, ProgressGoesToStandardErrorOnly) {
  const Outcome outcome = Teds({"query", "--poll-ms", "0"});
  EXPECT_EQ(kDefaultReport, outcome.out);
  for (const char* note : {"handshake", "configuration: transfer sent (10 bytes)",
                           "search: transfer sent (26 bytes)", "reading: transfer sent",
                           "waiting for the relay's answer"}) {
    EXPECT_NE(std::string::npos, outcome.err.find(note)) << note;
  }
}

TEST(QueryCommand, SeveralSensorsAreReportedInSearchOrder) {
  json bench = DefaultBench();
  json& devices = bench["channels"][0]["devices"];
  devices = json::array();
  for (uint8_t serial : {0x03, 0x01, 0x02}) devices.push_back(Ds2430a(Rom(serial), kSensor));
  const Outcome outcome = Query(bench);
  EXPECT_EQ(TEDS_EXIT_OK, outcome.status) << outcome.err;
  // Packed search passes change the round trips, not what the host hears.
  for (const char* passes : {"1", "3", "max"}) {
    const Outcome packed = Query(bench, 5, passes);
    EXPECT_EQ(TEDS_EXIT_OK, packed.status) << passes << packed.err;
    EXPECT_EQ(outcome.out, packed.out) << passes;
  }
  // The standard ROM search takes the 0 branch first, bit by bit from the
  // least significant: serial 02 comes before 01, and 01 before 03.
  const std::vector<uint8_t> order = {0x02, 0x01, 0x03};
  std::string found = "Transducers Found:\n";
  for (uint8_t serial : order) found += "  [" + Hex(Rom(serial)) + "]\n";
  EXPECT_NE(std::string::npos, outcome.out.find(found));
  std::size_t last = 0;
  for (uint8_t serial : order) {
    const std::size_t at = outcome.out.find("Transducer:[" + Hex(Rom(serial)) + "]");
    ASSERT_NE(std::string::npos, at);
    EXPECT_LT(last, at);
    last = at;
  }
}

TEST(QueryCommand, NodeListIsOneTransducerUnderTheListIdentity) {
  json bench = DefaultBench();
  json& devices = bench["channels"][0]["devices"];
  std::vector<uint8_t> list = {0x01, 0x00, 0x01};
  const std::vector<uint8_t> member = Rom(0x07);
  list.insert(list.end(), member.begin(), member.end());
  devices = json::array({Ds2430a(Rom(0x09), list), Ds2430a(member, kSensor)});
  const Outcome outcome = Query(bench);
  EXPECT_EQ(TEDS_EXIT_OK, outcome.status) << outcome.err;
  EXPECT_NE(std::string::npos, outcome.out.find("Transducer:[" + Hex(Rom(0x09)) + "]"));
  EXPECT_EQ(std::string::npos, outcome.out.find("Transducer:[" + Hex(member) + "]"));
  EXPECT_NE(std::string::npos, outcome.out.find("  Manufacturer ID: 100\n"));
}

TEST(QueryCommand, BadArgumentsAndBadBenchesExitWithTwoAndNothingOnStandardOutput) {
  const Outcome channel = Teds({"query", "--channel", "8", "--quiet"});
  EXPECT_EQ(TEDS_EXIT_BAD_INPUT, channel.status);
  EXPECT_EQ("", channel.out);
  EXPECT_NE(std::string::npos, channel.err.find("TEDS channel 8 does not exist"));
  // No JSON document either: bad input is not a query result.
  const Outcome asJson = Teds({"query", "--channel", "8", "--quiet", "--json"});
  EXPECT_EQ(TEDS_EXIT_BAD_INPUT, asJson.status);
  EXPECT_EQ("", asJson.out);

  json bench = DefaultBench();
  bench["channels"][0]["channel"] = 9;
  const Outcome badChannel = Query(bench);
  EXPECT_EQ(TEDS_EXIT_BAD_INPUT, badChannel.status);
  EXPECT_EQ("", badChannel.out);
  EXPECT_NE(std::string::npos, badChannel.err.find("channel 9 outside 0-7"));

  const Outcome missing = Teds({"query", "--bench", "/nonexistent/bench.json"});
  EXPECT_EQ(TEDS_EXIT_BAD_INPUT, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("/nonexistent/bench.json"));

  EXPECT_EQ(TEDS_EXIT_BAD_INPUT, Teds({"query", "--timeout-s", "0"}).status);
  for (const char* passes : {"0", "-1", "most", "1000", ""}) {
    const Outcome bad = Teds({"query", "--search-passes", passes, "--quiet"});
    EXPECT_EQ(TEDS_EXIT_BAD_INPUT, bad.status) << passes;
    EXPECT_EQ("", bad.out);
    EXPECT_NE(std::string::npos, bad.err.find("--search-passes")) << passes << bad.err;
  }
}

// Every argument the query refuses: the exact message and exit status 2,
// before any traffic.
TEST(QueryCommand, RefusedArgumentsNameTheProblem) {
  const std::string dir = std::filesystem::temp_directory_path().string();
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"--timeout-s", "1e10"},
       "teds query: --timeout-s 1e+10 is longer than the tool waits (at most 31536000 s, one "
       "year)\n"},
      {{"--timeout-s", "inf"},
       "teds query: --timeout-s inf is longer than the tool waits (at most 31536000 s, one "
       "year)\n"},
      {{"--timeout-s", "nan"}, "teds query: --timeout-s must be greater than 0\n"},
      {{"--timeout-s", "0"}, "teds query: --timeout-s must be greater than 0\n"},
      {{"--bench", ""},
       "teds query: --bench: no file name given (leave out --bench for the built-in bench)\n"},
      {{"--bench", dir}, "teds query: " + dir + ": a directory, not a bench file\n"},
      {{"--device", ""}, "teds query: --device: the name must not be empty\n"},
      {{"--device", "M\xDCNCHEN"}, "teds query: --device: the name is not valid UTF-8\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"query", "--poll-ms", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome outcome = Teds(args);
    EXPECT_EQ(TEDS_EXIT_BAD_INPUT, outcome.status) << c.err;
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ(c.err, outcome.err);
  }
}

// An empty port, file or device name (an unset shell variable) is bad input
// in every command that takes one, written apart or with "=".
TEST(QueryCommand, EmptyPortFileOrNameIsRefusedByEveryCommand) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"query", "--serial", ""}, "teds query: --serial: no port given"},
      {{"query", "--quiet", "--serial="}, "teds query: --serial: no port given"},
      {{"write", "--bench", ""}, "teds write: --bench: no file given"},
      {{"write", "--save-bench", ""}, "teds write: --save-bench: no file given"},
      {{"write", "--device", ""}, "teds write: --device: no name given"},
      {{"write", "--sheet", ""}, "teds write: --sheet: no file given"},
      {{"encode", "--sheet", ""}, "teds encode: --sheet: no file given"},
      {{"serial-emulator", "--bench="}, "teds serial-emulator: --bench: no file given"},
  };
  for (const auto& c : cases) {
    const Outcome outcome = Teds(c.first);
    EXPECT_EQ(TEDS_EXIT_BAD_INPUT, outcome.status) << c.second;
    EXPECT_EQ("", outcome.out);
    EXPECT_EQ(c.second + " (the value is empty; an unset variable?)\n", outcome.err);
  }
}

// Device names are UTF-8 on the command line and in the bench, and the
// library's messages carry them so.
TEST(QueryCommand, DeviceNamesOfAnyScriptAreFoundAndPrintedAsUtf8) {
  const std::string name = "M\xC3\x9CNCHEN-\xE6\x9D\xB1-\xF0\x9F\x98\x80";
  json bench = DefaultBench();
  bench["name"] = name;
  BenchFile file(bench);
  const Outcome found =
      Teds({"query", "--bench", file.path, "--device", name, "--poll-ms", "0", "--quiet"});
  EXPECT_EQ(TEDS_EXIT_OK, found.status) << found.err;
  EXPECT_EQ(kDefaultReport, found.out);

  const std::string other = "\xE6\x9D\xB1\xE4\xBA\xAC";
  const Outcome missing =
      Teds({"query", "--device", other, "--poll-ms", "0", "--quiet", "--timeout-s", "5"});
  EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, missing.status);
  EXPECT_NE(std::string::npos, missing.out.find("request for device " + other + " at address 1"))
      << missing.out;
}

TEST(QueryCommand, BenchCommandPrintsTheBuiltInBench) {
  const Outcome outcome = Teds({"bench"});
  EXPECT_EQ(TEDS_EXIT_OK, outcome.status);
  EXPECT_EQ(DefaultBench(), json::parse(outcome.out));
}

// ---- Sensors beside a bad device ---------------------------------------------

// A device of the bench that yields no transducer, and what the tool prints of
// it after the checksum texts.
struct BadDevice {
  const char* name;
  uint8_t family;
  std::function<json(const std::vector<uint8_t>& rom)> bench;
  std::function<std::string(const std::vector<uint8_t>& rom)> text;
  bool endsEmpty;  // alone on the bus it leaves "No valid templates found"
};

void PrintTo(const BadDevice& bad, std::ostream* out) { *out << bad.name; }

const std::string kParseError = "Template Parse Error : Failed to parse TEDS template: ";

std::vector<BadDevice> BadDevices() {
  return {
      {"ForeignFamily", 0x28, [](const auto& rom) { return json{{"rom", Hex(rom)}}; },
       [](const auto& rom) { return "Node [" + Hex(rom) + "] skipped: family 28 holds no TEDS"; },
       true},
      {"StatusNotLocked", 0x14,
       [](const auto& rom) {
         json device = Ds2430a(rom, kSensor);
         device["status"] = "FF";
         return device;
       },
       [](const auto& rom) {
         return "Node [" + Hex(rom) +
                "] skipped: status FF is not FC (application register not locked)";
       },
       true},
      {"EmbeddedTemplate", 0x14, [](const auto& rom) { return Ds2430a(rom, {0x02, 0x00}); },
       [](const auto&) { return kParseError + "Embedded Template not supported"; }, false},
  };
}

// The ROM search takes the 0 branch first, bit by bit from the least
// significant bit of the family code on.
bool FoundFirst(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  for (unsigned bit = 0; bit < 64; ++bit) {
    const int x = (a[bit / 8] >> (bit % 8)) & 1;
    const int y = (b[bit / 8] >> (bit % 8)) & 1;
    if (x != y) return x < y;
  }
  return false;
}

class QueryCommandBesideBadDevice
    : public ::testing::TestWithParam<std::tuple<BadDevice, int>> {};

TEST_P(QueryCommandBesideBadDevice, PrintsTheOthersAndExitsZeroWhenAnyWasReported) {
  const BadDevice& bad = std::get<0>(GetParam());
  const int count = std::get<1>(GetParam());
  const std::vector<uint8_t> badRom = Rom(static_cast<uint8_t>(count / 2 + 1), bad.family);
  json bench = DefaultBench();
  json& devices = bench["channels"][0]["devices"] = json::array();
  std::vector<std::vector<uint8_t>> roms;
  for (int i = 0; i < count; ++i) {
    roms.push_back(i == count / 2 ? badRom : Rom(static_cast<uint8_t>(i + 1)));
    devices.push_back(i == count / 2 ? bad.bench(badRom) : Ds2430a(roms.back(), kSensor));
  }
  std::sort(roms.begin(), roms.end(), FoundFirst);

  std::string found = "Transducers Found:\n", checksums, reports;
  for (const std::vector<uint8_t>& rom : roms) {
    found += "  [" + Hex(rom) + "]\n";
    if (rom[0] == 0x14) checksums += "Compile: GOOD CHECKSUM\n";
    if (rom != badRom) reports += orvtest::WorkedSensorOutput(Hex(rom));
  }
  const bool none = count == 1;
  const Outcome outcome = Query(bench);
  EXPECT_EQ(none ? TEDS_EXIT_PARSE_ERROR : TEDS_EXIT_OK, outcome.status) << outcome.err;
  EXPECT_EQ(kDefaultReport.substr(0, kDefaultReport.find("Transducers Found:")) + found +
                checksums + bad.text(badRom) + "\n" +
                (none && bad.endsEmpty ? "No valid templates found\n" : "") + reports,
            outcome.out);
}

INSTANTIATE_TEST_SUITE_P(
    OneTwoFiveSensors, QueryCommandBesideBadDevice,
    ::testing::Combine(::testing::ValuesIn(BadDevices()), ::testing::Values(1, 2, 5)),
    [](const ::testing::TestParamInfo<std::tuple<BadDevice, int>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             std::to_string(std::get<1>(info.param));
    });

}  // namespace

// `teds encode` and `teds write` end to end: data sheets to images, and
// programming a simulated sensor through the device library, then reading it
// back with `teds query`.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>

#include "serial/DS2480BQueryMaster.h"
#include "simdevice/Bench.h"
#include "simdevice/DS2430A.h"
#include "simserial/EmulatedPort.h"
#include "teds/TEDSEncoder.h"
#include "testing/ToolRun.h"
#include "testing/WorkedExample.h"
#include "text/HexText.h"
#include "tools/teds/WriteCommand.h"

namespace {

using nlohmann::json;
using orvtest::Outcome;
using orvtest::Teds;
using orvtest::TempFile;

const char kRom[] = "14 3A 7F 1B 05 00 00 B6";

// The worked example's values as a calibration lab types them.
json WorkedSheet() {
  return json::parse(R"({
    "basicTeds": {"manufacturerID": 100, "modelNumber": 1234, "versionLetter": "B",
                  "versionNumber": 3, "serialNumber": 123456},
    "templates": [{"group": "standard", "sensRef": 0.01, "tfHpS": 0.5, "direction": "Z",
                   "weight": 9.5, "sign": "POSITIVE", "transferFunction": false,
                   "refFreq": 98.7, "refTemp": 23, "calDate": "2020-01-01",
                   "calInitials": "ABC", "calPeriod": 365, "measID": 5}]})");
}

const char kWorkedApplication[] = "64 80 34 41 0C 40 E2 01";
const char kWorkedMemory[] =
    "6F 64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "00 00";

std::string FF(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += i == 0 ? "FF" : " FF";
  return text;
}

// A bench with the sensor kRom (blank unless `device` says otherwise) and
// `faults` on its channel.
json Bench(const json& device = json::object(), const json& faults = json::object()) {
  json entry = {{"rom", kRom}, {"status", "FF"}};
  entry.update(device);
  return {{"name", "SIM-DAQ"},
          {"address", 1},
          {"channels",
           json::array({{{"channel", 0}, {"devices", json::array({entry})}, {"faults", faults}}})}};
}

struct Written {
  Outcome outcome;
  json device;  // the sensor's entry in the saved bench
};

Written Write(const json& bench, const json& sheet, std::vector<std::string> extra = {}) {
  TempFile benchFile(bench.dump());
  TempFile sheetFile(sheet.dump());
  TempFile saved;
  std::vector<std::string> args = {
      "write", "--bench", benchFile.path, "--sheet", sheetFile.path, "--rom",   kRom, "--poll-ms",
      "0",     "--quiet", "--timeout-s",  "10",      "--save-bench", saved.path};
  args.insert(args.end(), extra.begin(), extra.end());
  Written w{Teds(args), json()};
  const json savedBench = json::parse(saved.Read(), nullptr, false);
  if (!savedBench.is_discarded()) w.device = savedBench["channels"][0]["devices"][0];
  return w;
}

}  // namespace

TEST(TedsEncode, PrintsImageDumpBenchEntryAndWhatItReadsBackAs) {
  TempFile sheet(WorkedSheet().dump());
  const Outcome outcome = Teds({"encode", "--sheet", sheet.path, "--rom", kRom});
  EXPECT_EQ(TEDS_EXIT_OK, outcome.status) << outcome.err;
  EXPECT_EQ(std::string("Image:       64 80 34 41 0C 40 E2 01 64 90 0F F8 64 06 29 1C FB 08 62 "
                        "B4 45 01 00\n"
                        "Application: 64 80 34 41 0C 40 E2 01\n"
                        "Memory:      ") +
                kWorkedMemory + "\nBench device: {\"rom\": \"" + kRom +
                "\", \"status\": \"FC\", \"application\": \"64 80 34 41 0C 40 E2 01\", "
                "\"memory\": \"" +
                kWorkedMemory +
                "\"}\n\nReads back as:\nCompile: GOOD "
                "CHECKSUM\n" +
                orvtest::WorkedSensorOutput("00 00 00 00 00 00 00 00"),
            outcome.out);

  // Settings on top of a sheet read from standard input.
  const Outcome set = Teds({"encode", "--sheet", "-", "--set", "calInitials=XYZ", "--set",
                            "calDate=2024-05-01", "--set", "serialNumber=7"},
                           WorkedSheet().dump());
  EXPECT_EQ(TEDS_EXIT_OK, set.status) << set.err;
  for (const char* line :
       {"%CalInitials:   XYZ\n", "%CalDate:       2024-05-01\n", "Serial Number:   7\n"}) {
    EXPECT_NE(std::string::npos, set.out.find(line)) << line;
  }
}

TEST(TedsEncode, TakesWhatDecodeJsonWritesAndGivesTheSameImageBack) {
  // The worked image, and one with the extended and transfer-function groups.
  TEDSBasicDatasheet basic;
  basic.manufacturerID = 4000;
  TEDSTemplate25::Data extended;
  extended.extended = true;
  extended.defaultFR = 2;
  extended.sensRef01 = 40000;
  extended.tfHpS10 = 200;
  extended.transferFunction = true;
  extended.tfKPq = 300;
  extended.tempCoef = 33;
  extended.weight = 1;
  extended.refFreq = 100;
  extended.refTemp = 20;
  extended.calInitials = "Q@_";
  const std::string extendedHex = orvtext::FormatHex(TEDSEncoder::Encode(basic, {extended}).image);
  for (const std::string& image :
       {std::string("64 80 34 41 0C 40 E2 01 64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00"),
        extendedHex}) {
    const Outcome decoded = Teds({"decode", "--json", "--image", image});
    ASSERT_EQ(TEDS_EXIT_OK, decoded.status) << decoded.err;
    const Outcome encoded = Teds({"encode", "--sheet", "-"}, decoded.out);
    ASSERT_EQ(TEDS_EXIT_OK, encoded.status) << encoded.err;
    EXPECT_EQ("Image:       " + image + "\n", encoded.out.substr(0, encoded.out.find('\n') + 1));
  }
}

TEST(TedsEncode, RefusesWhatCannotBeEncodedNamingTheFieldWithExitTwo) {
  json extended = WorkedSheet();
  extended["templates"][0]["sensRef01"] = 5;
  json twoTransducers = {{"transducers", json::array({WorkedSheet(), WorkedSheet()})}};
  json disagreeing = WorkedSheet();
  disagreeing["templates"][0]["calDateText"] = "2021-01-01";
  json twoTemplates = WorkedSheet();
  twoTemplates["templates"].push_back(WorkedSheet()["templates"][0]);
  twoTemplates["templates"][1]["weight"] = 1e9;
  const std::string worked = WorkedSheet().dump();
  const std::string duplicate = worked.substr(0, worked.find("\"modelNumber\"")) +
                                "\"modelNumber\":7," +
                                worked.substr(worked.find("\"modelNumber\""));
  const json document = {{"transducers", json::array({WorkedSheet()})}, {"colour", "red"}};
  const std::string deep =
      R"({"templates": [{"weight": )" + std::string(100000, '[') + std::string(100000, ']') + "}]}";
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string err;
  };
  const Case cases[] = {
      {{"--set", "weight=1e9"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].weight: 1e+09 g is outside 0.1 to 9736.85 g\n"},
      // The range stated is the range accepted.
      {{"--set", "weight=10710.5"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].weight: 10710.5 g is outside 0.1 to 9736.85 "
       "g\n"},
      {{"--set", "refTemp=30.7"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].refTemp: 30.7 *C is outside 15 to 30.5 *C\n"},
      {{},
       twoTemplates.dump(),
       "teds encode: standard input: templates[1].weight: 1e+09 g is outside 0.1 to 9736.85 g\n"},
      {{"--set", "modelNumber=1"},
       duplicate,
       "teds encode: standard input: basicTeds.modelNumber: given twice\n"},
      {{}, document.dump(), "teds encode: standard input: colour: unknown field\n"},
      {{"--set", std::string(1000, 'k') + "=1"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0]." + std::string(37, 'k') +
           "...: unknown field\n"},
      // Deep, long, not a number JSON holds, not UTF-8: named by their field,
      // quoted by a short excerpt at most.
      {{},
       deep,
       "teds encode: standard input: templates[0].weight[0][0][0][0][0][0][0][0][0][0][0][0][0]: "
       "nested deeper than 16 levels\n"},
      {{"--set", "weight=" + std::string(200, 'a')},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].weight: \"" + std::string(36, 'a') +
           "... is not a number\n"},
      {{},
       R"({"templates": [{"weight": NaN}]})",
       "teds encode: standard input: templates[0].weight: not valid JSON at line 1, column 27: "
       "syntax error while parsing value - invalid literal\n"},
      {{},
       R"({"templates": [{"weight": 1e999}]})",
       "teds encode: standard input: templates[0].weight: not valid JSON: number overflow "
       "parsing '1e999'\n"},
      {{},
       "{\"templates\": [{\"calInitials\": \"A\xC3\x28\"}]}",
       "teds encode: standard input: templates[0].calInitials: not valid JSON at line 1, column "
       "35: syntax error while parsing value - invalid string: ill-formed UTF-8 byte\n"},
      {{"--set", "calInitials=A\xC3\x28"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].calInitials: byte 195 is not a 5-bit TEDS "
       "character (allowed: space, A to Z, \",\", \".\", \"/\", \"_\" and \"@\")\n"},
      // Initials are three characters on the part: fewer are not padded unseen.
      {{"--set", "calInitials=AB"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].calInitials: \"AB\" has fewer than 3 "
       "characters (the part holds 3: pad with spaces, as \"AB \", to write fewer)\n"},
      // Dates at the ends of 64 bits.
      {{"--set", "calDate=-9223372036854775808"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].calDate: -292277022657-01-27 is outside "
       "1998-01-01 to 2177-06-06\n"},
      {{"--set", "calDate=9223372036854775807"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].calDate: 292277026596-12-04 is outside "
       "1998-01-01 to 2177-06-06\n"},
      {{"--set", "calDate=18446744073709551615"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].calDate: 18446744073709551615 is neither "
       "seconds since 1970 (64 bits) nor a date YYYY-MM-DD\n"},
      {{"--set", "calInitials=abc"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].calInitials: \"a\" is not a 5-bit TEDS character "
       "(allowed: space, A to Z, "
       "\",\", \".\", \"/\", \"_\" and \"@\")\n"},
      {{"--set", "modelNumber=40000"},
       WorkedSheet().dump(),
       "teds encode: standard input: basicTeds.modelNumber: 40000 is outside 0 to 32767\n"},
      {{"--set", "measID=null"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].measID: missing\n"},
      {{"--set", "calDate=2020-02-30"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].calDate: \"2020-02-30\" is not a date "
       "YYYY-MM-DD\n"},
      {{"--set", "direction=W"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].direction: \"W\" is none of \"X\", \"Y\", "
       "\"Z\"\n"},
      {{},
       extended.dump(),
       "teds encode: standard input: templates[0].sensRef01: given, but the group is "
       "\"standard\"\n"},
      {{},
       disagreeing.dump(),
       "teds encode: standard input: templates[0].calDateText: \"2021-01-01\" disagrees with "
       "the value it restates (\"2020-01-01\")\n"},
      {{},
       twoTransducers.dump(),
       "teds encode: standard input: transducers: a data sheet holds exactly one transducer\n"},
      {{"--set", "sensRef=\"x\""},
       "{",
       "teds encode: standard input: not valid JSON at line 1, column 2: syntax error while "
       "parsing object key - unexpected end of input; expected string literal\n"},
      {{}, "[1]", "teds encode: standard input: must be a JSON object\n"},
      {{"--set", "measID=1"},
       "[1]",
       "teds encode: standard input: not a data sheet object with basicTeds and templates\n"},
      {{"--set", "colour=red"},
       WorkedSheet().dump(),
       "teds encode: standard input: templates[0].colour: unknown field\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"encode", "--sheet", "-"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Outcome outcome = Teds(args, c.input);
    EXPECT_EQ(TEDS_EXIT_BAD_INPUT, outcome.status) << c.err;
    EXPECT_EQ(c.err, outcome.err);
    EXPECT_EQ("", outcome.out) << c.err;
  }
  // A directory named as the sheet, to either command.
  const std::string directory = std::filesystem::temp_directory_path().string();
  for (const std::string command : {"encode", "write"}) {
    const Outcome outcome = Teds({command, "--sheet", directory, "--rom", kRom});
    EXPECT_EQ(TEDS_EXIT_BAD_INPUT, outcome.status) << command;
    EXPECT_EQ("teds " + command + ": " + directory + ": is a directory, not a data sheet file\n",
              outcome.err);
  }
}

TEST(TedsWrite, BlankSensorWrittenAndLockedIsReadBackByQueryWithTheValuesAskedFor) {
  json sheet = WorkedSheet();
  sheet["templates"][0]["sensRef"] = 0.0102;
  sheet["templates"][0]["calDate"] = "2024-05-01";
  sheet["templates"][0]["calInitials"] = "XYZ";
  const Written w = Write(Bench(), sheet, {"--lock-application-register"});
  EXPECT_EQ(TEDS_EXIT_OK, w.outcome.status) << w.outcome.err;
  EXPECT_EQ(std::string("Wrote [") + kRom +
                "]: memory programmed with the new contents; application register locked with "
                "the new contents (status FC)\n",
            w.outcome.out);
  EXPECT_EQ("FC", w.device["status"]);

  TempFile written(Bench(w.device).dump());
  const Outcome query = Teds({"query", "--bench", written.path, "--poll-ms", "0", "--quiet"});
  EXPECT_EQ(TEDS_EXIT_OK, query.status) << query.err;
  std::string expected = orvtest::WorkedSensorOutput(kRom);
  for (auto [from, to] : {std::pair<std::string, std::string>{"0.010001", "0.010201"},
                          {"2020-01-01", "2024-05-01"},
                          {"Initials:   ABC", "Initials:   XYZ"}}) {
    expected.replace(expected.find(from), from.size(), to);
  }
  EXPECT_NE(std::string::npos, query.out.find("Compile: GOOD CHECKSUM\n" + expected)) << query.out;
}

// A device named in UTF-8 beyond Latin-1 is written as `query` finds it; a
// name that is not UTF-8 is bad input.
TEST(TedsWrite, DeviceNamesAreUtf8AsForQuery) {
  const std::string name = "M\xC3\x9CNCHEN-\xE6\x9D\xB1-\xF0\x9F\x98\x80";
  json bench = Bench();
  bench["name"] = name;
  const Written w = Write(bench, WorkedSheet(), {"--device", name, "--lock-application-register"});
  EXPECT_EQ(TEDS_EXIT_OK, w.outcome.status) << w.outcome.out << w.outcome.err;
  EXPECT_EQ("FC", w.device["status"]);

  json written = Bench(w.device);
  written["name"] = name;
  TempFile file(written.dump());
  const Outcome query =
      Teds({"query", "--bench", file.path, "--device", name, "--poll-ms", "0", "--quiet"});
  EXPECT_EQ(TEDS_EXIT_OK, query.status) << query.err;
  EXPECT_NE(std::string::npos, query.out.find("Compile: GOOD CHECKSUM\n")) << query.out;

  const Written bad = Write(bench, WorkedSheet(), {"--device", "M\xDCNCHEN"});
  EXPECT_EQ(TEDS_EXIT_BAD_INPUT, bad.outcome.status);
  EXPECT_EQ("teds write: --device: the name is not valid UTF-8\n", bad.outcome.err);
}

// Each way the sequence fails through the relay: the line says where and
// what the part holds, and the saved bench holds exactly that.
TEST(TedsWrite, EachFailureIsReportedAndTheSensorIsLeftAsReported) {
  const std::string fail = std::string("Writing [") + kRom + "] failed at ";
  json otherSerial = WorkedSheet();
  otherSerial["basicTeds"]["serialNumber"] = 654321;
  const json locked = {{"status", "FC"}, {"application", "64 80 34 41 0C 40 E2 01"}};
  struct Case {
    json bench;
    json sheet;
    std::string out;
    std::string status;
    std::string memory;
  };
  std::vector<Case> cases = {
      // The relay refuses the copy (the ninth data exchange, after the reads
      // with their presence probe and the scratchpad): nothing programmed.
      {Bench(json::object(),
             {{"commandFailures", json::array({{{"command", "0A"}, {"skip", 8}, {"count", 1}}})}}),
       WorkedSheet(),
       fail + "copy scratchpad: Remote OneWire transfer failed: CMD_ML_DATA failed. Left on the "
              "device: memory unchanged; application register untouched (status FF)\n",
       "FF", FF(32)},
      // Locked with other contents: refused before anything is written.
      {Bench(locked), otherSerial,
       fail + "read status: the application register is locked with other contents (64 80 34 "
              "41 0C 40 E2 01; the new contents begin 64 80 34 41 0C F1 FB 09). Left on the "
              "device: memory unchanged; application register locked with other contents\n",
       "FC", FF(32)},
      // The sensor leaves the bus after the first reads: no presence any more.
      {Bench(json::object(), {{"dropOff", json::array({{{"rom", kRom}, {"afterAccesses", 5}}})}}),
       WorkedSheet(),
       fail + "write scratchpad: Remote OneWire transfer failed: CMD_ML_ACCESS failed. Left on "
              "the device: memory unchanged; application register untouched (status FF)\n",
       "FF", FF(32)},
  };
  // Locked, but with status FE: hosts read only FC, so it is no part the
  // write may report as done, and the query refuses it too.
  const json partly = {{"status", "FE"}, {"application", kWorkedApplication}};
  cases.push_back(
      {Bench(partly), WorkedSheet(),
       fail + "read status: the status reads FE, not FC: the application register is locked but "
              "not committed, and hosts read only parts with status FC. Left on the device: "
              "memory unchanged; application register locked with the new contents, but not "
              "committed (status FE): hosts read only parts with status FC\n",
       "FE", FF(32)});
  TempFile partlyBench(Bench(partly).dump());
  EXPECT_EQ(TEDS_EXIT_PARSE_ERROR,
            Teds({"query", "--bench", partlyBench.path, "--poll-ms", "0", "--quiet"}).status);
  for (const Case& c : cases) {
    const Written w = Write(c.bench, c.sheet, {"--lock-application-register"});
    EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, w.outcome.status) << c.out << w.outcome.err;
    EXPECT_EQ(c.out, w.outcome.out);
    EXPECT_EQ(c.status, w.device.value("status", "")) << c.out;
    EXPECT_EQ(c.memory, w.device.value("memory", "")) << c.out;
  }
}

TEST(TedsWrite, AGoneSensorBesideAnotherReadsAllHighAndIsNotCopied) {
  json bench =
      Bench(json::object(), {{"dropOff", json::array({{{"rom", kRom}, {"afterAccesses", 5}}})}});
  bench["channels"][0]["devices"].push_back({{"rom", "14 01 5A 00 00 00 00 10"}});
  const Written w = Write(bench, WorkedSheet());
  EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, w.outcome.status);
  EXPECT_EQ(std::string("Writing [") + kRom +
                "] failed at write scratchpad: scratchpad read back " + FF(32) + ", expected " +
                kWorkedMemory +
                " (all FF: is the device still on the bus?). Left on the device: memory "
                "unchanged; application register untouched (status FF)\n",
            w.outcome.out);
  EXPECT_EQ(FF(32), w.device["memory"]);
}

TEST(TedsWrite, LockedSensorWithTheSameRegisterGetsItsMemoryOnly) {
  const json locked = {{"status", "FC"}, {"application", "64 80 34 41 0C 40 E2 01"}};
  const Written w = Write(Bench(locked), WorkedSheet(), {"--lock-application-register"});
  EXPECT_EQ(TEDS_EXIT_OK, w.outcome.status) << w.outcome.err;
  EXPECT_EQ(std::string("Wrote [") + kRom +
                "]: memory programmed with the new contents; application register already "
                "locked with the new contents\n",
            w.outcome.out);
  EXPECT_EQ(kWorkedMemory, w.device["memory"]);
}

// A bench that cannot be saved after a good write: the part is written, and
// the text and the exit status say so rather than "bad input".
TEST(TedsWrite, ABenchNotSavedAfterAGoodWriteHasItsOwnStatus) {
  TempFile bench(Bench().dump());
  TempFile sheet(WorkedSheet().dump());
  const std::string directory = std::filesystem::temp_directory_path().string();
  const Outcome outcome = Teds({"write", "--bench", bench.path, "--sheet", sheet.path, "--rom",
                                kRom, "--poll-ms", "0", "--quiet", "--save-bench", directory});
  EXPECT_EQ(5, outcome.status);
  EXPECT_EQ(0u, outcome.out.rfind("Wrote [", 0)) << outcome.out;
  EXPECT_EQ("teds write: the part was written, but the bench was not saved: " + directory +
                " cannot be written\n",
            outcome.err);
}

TEST(TedsWrite, BadArgumentsExitWithTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{"write", "--rom", kRom},
       "teds write: give the contents: --sheet FILE, --set FIELD=VALUE or --image HEX\n"},
      {{"write", "--rom", "28 01 02 03 04 05 06 07", "--image", "64 80 34 41 0C 40 E2 01"},
       "teds write: --rom: family 28 is not a DS2430A (family 14)\n"},
      {{"write", "--rom", "14 01", "--image", "64"},
       "teds write: --rom: a ROM has 8 bytes, not 2\n"},
      {{"write", "--rom", kRom, "--image", std::string(40 * 2, '0')},
       "teds write: image: 40 bytes do not fit one DS2430A (at most 39: 8 in the application "
       "register, 31 in memory)\n"},
  };
  for (const Case& c : cases) {
    const Outcome outcome = Teds(c.args);
    EXPECT_EQ(TEDS_EXIT_BAD_INPUT, outcome.status) << c.err;
    EXPECT_EQ(c.err, outcome.err);
    EXPECT_EQ("", outcome.out);
  }
  // A ROM that is not on the bus.
  TempFile bench(Bench().dump());
  const Outcome absent = Teds({"write", "--bench", bench.path, "--rom", "14 01 5A 00 00 00 00 10",
                               "--image", "64 80 34 41 0C 40 E2 01", "--poll-ms", "0", "--quiet"});
  EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, absent.status);
  EXPECT_EQ(std::string("Device [14 01 5A 00 00 00 00 10] not found on the bus (found: [") + kRom +
                "])\n",
            absent.out);
}

namespace {

// Checks one claim of a write's report line against the saved sensor: what
// the line says the part holds, the part holds; what it could not prove it
// calls unknown, with a reason.
void ExpectReportMatchesPart(const std::string& line, const json& part, const std::string& what) {
  const std::string memory = part.value("memory", FF(32));
  const std::string application = part.value("application", FF(8));
  const std::string status = part.value("status", "");
  const auto says = [&](const std::string& text) { return line.find(text) != std::string::npos; };
  if (says("memory programmed with the new contents")) {
    EXPECT_EQ(kWorkedMemory, memory) << what;
  } else if (says("memory unchanged")) {
    EXPECT_EQ(FF(32), memory) << what;
  } else if (says("memory holds neither")) {
    EXPECT_NE(kWorkedMemory, memory) << what;
    EXPECT_NE(FF(32), memory) << what;
  } else {
    EXPECT_TRUE(says("memory unknown (could not be read back: device gone)") ||
                says("memory unknown (could not be read back: read failed)"))
        << what;
  }
  if (says("application register locked with the new contents (status FC)") ||
      says("application register already locked with the new contents")) {
    EXPECT_EQ("FC", status) << what;
    EXPECT_EQ(kWorkedApplication, application) << what;
  } else if (says("application register locked with other contents")) {
    EXPECT_EQ("FC", status) << what;
    EXPECT_NE(kWorkedApplication, application) << what;
  } else if (says("application register untouched")) {
    EXPECT_EQ("FF", status) << what;
    EXPECT_EQ(FF(8), application) << what;
  } else if (says("application register not locked")) {
    EXPECT_EQ("FF", status) << what;
  } else {
    EXPECT_TRUE(says("application register unknown (could not be read back: device gone)") ||
                says("application register unknown (could not be read back: read failed)"))
        << what;
  }
  const std::size_t at = line.find("(status ");
  if (at != std::string::npos) {
    EXPECT_EQ(status, line.substr(at + 8, 2)) << what;
  }
}

}  // namespace

Written WriteThroughTheRelay(const json& bench) {
  return Write(bench, WorkedSheet(), {"--lock-application-register"});
}

// `teds write --serial` on an emulated DS2480B adapter with the bench's first
// channel; the sensor's entry as the emulated part holds it afterwards.
Written WriteThroughTheAdapter(const json& bench) {
  const simdevice::Bench parsed = simdevice::ParseBench(bench.dump(), "bench");
  const auto port = std::make_shared<simserial::EmulatedPort>(
      std::make_shared<simserial::DS2480BEmulator>(parsed.channels[0]));
  TempFile sheet(WorkedSheet().dump());
  WriteOptions options;
  options.contents.sheetPath = sheet.path;
  options.rom = kRom;
  options.lock = true;
  options.quiet = true;
  options.timeoutS = 10;
  std::istringstream in;
  std::ostringstream out, err;
  TedsStreams streams{in, out, err};
  Written w;
  {
    const int status = RunSerialWriteOn(
        MakeDS2480BQueryMaster(std::make_unique<DS2480BOneWireMaster>(
            port, "emu",
            DS2480BTiming{std::chrono::milliseconds(200), std::chrono::milliseconds(0)})),
        options, streams);
    w.outcome = {status, out.str(), err.str()};
  }
  simdevice::OneWireBus& bus = port->GetEmulator().GetBus();
  bus.Idle();
  const auto* chip = dynamic_cast<const simdevice::DS2430A*>(bus.GetDevices()[0].get());
  w.device = {{"status", orvtext::HexByte(chip->GetStatus())},
              {"application", orvtext::FormatHex(chip->GetApplication())},
              {"memory", orvtext::FormatHex(chip->GetMemory())}};
  return w;
}

// Every position at which the part leaves the bus or the relay refuses an
// access or a data exchange, with the part alone on the bus (it then stops
// answering presence) and beside another sensor (presence still answers and
// the part reads all FF): the report claims nothing the saved bench does not
// hold, and the write always ends; through the device library's relay and
// through a serial adapter.
TEST(TedsWrite, ReportStatesOnlyWhatThePartWasProvedToHold) {
  struct Fault {
    const char* name;
    std::function<json(int)> knob;
  };
  const auto failure = [](const char* command) {
    return [command](int n) {
      return json{
          {"commandFailures", json::array({{{"command", command}, {"skip", n}, {"count", 1}}})}};
    };
  };
  const Fault faults[] = {
      {"dropOff after",
       [](int n) {
         return json{{"dropOff", json::array({{{"rom", kRom}, {"afterAccesses", n}}})}};
       }},
      {"CMD_ML_ACCESS fails after", failure("82")},
      {"CMD_ML_DATA fails after", failure("0A")},
  };
  for (const auto& [master, write] : {std::make_pair("device library", &WriteThroughTheRelay),
                                      std::make_pair("serial adapter", &WriteThroughTheAdapter)}) {
    for (const bool neighbour : {false, true}) {
      for (const Fault& fault : faults) {
        // The adapter has no relay whose commands could fail.
        if (write == &WriteThroughTheAdapter && fault.name[0] != 'd') continue;
        bool reachedTheEnd = false;
        for (int n = 0; n < 40 && !reachedTheEnd; ++n) {
          json bench = Bench(json::object(), fault.knob(n));
          if (neighbour) {
            bench["channels"][0]["devices"].push_back({{"rom", "14 01 5A 00 00 00 00 10"}});
          }
          const Written w = write(bench);
          const std::string what =
              std::string(master) + ", " + fault.name + " " + std::to_string(n) +
              (neighbour ? " beside another sensor: " : " alone: ") + w.outcome.out;
          ASSERT_NE(3, w.outcome.status) << what;
          ExpectReportMatchesPart(w.outcome.out, w.device, what);
          reachedTheEnd = w.outcome.status == TEDS_EXIT_OK;
          EXPECT_EQ(0u, w.outcome.out.rfind(reachedTheEnd ? "Wrote " : "Writing ", 0)) << what;
        }
        EXPECT_TRUE(reachedTheEnd) << master << ", " << fault.name;
      }
    }
  }
}

// A relay that stays silent, a search whose ROM loads fail, a neighbour whose
// ROM arrives with a bad CRC: the write prints the failure and ends at once
// with exit 1, as `teds query` does on the same bench, not at its time-out.
TEST(TedsWrite, EndsAtOnceWhenTheBusOrTheSearchFails) {
  json badNeighbour = Bench(json::object(), {{"corruptSearchCrc", json::array({kRom})}});
  const json benches[] = {
      Bench(json::object(), {{"silentReads", 100}}),
      Bench(json::object(), {{"commandFailures", json::array({{{"command", "00"}}})}}),
      Bench(json::object(), {{"commandFailures", json::array({{{"command", "81"}}})}}),
      badNeighbour,
  };
  for (const json& bench : benches) {
    TempFile file(bench.dump());
    const Outcome query =
        Teds({"query", "--bench", file.path, "--poll-ms", "0", "--quiet", "--timeout-s", "20"});
    const Written w = Write(bench, WorkedSheet());
    EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, w.outcome.status) << bench.dump() << w.outcome.out;
    EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, query.status) << bench.dump() << query.out;
    EXPECT_NE("", w.outcome.out) << bench.dump();
  }
}

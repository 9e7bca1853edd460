// `teds scan` end to end over the simulated device (the relay's answer pause
// at 0), its rows as table, CSV and JSON, and the library scan's stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "devicelink/ZorelQueryMaster.h"
#include "simdevice/Bench.h"
#include "simdevice/SimDevice.h"
#include "teds/TEDSScan.h"
#include "testing/Roms.h"
#include "testing/ToolRun.h"
#include "text/Calendar.h"
#include "text/HexText.h"
#include "tools/teds/ScanCommand.h"
#include "tools/teds/ScanTable.h"

namespace {

using nlohmann::json;
using orvtest::BenchFile;
using orvtest::Outcome;
using orvtest::Teds;

std::string RomHex(uint8_t serial) { return orvtext::FormatHex(orvtest::MakeRom(0x14, serial)); }

// The built-in bench's accelerometer (calibrated 2020-01-01, due 2020-12-31).
json Sensor() { return json::parse(simdevice::DefaultBenchJson())["channels"][0]["devices"][0]; }

json SensorWith(uint8_t serial, const std::string& key, const std::string& value) {
  json sensor = Sensor();
  sensor["rom"] = RomHex(serial);
  sensor[key] = value;
  return sensor;
}

// Channel 0 a sensor, 1 an empty bus, 2 a handshake the device refuses, 3 a
// blank part (skipped), a page with a bad checksum and an image that
// announces an embedded template (parse error).
json ThreeKindsBench() {
  json bench = json::parse(simdevice::DefaultBenchJson());
  bench["name"] = "RACK";
  bench["address"] = 4;
  json& channels = bench["channels"];
  channels.push_back({{"channel", 1}, {"devices", json::array()}});
  channels.push_back({{"channel", 2}, {"devices", {Sensor()}}, {"faults", {{"refuseSetMode", true}}}});
  json bad = SensorWith(0x02, "memory", "70" + Sensor()["memory"].get<std::string>().substr(2));
  json embedded = SensorWith(0x03, "application", "02 00 00 00 00 00 00 00");
  embedded["memory"] = "FE 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                       "00 00 00 00 00 00";
  channels.push_back({{"channel", 3},
                      {"devices", {SensorWith(0x01, "status", "FF"), bad, embedded}}});
  return bench;
}

TEST(ScanCommand, EveryKindOfChannelIsARowWithItsStatus) {
  BenchFile file(ThreeKindsBench());
  const Outcome outcome = Teds({"scan", "--bench", file.path, "--poll-ms", "0", "--quiet", "--json",
                                "--today", "2021-01-01"});
  ASSERT_EQ(TEDS_EXIT_OK, outcome.status) << outcome.err;
  const json document = json::parse(outcome.out);
  EXPECT_EQ("2021-01-01", document["today"]);
  struct Expected {
    const char* where;
    json rom;
    const char* status;
    const char* detail;  // a part of it
    json overdue;
  };
  // A channel's rows in the order of its discovery (the search finds 02 before 01).
  const std::vector<Expected> expected = {
      {"RACK/4/0", "14 3A 7F 1B 05 00 00 B6", "ok", "", true},
      {"RACK/4/1", nullptr, "empty", "", nullptr},
      {"RACK/4/2", nullptr, "failed", "refused the TEDS set-mode request", nullptr},
      {"RACK/4/3", RomHex(0x02), "bad checksum", "checksum", true},
      {"RACK/4/3", RomHex(0x01), "skipped", "status FF is not FC", nullptr},
      {"RACK/4/3", RomHex(0x03), "parse error", "Embedded Template not supported", nullptr},
  };
  const json& rows = document["rows"];
  ASSERT_EQ(expected.size(), rows.size()) << outcome.out;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(expected[i].where, rows[i]["where"]);
    EXPECT_EQ(expected[i].rom, rows[i]["rom"]);
    EXPECT_EQ(expected[i].status, rows[i]["status"]);
    EXPECT_NE(std::string::npos, rows[i]["detail"].get<std::string>().find(expected[i].detail));
    EXPECT_EQ(expected[i].overdue, rows[i]["overdue"]);
  }
  EXPECT_EQ(1234, rows[0]["modelNumber"]);
  EXPECT_EQ("2020-12-31", rows[0]["calDue"]);

  // The table, with progress on standard error and a day before the due day.
  const Outcome table = Teds({"scan", "--bench", file.path, "--poll-ms", "0", "--channels", "0",
                              "--today", "2020-12-31"});
  EXPECT_EQ(TEDS_EXIT_OK, table.status) << table.err;
  EXPECT_EQ(
      "Where     ROM                      Mfr  Model  Ver  Serial  Sensitivity         Dir  Cal date"
      "    Cal due     Status\n"
      "RACK/4/0  14 3A 7F 1B 05 00 00 B6  100  1234   B3   123456  0.010001 V/(m/s^2)  Z    2020-01-01"
      "  2020-12-31  ok\n",
      table.out);
  EXPECT_NE(std::string::npos, table.err.find("teds: RACK/4/0: Transducers Found:"));
}

TEST(ScanCommand, NoSensorReadIsExitOneAndATimeOutIsExitThree) {
  json bench = ThreeKindsBench();
  BenchFile file(bench);
  const Outcome none = Teds({"scan", "--bench", file.path, "--channels", "1-2", "--poll-ms", "0",
                             "--quiet", "--csv"});
  EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, none.status) << none.err;
  // Ports alone scan no device; a port that cannot be opened is a failed row.
  const Outcome port = Teds({"scan", "--serial", "/nonexistent/port", "--quiet"});
  EXPECT_EQ(TEDS_EXIT_PARSE_ERROR, port.status) << port.err;
  EXPECT_EQ(2u, std::count(port.out.begin(), port.out.end(), '\n')) << port.out;
  EXPECT_NE(std::string::npos, port.out.find("/nonexistent/port  -")) << port.out;
  EXPECT_NE(std::string::npos, port.out.find("failed: OneWire Error: ")) << port.out;
  const Outcome slow = Teds({"scan", "--bench", file.path, "--channels", "0", "--poll-ms", "60000",
                             "--timeout-s", "0.2", "--quiet"});
  EXPECT_EQ(3, slow.status);
  EXPECT_NE(std::string::npos, slow.out.find("failed: no answer: the query did not end within 0.2 s"))
      << slow.out;
}

TEST(ScanCommand, BadInputIsRefusedWithAMessageAndNoOutput) {
  BenchFile file(ThreeKindsBench());
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--channels", "8"}, "'8' is not a channel 0-7"},
      {{"--channels", "1,1"}, "channel 1 is given twice"},
      {{"--channels", "3-1"}, "'3-1' is not a channel"},
      {{"--channels", "0,"}, "expected all"},
      {{"--today", "2021-02-29"}, "--today 2021-02-29 is not a date"},
      {{"--json", "--csv"}, "exclude each other"},
      {{"--timeout-s", "0"}, "--timeout-s 0 is not between"},
      {{"--bench", file.path}, "is already given by another bench"},
      {{"--bench", file.path, "--device", "X"}, "--device and --address name one device"},
      {{"--mode", "256"}, "not a TEDS mode"},
  };
  for (const auto& [args, message] : cases) {
    std::vector<std::string> all = {"scan", "--bench", file.path, "--quiet"};
    all.insert(all.end(), args.begin(), args.end());
    const Outcome outcome = Teds(all);
    EXPECT_EQ(TEDS_EXIT_BAD_INPUT, outcome.status) << message;
    EXPECT_EQ("", outcome.out) << message;
    EXPECT_NE(std::string::npos, outcome.err.find(message)) << outcome.err;
  }
}

ScanRow CalibratedRow(uint32_t periodDays) {
  ScanRow row;
  row.place = ScanPlace::Channel("Gerät \"A\", left", 1, 0);
  row.calDate = orvtext::DaysFromCivil(2020, 1, 1) * 86400;
  row.calPeriodDays = periodDays;
  row.status = ScanStatus::Ok;
  return row;
}

TEST(ScanTable, DueDaysOverdueMarksAndCsvQuoting) {
  struct Case {
    uint32_t period;
    const char* today;
    json calDue;
    json overdue;
  };
  const std::vector<Case> cases = {
      {365, "2020-12-31", "2020-12-31", false},  // due today is not overdue yet
      {365, "2021-01-01", "2020-12-31", true},
      {0, "2030-01-01", nullptr, nullptr},  // no period: never due
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.today);
    int64_t today = 0;
    ASSERT_TRUE(ParseDay(c.today, today));
    const json row = ScanRowJson(CalibratedRow(c.period), today);
    EXPECT_EQ(c.calDue, row["calDue"]);
    EXPECT_EQ(c.overdue, row["overdue"]);
    const bool marked = ScanTableText({CalibratedRow(c.period)}, today).find(" OVERDUE") !=
                        std::string::npos;
    EXPECT_EQ(c.overdue == json(true), marked);
  }
  ScanRow failed = ScanRow();
  failed.place = ScanPlace::Port("COM3");
  failed.detail = "line one\nsaid \"no\"";
  int64_t today = 0;
  ASSERT_TRUE(ParseDay("2021-01-01", today));
  const std::string csv = ScanCsv({CalibratedRow(365), failed}, today);
  EXPECT_EQ(0u, csv.find("where,device,address,channel,port,rom,"));
  EXPECT_NE(std::string::npos,
            csv.find("\r\n\"Gerät \"\"A\"\", left/1/0\",\"Gerät \"\"A\"\", left\",1,0,,,"));
  EXPECT_NE(std::string::npos, csv.find(",failed,\"line one\nsaid \"\"no\"\"\"\r\n"));
  // Columns line up by characters, not bytes ("ä" is two bytes in UTF-8).
  std::istringstream table(ScanTableText({CalibratedRow(365), failed}, today));
  std::string header, umlaut, port;
  std::getline(table, header);
  std::getline(table, umlaut);
  std::getline(table, port);
  EXPECT_EQ(header.find("ROM"), port.find('-'));
  EXPECT_EQ(header.find("ROM") + 1, umlaut.find('-'));
}

// A Stop from another thread ends the queries under way at once; a target
// whose master cannot be made fails to start with its reason.
TEST(TEDSScanLibrary, StopEndsTheScanAndAFactoryFailureIsItsRowsReason) {
  simdevice::SimAttachment sim(simdevice::SimDevice::Create(simdevice::DefaultBench()));
  ZorelQuerySettings slow;
  slow.device = L"SIM-DAQ";
  slow.address = 1;
  slow.pollPause = std::chrono::milliseconds(60000);
  std::vector<TEDSScan::Target> targets = {
      {"bad", []() -> QueryMaster { throw std::invalid_argument("no such channel"); }},
      {"slow", [slow] { return MakeZorelQueryMaster(slow); }}};
  TEDSScan scan;
  std::vector<std::size_t> told;
  std::thread stopper([&scan] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    scan.Stop();
  });
  const auto start = std::chrono::steady_clock::now();
  const std::vector<TEDSScan::Result> results =
      scan.Run(targets, std::chrono::seconds(60),
               [&told](std::size_t index, const std::string&) { told.push_back(index); });
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  ASSERT_EQ(2u, results.size());
  EXPECT_EQ(TEDSScan::Outcome::FailedToStart, results[0].outcome);
  EXPECT_EQ("no such channel", results[0].failure);
  EXPECT_EQ(TEDSScan::Outcome::Stopped, results[1].outcome);
  ASSERT_FALSE(told.empty());
  EXPECT_EQ(0u, told[0]);
  const std::vector<ScanRow> rows = ScanRows(ScanPlace::Port("bad"), results[0], 60);
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("no such channel", rows[0].detail);
}

}  // namespace

// Every fault the simulated device can stage, in each phase of a query where
// it bites (handshake, configuration, search, reading): `teds query` ends
// within its time-out with exactly the texts a host would see and the right
// exit status; and the same master, once the fault is gone, queries again
// and finds the sensor.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "devicelink/ZorelQueryMaster.h"
#include "orvane/OrvaneBackend.h"
#include "simdevice/Bench.h"
#include "simdevice/SimDevice.h"
#include "teds/TEDSQuery.h"
#include "teds/TEDSTransducer.h"
#include "tools/teds/QueryCore.h"
#include "tools/teds/TedsApp.h"
#include "testing/ToolRun.h"
#include "testing/WorkedExample.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr double kTimeoutS = 10;

const char kRom[] = "14 3A 7F 1B 05 00 00 B6";

// The pieces of what the host hears from the built-in bench.
const std::string kReady =
    "TEDS BusListener\n"
    "  Protocol: 1W-RELAY 1.0\n"
    "  Vendor: Simulated relay\n";
// Ready after a configuration that failed before the texts were taken.
const std::string kReadyBlank =
    "TEDS BusListener\n"
    "  Protocol: \n"
    "  Vendor: \n";
const std::string kFound = std::string("Transducers Found:\n  [") + kRom + "]\n";
const std::string kCompiled = "Compile: GOOD CHECKSUM\n";
const std::string kReport = kCompiled + orvtest::WorkedSensorOutput(kRom);
const std::string kHealthy = kReady + kFound + kReport;

const std::string kSearchRepeats =
    "Search pass repeated: ROM CRC-8 check failed (repeat 1 of 2)\n"
    "Search pass repeated: ROM CRC-8 check failed (repeat 2 of 2)\n";
const std::string kBusError = "OneWire Error: ";
const std::string kDiscoveryError = "OneWire Discovery Error: Remote OneWire transfer failed: ";
const std::string kMemoryError = "OneWire Memory Error:Remote OneWire transfer failed: ";
const std::string kConfigError = kBusError + "Failed to configure remote: ";
const std::string kSilent = "Relay did not answer";
const std::string kGarbled = "Remote OneWire protocol error";
const std::string kWriteRefused =
    "The device refused the TEDS write request for channel mask 0x01 of device SIM-DAQ at "
    "address 1";

struct FaultCase {
  const char* name;   // test name: fault and phase
  const char* phase;  // where the fault bites
  std::function<void(json& bench)> stage;
  int status;
  std::string out;
};

// Test output names the case rather than dumping its bytes.
void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

json& Channel(json& bench) { return bench["channels"][0]; }
json& Faults(json& bench) { return Channel(bench)["faults"]; }

std::function<void(json&)> Knob(const char* key, json value) {
  return [key, value](json& bench) { Faults(bench)[key] = value; };
}
std::function<void(json&)> Relay(const char* key, json value) {
  return [key, value](json& bench) { Channel(bench)["relay"][key] = value; };
}
std::function<void(json&)> Silent(unsigned afterAnswers) {
  return [afterAnswers](json& bench) {
    Faults(bench)["silentReads"] = 4;
    Faults(bench)["silentAfterAnswers"] = afterAnswers;
  };
}
std::function<void(json&)> CommandFails(const char* command) {
  return Knob("commandFailures", json::array({{{"command", command}}}));
}

std::vector<FaultCase> Cases() {
  const std::string garbledTwice = kBusError + kGarbled + "\n" + kReadyBlank + kBusError +
                                   kGarbled + "\n" + kDiscoveryError + kGarbled + "\n";
  return {
      // Handshake: the device refuses; the master never comes up and says so.
      {"RefuseSetMode_Handshake", "handshake", Knob("refuseSetMode", true), TEDS_EXIT_PARSE_ERROR,
       kBusError +
           "The device refused the TEDS set-mode request for channel mask 0x01 of device "
           "SIM-DAQ at address 1\n"},
      {"RefuseServiceMode_Handshake", "handshake",
       [](json& bench) { bench["faults"]["refuseServiceMode"] = true; }, TEDS_EXIT_PARSE_ERROR,
       kBusError + "The device refused service operating mode 4 (TEDS) for device SIM-DAQ at "
                   "address 1\n"},

      // A relay that stays silent through the whole poll budget, from its
      // first answer on, or only from the search or the reading on.
      {"Silent_Configuration", "configuration", Silent(0), TEDS_EXIT_PARSE_ERROR,
       kConfigError + kSilent + "\n" + kReadyBlank + kDiscoveryError + kSilent + "\n"},
      {"Silent_Search", "search", Silent(1), TEDS_EXIT_PARSE_ERROR,
       kReady + kDiscoveryError + kSilent + "\n"},
      {"Silent_Reading", "reading", Silent(2), TEDS_EXIT_PARSE_ERROR,
       kReady + kFound + kMemoryError + kSilent + "\n"},
      // Three empty reads stay within the budget of four.
      {"SilentWithinPollBudget_AllPhases", "all", Knob("silentReads", 3), TEDS_EXIT_OK, kHealthy},

      // Protocol garbage in place of the first answers. The search fails on
      // its garbage, so three garbled answers end the query where two do.
      {"Garbage_Configuration", "configuration", Knob("garbageAnswers", 1), TEDS_EXIT_OK,
       kBusError + kGarbled + "\n" + kReadyBlank + kFound + kReport},
      {"Garbage_Search", "search", Knob("garbageAnswers", 2), TEDS_EXIT_PARSE_ERROR,
       garbledTwice},
      {"Garbage_Reading", "reading", Knob("garbageAnswers", 3), TEDS_EXIT_PARSE_ERROR,
       garbledTwice},
      // An answer split over several reads is not one outbound block.
      {"OutboundChunks_AllPhases", "all", Knob("outboundChunk", 8), TEDS_EXIT_PARSE_ERROR,
       garbledTwice},

      // The relay answers one command with a halting return code.
      {"ResetFails_Configuration", "configuration", CommandFails("84"), TEDS_EXIT_OK,
       kConfigError + "CMD_RESET failed\n" + kReadyBlank + kFound + kReport},
      {"BusResetFails_Search", "search", CommandFails("80"), TEDS_EXIT_PARSE_ERROR,
       kReady + kDiscoveryError + "CMD_ML_RESET failed\n"},
      {"SearchPassFails_Search", "search", CommandFails("81"), TEDS_EXIT_PARSE_ERROR,
       kReady + kDiscoveryError + "CMD_ML_SEARCH failed\n"},
      {"LaterSearchPassFails_Search", "search",
       Knob("commandFailures", json::array({{{"command", "81"}, {"skip", 1}, {"count", 1}}})),
       TEDS_EXIT_PARSE_ERROR, kReady + kDiscoveryError + "CMD_ML_SEARCH failed\n"},
      {"IdLoadFails_Search", "search", CommandFails("00"), TEDS_EXIT_PARSE_ERROR,
       kReady + kDiscoveryError + "Failed to initialize search ID\n"},
      {"AccessFails_Reading", "reading", CommandFails("82"), TEDS_EXIT_PARSE_ERROR,
       kReady + kFound + kMemoryError + "CMD_ML_ACCESS failed\n"},
      {"AccessNoPresence_Reading", "reading",
       Knob("commandFailures", json::array({{{"command", "82"}, {"code", 1}}})),
       TEDS_EXIT_PARSE_ERROR, kReady + kFound + kMemoryError + "CMD_ML_ACCESS failed\n"},
      {"DataFails_Reading", "reading", CommandFails("0A"), TEDS_EXIT_PARSE_ERROR,
       kReady + kFound + kMemoryError + "CMD_ML_DATA failed\n"},

      // Bus faults. A ROM failing its CRC-8 check is searched for twice more.
      {"CorruptSearchCrc_Search", "search", Knob("corruptSearchCrc", json::array({kRom})),
       TEDS_EXIT_PARSE_ERROR,
       kReady + kSearchRepeats + kDiscoveryError + "CMD_DATA_ID CRC Check failed\n"},
      {"BadRomCrc_Search", "search",
       [](json& bench) { Channel(bench)["devices"][0]["rom"] = "14 3A 7F 1B 05 00 00 B7"; },
       TEDS_EXIT_PARSE_ERROR,
       kReady + kSearchRepeats + kDiscoveryError + "CMD_DATA_ID CRC Check failed\n"},
      {"NoPresence_Search", "search",
       [](json& bench) {
         Channel(bench)["devices"] = json::array();
         Channel(bench)["relay"]["noPresenceCode"] = 1;
       },
       TEDS_EXIT_PARSE_ERROR, kReady + kDiscoveryError + "CMD_ML_RESET failed\n"},
      {"EmptyBus_Search", "search", [](json& bench) { Channel(bench)["devices"] = json::array(); },
       TEDS_EXIT_PARSE_ERROR, kReady + "Transducers Found:\nNo valid templates found\n"},
      {"DropOffAtReadPhase_Reading", "reading",
       Knob("dropOff", json::array({{{"rom", kRom}, {"atReadPhase", true}}})),
       TEDS_EXIT_PARSE_ERROR, kReady + kFound + kMemoryError + "CMD_ML_ACCESS failed\n"},
      {"DropOffAfterOneAccess_Reading", "reading",
       Knob("dropOff", json::array({{{"rom", kRom}, {"afterAccesses", 1}}})),
       TEDS_EXIT_PARSE_ERROR, kReady + kFound + kMemoryError + "CMD_ML_ACCESS failed\n"},
      // A status other than FC: the pages are compiled, the device is named
      // and passed over.
      {"StatusNotFC_Reading", "reading",
       [](json& bench) { Channel(bench)["devices"][0]["status"] = "FD"; }, TEDS_EXIT_PARSE_ERROR,
       kReady + kFound + kCompiled + "Node [" + kRom +
           "] skipped: status FD is not FC (application register not locked)\n"
           "No valid templates found\n"},

      // The device refuses TEDS writes once N have gone through.
      {"RefuseWrites_Configuration", "configuration", Knob("refuseWritesAfter", 0),
       TEDS_EXIT_PARSE_ERROR,
       kBusError + kWriteRefused + "\n" + kReadyBlank + kBusError + kWriteRefused + "\n" +
           kDiscoveryError + kWriteRefused + "\n"},
      {"RefuseWrites_Search", "search", Knob("refuseWritesAfter", 1), TEDS_EXIT_PARSE_ERROR,
       kReady + kBusError + kWriteRefused + "\n" + kDiscoveryError + kWriteRefused + "\n"},
      {"RefuseWrites_Reading", "reading", Knob("refuseWritesAfter", 2), TEDS_EXIT_PARSE_ERROR,
       kReady + kFound + kBusError + kWriteRefused + "\n" + kMemoryError + kWriteRefused + "\n"},

      // Inbound maxima: below 48 the relay's value is refused and 48 kept;
      // at 48 and 49 one DS2430A's 48 bytes of reads travel in two blocks.
      {"InboundMax47_Configuration", "configuration", Relay("inboundMax", 47), TEDS_EXIT_OK,
       kConfigError + "Invalod CMD_DATA_INBOUND_MAX response value\n" + kReadyBlank + kFound +
           kReport},
      {"InboundMax48_Reading", "reading", Relay("inboundMax", 48), TEDS_EXIT_OK, kHealthy},
      {"InboundMax49_Reading", "reading", Relay("inboundMax", 49), TEDS_EXIT_OK, kHealthy},

      // Writes of the search context answered by status or not at all.
      {"WriteAnswerStatus_Search", "search", Relay("writeAnswer", "status"), TEDS_EXIT_OK,
       kHealthy},
      {"WriteAnswerSilent_Search", "search", Relay("writeAnswer", "silent"), TEDS_EXIT_OK,
       kHealthy},
  };
}

json DefaultBench() { return json::parse(simdevice::DefaultBenchJson()); }

json StagedBench(const FaultCase& fault) {
  json bench = DefaultBench();
  fault.stage(bench);
  return bench;
}

// ---- The tool ---------------------------------------------------------------

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, QueryEndsInTimeWithTheExactTexts) {
  const FaultCase& fault = GetParam();
  const orvtest::BenchFile file(StagedBench(fault), "teds_fault_");
  std::ostringstream timeout;
  timeout << kTimeoutS;
  const Clock::time_point start = Clock::now();
  const orvtest::Outcome run = orvtest::Teds(
      {"query", "--bench", file.path, "--poll-ms", "0", "--quiet", "--timeout-s", timeout.str()});
  const std::chrono::duration<double> took = Clock::now() - start;
  EXPECT_LT(took.count(), kTimeoutS) << fault.phase;
  EXPECT_EQ(fault.status, run.status) << fault.phase << "\n" << run.err;
  EXPECT_EQ(fault.out, run.out) << fault.phase;
}

// The JSON document of the same query holds the same texts and reports, in
// the order the text output has them (texts first: no case reports a
// transducer before its last text), and the same exit status. When
// ORVANE_TEDS_JSON_DIR is set the document is left there, one file per case,
// for the schema check.
TEST_P(FaultMatrix, JsonDocumentHoldsTheSameTexts) {
  const FaultCase& fault = GetParam();
  const orvtest::BenchFile file(StagedBench(fault), "teds_fault_");
  const orvtest::Outcome run = orvtest::Teds(
      {"query", "--bench", file.path, "--poll-ms", "0", "--quiet", "--json", "--timeout-s", "10"});
  EXPECT_EQ(fault.status, run.status) << run.err;
  const json document = json::parse(run.out);
  EXPECT_EQ(fault.status, document["exitCode"]);
  EXPECT_FALSE(document["timedOut"].get<bool>());
  std::string heard;
  for (const std::string text : document["texts"]) {
    heard += text;
    if (text.empty() || text.back() != '\n') heard += "\n";
  }
  for (const json& transducer : document["transducers"]) {
    heard += transducer["report"].get<std::string>();
    for (const std::string error : transducer["errors"]) heard += error + "\n";
  }
  EXPECT_EQ(fault.out, heard) << fault.phase;
  if (const char* dir = std::getenv("ORVANE_TEDS_JSON_DIR")) {
    std::ofstream(std::filesystem::path(dir) / (std::string(fault.name) + ".json")) << run.out;
  }
}

// ---- The library, twice on one master ---------------------------------------

// One query, heard as the tool prints it: true when it ended in time.
bool Heard(TEDSQuery& query, std::string& heard, std::size_t& count) {
  std::ostringstream texts;
  ReportWriter writer(texts);
  const TEDSQuery::Result run = query.Run(std::chrono::duration<double>(kTimeoutS), &writer);
  heard = texts.str();
  count = run.transducers;
  return run.outcome == TEDSQuery::Outcome::Ended;
}

TEST_P(FaultMatrix, SameMasterQueriesAgainOnceTheFaultIsGone) {
  const FaultCase& fault = GetParam();
  const simdevice::Bench faulty =
      simdevice::ParseBench(StagedBench(fault).dump(), fault.name);
  const simdevice::Bench healthy = simdevice::DefaultBench();
  auto device = simdevice::SimDevice::Create(faulty);
  ASSERT_TRUE(device->Attach());

  std::string heard;
  std::size_t reported = 0;
  {
    TEDSQuery query(MakeZorelQueryMaster(std::make_unique<ZorelOneWireMaster>(
        healthy.name, healthy.address, 0, ZorelDAQTEDSMode(1), std::chrono::milliseconds(0))));
    ASSERT_TRUE(Heard(query, heard, reported)) << fault.phase << ": no end\n" << heard;
    EXPECT_EQ(fault.out, heard) << fault.phase;

    // Whatever the fault, the master keeps to the relay's reported maxima.
    device->WithRelay(0, [&fault](simdevice::RelayEmulator& relay) {
      EXPECT_EQ(relay.GetLimitBreaches(), std::vector<std::string>{}) << fault.phase;
    });

    // The faulty device goes, a healthy one takes its name and address.
    ASSERT_TRUE(device->Detach());
    device = simdevice::SimDevice::Create(healthy);
    ASSERT_TRUE(device->Attach());
    ASSERT_TRUE(Heard(query, heard, reported)) << fault.phase << ": no end\n" << heard;
    EXPECT_EQ(kHealthy, heard) << fault.phase;
    EXPECT_EQ(1u, reported);
    device->WithRelay(0, [](simdevice::RelayEmulator& relay) {
      EXPECT_EQ(relay.GetLimitBreaches(), std::vector<std::string>{});
    });
  }
  EXPECT_TRUE(device->Detach());
}

INSTANTIATE_TEST_SUITE_P(Faults, FaultMatrix, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

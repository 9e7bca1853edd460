#include "simdevice/Bench.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

namespace simdevice {
namespace {

const char kSchemaExample[] = R"({"name": "SIM-DAQ", "address": 1, "channels": [{"channel": 0,
  "relay": {"inboundMax": 255, "outboundMax": 255, "protocol": "P", "vendor": "V"},
  "devices": [{"rom": "14 3A 7F 1B 05 00 00 B6", "status": "FC",
               "application": "0102030405060708",
               "memory": "00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E 1F"}],
  "faults": {}}]})";

std::string Error(const std::string& text) {
  try {
    ParseBench(text, "bench.json");
  } catch (const BenchError& e) {
    return e.what();
  }
  return "(accepted)";
}

// A bench with one channel whose single device is `device`.
std::string WithDevice(const std::string& device) {
  return R"({"channels": [{"channel": 2, "devices": [)" + device + "]}]}";
}

TEST(Bench, DefaultBenchHoldsOneValidAccelerometer) {
  const Bench bench = DefaultBench();
  EXPECT_EQ(bench.name, L"SIM-DAQ");
  EXPECT_EQ(bench.address, 1u);
  ASSERT_EQ(bench.channels.size(), 1u);
  const ChannelConfig& channel = bench.channels[0];
  EXPECT_EQ(channel.channel, 0u);
  ASSERT_EQ(channel.devices.size(), 1u);
  const BusDeviceConfig& device = channel.devices[0];
  EXPECT_EQ(device.rom[0], ds2430a::FAMILY_CODE);
  EXPECT_TRUE(RomCrcValid(device.rom));
  EXPECT_EQ(device.status, 0xFC);

  // Basic TEDS: manufacturer ID in the low 14 bits, a real one (>= 17).
  const unsigned manufacturer = (device.application[0] | device.application[1] << 8) & 0x3FFF;
  EXPECT_EQ(manufacturer, 100u);
  // The page checksum byte makes the page and the application register add up to 0.
  const unsigned sum = std::accumulate(device.application.begin(), device.application.end(), 0u) +
                       std::accumulate(device.memory.begin(), device.memory.end(), 0u);
  EXPECT_EQ(sum % 256, 0u);
  // Selector 0 and template ID 25 open the template.
  EXPECT_EQ(device.memory[1], 0x64);
  EXPECT_EQ(device.memory[2] & 0x03, 0x00);

  // The text form is what the bench is made from, and its relay keys are the defaults.
  const RelaySettings defaults;
  EXPECT_EQ(channel.relay.inboundMax, defaults.inboundMax);
  EXPECT_EQ(channel.relay.protocol, defaults.protocol);
  EXPECT_EQ(channel.relay.vendor, defaults.vendor);
  EXPECT_NE(DefaultBenchJson().find("\"SIM-DAQ\""), std::string::npos);
}

TEST(Bench, SchemaExampleAndDefaults) {
  std::vector<std::string> warnings;
  const Bench bench = ParseBench(kSchemaExample, "example.json", &warnings);
  EXPECT_TRUE(warnings.empty());
  const BusDeviceConfig& device = bench.channels.at(0).devices.at(0);
  EXPECT_EQ(device.application[7], 8);
  EXPECT_EQ(device.memory[10], 0x0A);
  EXPECT_EQ(device.memory[31], 0x1F);
  EXPECT_EQ(bench.channels[0].relay.protocol, "P");

  const Bench minimal = ParseBench(WithDevice(R"({"rom": "143a7f1b050000b6"})"), "m.json");
  const ChannelConfig& channel = minimal.channels.at(0);
  EXPECT_EQ(minimal.name, L"SIM-DAQ");
  EXPECT_EQ(channel.channel, 2u);
  EXPECT_EQ(channel.relay.inboundMax, 255);
  EXPECT_EQ(channel.relay.outboundMax, 255);
  EXPECT_EQ(channel.devices.at(0).status, 0xFC);
  EXPECT_EQ(channel.devices.at(0).application[0], 0xFF);
  EXPECT_EQ(channel.devices.at(0).memory[31], 0xFF);
  EXPECT_TRUE(ParseBench("{}", "empty.json").channels.empty());
}

TEST(Bench, AnyByteIsAcceptedAsBlockMaximum) {
  const Bench bench = ParseBench(
      R"({"channels": [{"channel": 0, "relay": {"inboundMax": 0, "outboundMax": 47}},
                       {"channel": 7, "relay": {"inboundMax": 255, "writeAnswer": "silent"}}]})",
      "b.json");
  EXPECT_EQ(bench.channels[0].relay.inboundMax, 0);
  EXPECT_EQ(bench.channels[0].relay.outboundMax, 47);
  EXPECT_EQ(bench.channels[1].relay.writeAnswer, WriteAnswer::Silent);
}

TEST(Bench, FaultKnobs) {
  const Bench bench = ParseBench(R"({
    "name": "RIG-\u00c4", "address": 7, "checkModes": false, "responseDelayMs": 5,
    "faults": {"refuseServiceMode": true},
    "channels": [{"channel": 1,
      "devices": [{"rom": "14 3A 7F 1B 05 00 00 B6", "status": "F0"},
                  {"rom": "28 0E 6D B9 01 00 00 59"}],
      "faults": {"silentReads": 3, "silentAfterAnswers": 1, "garbageAnswers": 2,
                 "garbageBytes": "DE AD", "outboundChunk": 16, "ignoreOutboundMax": true,
                 "refuseSetMode": true,
                 "refuseWritesAfter": 4,
                 "commandFailures": [{"command": "81", "code": 7, "skip": 1, "count": 2},
                                     {"command": 128}],
                 "corruptSearchCrc": ["28 0E 6D B9 01 00 00 59"],
                 "dropOff": [{"rom": "14 3A 7F 1B 05 00 00 B6", "afterAccesses": 2},
                             {"rom": "28 0E 6D B9 01 00 00 59", "atReadPhase": true}],
                 "noisyReads": [{"rom": "14 3A 7F 1B 05 00 00 B6", "count": 3}]}}]})",
                                 "faults.json");
  EXPECT_EQ(bench.name, L"RIG-\u00c4");
  EXPECT_EQ(bench.address, 7u);
  EXPECT_FALSE(bench.checkModes);
  EXPECT_TRUE(bench.refuseServiceMode);
  EXPECT_EQ(bench.responseDelayMs, 5u);
  const ChannelConfig& channel = bench.channels.at(0);
  EXPECT_EQ(channel.devices[0].status, 0xF0);
  const RelayFaults& faults = channel.faults;
  EXPECT_EQ(faults.silentReads, 3u);
  EXPECT_EQ(faults.silentAfterAnswers, 1u);
  EXPECT_EQ(faults.garbageAnswers, 2u);
  EXPECT_EQ(faults.garbageBytes, (std::vector<uint8_t>{0xDE, 0xAD}));
  EXPECT_EQ(faults.outboundChunk, 16u);
  EXPECT_TRUE(faults.ignoreOutboundMax);
  EXPECT_TRUE(channel.refuseSetMode);
  EXPECT_TRUE(channel.refuseWrites);
  EXPECT_EQ(channel.writesBeforeRefusal, 4u);
  ASSERT_EQ(faults.commandFailures.size(), 2u);
  EXPECT_EQ(faults.commandFailures[0].command, 0x81);
  EXPECT_EQ(faults.commandFailures[0].code, 7);
  EXPECT_EQ(faults.commandFailures[0].skip, 1u);
  EXPECT_EQ(faults.commandFailures[0].count, 2u);
  EXPECT_EQ(faults.commandFailures[1].command, 0x80);
  EXPECT_EQ(faults.commandFailures[1].code, 2);  // halting by default
  ASSERT_EQ(faults.corruptSearchCrc.size(), 1u);
  EXPECT_EQ(faults.corruptSearchCrc[0][0], 0x28);
  ASSERT_EQ(faults.dropOffs.size(), 2u);
  EXPECT_EQ(faults.dropOffs[0].afterAccesses, 2u);
  EXPECT_FALSE(faults.dropOffs[0].atReadPhase);
  EXPECT_TRUE(faults.dropOffs[1].atReadPhase);
  ASSERT_EQ(faults.noisyReads.size(), 1u);
  EXPECT_EQ(faults.noisyReads[0].rom[0], 0x14);
  EXPECT_EQ(faults.noisyReads[0].count, 3u);
}

TEST(Bench, BadCrcIsKeptWithAWarning) {
  std::vector<std::string> warnings;
  const Bench bench =
      ParseBench(WithDevice(R"({"rom": "14 3A 7F 1B 05 00 00 B7"})"), "crc.json", &warnings);
  EXPECT_EQ(bench.channels.at(0).devices.at(0).rom[7], 0xB7);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0],
            "crc.json: channels[0].devices[0].rom: CRC check fails for 14 3A 7F 1B 05 00 00 B7 "
            "(CRC of the first seven bytes is B6); the device is kept as given");
}

TEST(Bench, MalformedBenchesNameFileFieldAndProblem) {
  struct Case {
    std::string text;
    std::string message;
  };
  const Case cases[] = {
      {"{", "bench.json: not valid JSON: "},
      {R"({"address": 1e400})", "bench.json: not valid JSON: "},
      {"[]", "bench.json: expected an object"},
      {R"({"nmae": "X"})", "bench.json: nmae: unknown key 'nmae'"},
      {R"({"name": ""})", "bench.json: name: must not be empty"},
      {R"({"address": -1})", "bench.json: address: must not be negative"},
      {R"({"address": 1.5})", "bench.json: address: expected a whole number"},
      {R"({"channels": {}})", "bench.json: channels: expected an array"},
      {R"({"channels": [{}]})", "bench.json: channels[0]: missing key 'channel'"},
      {R"({"channels": [{"channel": 8}]})",
       "bench.json: channels[0].channel: channel 8 outside 0-7"},
      {R"({"channels": [{"channel": 3}, {"channel": 3}]})",
       "bench.json: channels[1].channel: channel 3 given twice"},
      {R"({"channels": [{"channel": 0, "relay": {"inboundMax": 256}}]})",
       "bench.json: channels[0].relay.inboundMax: 256 is larger than 255"},
      {R"({"channels": [{"channel": 0, "relay": {"inboundmax": 40}}]})",
       "bench.json: channels[0].relay.inboundmax: unknown key 'inboundmax'"},
      {R"({"channels": [{"channel": 0, "relay": {"writeAnswer": "loud"}}]})",
       "bench.json: channels[0].relay.writeAnswer: 'loud' is not one of echo, status, silent"},
      {WithDevice(R"({"rom": "14 3A 7F 1B 05 00 00 BG"})"),
       "bench.json: channels[0].devices[0].rom: bad hex 'BG'"},
      {WithDevice(R"({"rom": "14 3A 7F 1B 05 00 00 B"})"),
       "bench.json: channels[0].devices[0].rom: bad hex 'B' (odd number of digits)"},
      {WithDevice(R"({"rom": "14 3A 7F 1B 05 00 00"})"),
       "bench.json: channels[0].devices[0].rom: wrong length (7 bytes, expected 8)"},
      {WithDevice(R"({"rom": 20})"), "bench.json: channels[0].devices[0].rom: expected a string"},
      {WithDevice(R"({"rom": "14 3A 7F 1B 05 00 00 B6", "memory": "00"})"),
       "bench.json: channels[0].devices[0].memory: wrong length (1 bytes, expected 32)"},
      {WithDevice(
           R"({"rom": "14 3A 7F 1B 05 00 00 B6", "application": "00 11 22 33 44 55 66 77 88"})"),
       "bench.json: channels[0].devices[0].application: wrong length (9 bytes, expected 8)"},
      {WithDevice(R"({"rom": "28 0E 6D B9 01 00 00 59", "memory": ""})"),
       "bench.json: channels[0].devices[0].memory: only DS2430A devices (family 14) have it; "
       "this ROM has family 28"},
      {WithDevice(R"({"rom": "14 3A 7F 1B 05 00 00 B6", "colour": "red"})"),
       "bench.json: channels[0].devices[0].colour: unknown key 'colour'"},
      {WithDevice(R"({"rom": "14 3A 7F 1B 05 00 00 B6"}, {"rom": "143A7F1B050000b6"})"),
       "bench.json: channels[0].devices[1].rom: duplicate ROM 14 3A 7F 1B 05 00 00 B6 (also "
       "devices[0])"},
      {R"({"channels": [{"channel": 0, "faults": {"silent": 1}}]})",
       "bench.json: channels[0].faults.silent: unknown key 'silent'"},
      {R"({"channels": [{"channel": 0, "faults": {"corruptSearchCrc": ["14 3A 7F 1B 05 00 00 B6"]}}]})",
       "bench.json: channels[0].faults.corruptSearchCrc[0]: ROM 14 3A 7F 1B 05 00 00 B6 is not a "
       "device of this channel"},
      {R"({"channels": [{"channel": 0, "devices": [{"rom": "14 3A 7F 1B 05 00 00 B6"}],
           "faults": {"dropOff": [{"rom": "14 3A 7F 1B 05 00 00 B6"}]}}]})",
       "bench.json: channels[0].faults.dropOff[0]: give either 'afterAccesses' or \"atReadPhase\": "
       "true"},
      {R"({"channels": [{"channel": 0, "devices": [{"rom": "14 3A 7F 1B 05 00 00 B6"}],
           "faults": {"noisyReads": [{"rom": "14 3A 7F 1B 05 00 00 B6"}]}}]})",
       "bench.json: channels[0].faults.noisyReads[0]: missing key 'count'"},
      {R"({"channels": [{"channel": 0, "faults": {"commandFailures": [{"command": "85"}]}}]})",
       "bench.json: channels[0].faults.commandFailures[0].command: CMD_POLL (85) has no answer to "
       "fail"},
      {R"({"channels": [{"channel": 0, "faults": {"commandFailures": [{"command": 128, "code": 0}]}}]})",
       "bench.json: channels[0].faults.commandFailures[0].code: 0 is success, not a failure"},
      {R"({"channels": [{"channel": 0, "faults": {"garbageBytes": ""}}]})",
       "bench.json: channels[0].faults.garbageBytes: must hold at least one byte"},
      {R"({"faults": {"refuseServiceMode": 1}})",
       "bench.json: faults.refuseServiceMode: expected true or false"},
      {"{\"name\": \"\xC3\"}", "bench.json: not valid JSON: "},
      // Keys given twice, at any depth, and text after the document.
      {R"({"address": 1, "address": 2})", "bench.json: address: key 'address' given twice"},
      {R"({"channels": [{"channel": 0}, {"channel": 1, "relay": {"vendor": "a", "vendor": "b"}}]})",
       "bench.json: channels[1].relay.vendor: key 'vendor' given twice"},
      {WithDevice(R"({"rom": "28 0E 6D B9 01 00 00 59"}, {"rom": "x", "rom": "y"})"),
       "bench.json: channels[0].devices[1].rom: key 'rom' given twice"},
      {std::string("{}\n \0garbage", 12), "bench.json: line 2, column 2: a NUL byte"},
      {"{} x", "bench.json: not valid JSON: [json.exception.parse_error.101] parse error at line 1, "
               "column 4"},
  };
  for (const Case& c : cases) {
    const std::string message = Error(c.text);
    EXPECT_EQ(message.substr(0, c.message.size()), c.message) << c.text;
  }
}

TEST(Bench, LoadNamesTheFile) {
  const std::string missing = ::testing::TempDir() + "no-such-bench.json";
  try {
    LoadBench(missing);
    ADD_FAILURE() << "a missing file loaded";
  } catch (const BenchError& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": cannot open the file");
  }

  const std::string path = ::testing::TempDir() + "simdevice-bench-test.json";
  {
    std::ofstream file(path, std::ios::binary);
    file << R"({"name": "FILE-DAQ", "address": 2, "unknown": 0})";
  }
  try {
    LoadBench(path);
    ADD_FAILURE() << "an unknown key loaded";
  } catch (const BenchError& e) {
    EXPECT_EQ(std::string(e.what()), path + ": unknown: unknown key 'unknown'");
  }
  {
    std::ofstream file(path, std::ios::binary);
    file << DefaultBenchJson();
  }
  EXPECT_EQ(LoadBench(path).name, L"SIM-DAQ");
  std::ofstream(path, std::ios::binary).close();
  for (const std::string& bad : {path, ::testing::TempDir()}) {
    try {
      LoadBench(bad);
      ADD_FAILURE() << bad << " loaded";
    } catch (const BenchError& e) {
      EXPECT_EQ(std::string(e.what()), bad + (bad == path ? ": the file is empty"
                                                           : ": a directory, not a bench file"));
    }
  }
  std::remove(path.c_str());
}

TEST(Bench, RelayIsBuiltWithItsDevices) {
  const auto relay = MakeRelay(DefaultBench().channels.at(0));
  ASSERT_EQ(relay->GetBus().GetDevices().size(), 1u);
  EXPECT_NE(dynamic_cast<DS2430A*>(relay->GetBus().GetDevices()[0].get()), nullptr);
  // A noisy chip's first memory reads each carry one byte inverted; the
  // memory itself, and the reads after them, are as the bench gives them.
  ChannelConfig noisy = DefaultBench().channels.at(0);
  NoisyReads knob;
  knob.rom = noisy.devices[0].rom;
  knob.count = 1;
  noisy.faults.noisyReads = {knob};
  const auto noisyRelay = MakeRelay(noisy);
  auto& chip = static_cast<DS2430A&>(*noisyRelay->GetBus().GetDevices().at(0));
  const auto readMemory = [&chip] {
    chip.Reset();
    chip.Exchange(ds2430a::READ_MEMORY);
    chip.Exchange(0x00);
    std::vector<uint8_t> read;
    for (std::size_t i = 0; i < DS2430A::MEMORY_SIZE; ++i) read.push_back(chip.Exchange(0xFF));
    return read;
  };
  const std::vector<uint8_t> clean(noisy.devices[0].memory.begin(), noisy.devices[0].memory.end());
  std::vector<uint8_t> inverted = clean;
  inverted[DS2430A::NOISY_BYTE] = uint8_t(~inverted[DS2430A::NOISY_BYTE]);
  EXPECT_EQ(readMemory(), inverted);
  EXPECT_EQ(readMemory(), clean);
  EXPECT_EQ(std::vector<uint8_t>(chip.GetMemory().begin(), chip.GetMemory().end()), clean);
  const Bench mixed = ParseBench(WithDevice(R"({"rom": "28 0E 6D B9 01 00 00 59"})"), "m.json");
  const auto other = MakeRelay(mixed.channels.at(0));
  EXPECT_EQ(dynamic_cast<DS2430A*>(other->GetBus().GetDevices().at(0).get()), nullptr);
}

}  // namespace
}  // namespace simdevice

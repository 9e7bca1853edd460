// `teds query --serial`: the query cycle over an emulated DS2480B adapter
// reports what the relay path reports for the same bench, and the tool's
// serial path runs against the emulator on a pseudo-terminal.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "devicelink/ZorelQueryMaster.h"
#include "serial/DS2480BQueryMaster.h"
#include "simdevice/Bench.h"
#include "simdevice/SimDevice.h"
#include "simserial/EmulatedPort.h"
#include "simserial/PtyServer.h"
#include "testing/BusEmulator.h"
#include "tools/teds/QueryCore.h"
#include "tools/teds/TedsApp.h"

namespace {

using orvtest::DeviceWithImage;
using orvtest::EmulatedDevice;

using Device = AbstractOneWireMaster::Device;

struct Outcome {
  int status;
  std::string out;
};

// A DS2430A holding `image` (see DeviceWithImage).
simdevice::BusDeviceConfig Sensor(const Device& rom, const std::vector<uint8_t>& image,
                                  bool goodChecksum = true) {
  const EmulatedDevice emulated = DeviceWithImage(rom, image, goodChecksum);
  simdevice::BusDeviceConfig device;
  device.rom = rom;
  std::copy(emulated.application.begin(), emulated.application.end(), device.application.begin());
  std::copy(emulated.memory.begin(), emulated.memory.end(), device.memory.begin());
  return device;
}

// The built-in bench's accelerometer image.
std::vector<uint8_t> WorkedImage() {
  const simdevice::Bench bench = simdevice::DefaultBench();
  const simdevice::BusDeviceConfig& device = bench.channels[0].devices[0];
  std::vector<uint8_t> image(device.application.begin(), device.application.end());
  image.insert(image.end(), device.memory.begin() + 1, device.memory.end());
  return image;
}

Outcome Cycle(QueryMaster master) {
  std::istringstream in;
  std::ostringstream out, err;
  TedsStreams streams{in, out, err};
  QueryOptions options;
  options.timeoutS = 20;
  const int status = RunQueryOn(std::move(master), options, streams);
  return {status, out.str()};
}

Outcome OverTheRelay(const simdevice::Bench& bench) {
  simdevice::SimAttachment sim(simdevice::SimDevice::Create(bench));
  Outcome outcome = Cycle(MakeZorelQueryMaster(std::make_unique<ZorelOneWireMaster>(
      bench.name, bench.address, bench.channels[0].channel, ZorelDAQTEDSMode(1),
      std::chrono::milliseconds(0))));
  // The relay's own texts come first; a serial adapter has none.
  const std::string listener =
      "TEDS BusListener\n  Protocol: 1W-RELAY 1.0\n  Vendor: Simulated relay\n";
  EXPECT_EQ(outcome.out.rfind(listener, 0), 0u);
  outcome.out.erase(0, listener.size());
  return outcome;
}

Outcome OverTheAdapter(const simdevice::ChannelConfig& channel) {
  return Cycle(MakeDS2480BQueryMaster(std::make_unique<DS2480BOneWireMaster>(
      std::make_shared<simserial::EmulatedPort>(
          std::make_shared<simserial::DS2480BEmulator>(channel)),
      "emu", DS2480BTiming{std::chrono::milliseconds(200), std::chrono::milliseconds(0)})));
}

TEST(SerialQuery, ReportsTheSameTransducersAsTheRelayPath) {
  const std::vector<uint8_t> image = WorkedImage();
  const auto sensors = [&image](unsigned count) {
    std::vector<simdevice::BusDeviceConfig> devices;
    for (unsigned i = 0; i < count; ++i) {
      devices.push_back(Sensor(orvtest::MakeRom(0x14, uint8_t(3 * i + 1)), image));
    }
    return devices;
  };
  std::vector<uint8_t> list = {0x01, 0x00, 0x02};
  const Device first = orvtest::MakeRom(0x14, 0x07), second = orvtest::MakeRom(0x14, 0x08);
  list.insert(list.end(), first.begin(), first.end());
  list.insert(list.end(), second.begin(), second.end());
  struct Case {
    const char* name;
    std::vector<simdevice::BusDeviceConfig> devices;
    int status;
  };
  const std::vector<Case> cases = {
      {"one sensor", sensors(1), TEDS_EXIT_OK},
      {"five sensors", sensors(5), TEDS_EXIT_OK},
      {"twenty sensors", sensors(20), TEDS_EXIT_OK},
      {"node list",
       {Sensor(orvtest::MakeRom(0x14, 0x09), list), Sensor(first, image), Sensor(second, image)},
       TEDS_EXIT_OK},
      {"bad checksum", {Sensor(orvtest::MakeRom(0x14, 0x05), image, false)}, TEDS_EXIT_OK},
      {"no sensor", {}, TEDS_EXIT_PARSE_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    simdevice::Bench bench = simdevice::DefaultBench();
    bench.channels[0].devices = c.devices;
    const Outcome relay = OverTheRelay(bench);
    const Outcome serial = OverTheAdapter(bench.channels[0]);
    EXPECT_EQ(serial.status, c.status);
    EXPECT_EQ(serial.status, relay.status);
    EXPECT_EQ(serial.out, relay.out);
    EXPECT_NE(serial.out.find("Transducers Found:\n"), std::string::npos);
  }
}

#if !defined(_WIN32)

Outcome Teds(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  TedsStreams streams{in, out, err};
  const int status = RunTeds(args, streams);
  return {status, out.str() + err.str()};
}

// The emulator of the built-in bench served on a pseudo-terminal.
class ServedAdapter {
 public:
  explicit ServedAdapter(simserial::AdapterFaults faults = {})
      : server(std::make_unique<simserial::DS2480BEmulator>(simdevice::DefaultBench().channels[0],
                                                            faults)) {
    std::string error;
    path = server.Open(error);
    EXPECT_FALSE(path.empty()) << error;
    thread = std::thread([this] { server.Serve(stop); });
  }
  ~ServedAdapter() {
    stop = true;
    thread.join();
  }
  std::string path;

 private:
  simserial::PtyServer server;
  std::atomic<bool> stop{false};
  std::thread thread;
};

TEST(SerialQuery, ToolQueriesTheAdapterOnATerminalWithTheRelayPathsExitCodes) {
  ServedAdapter adapter;
  const Outcome found = Teds({"query", "--serial", adapter.path, "--quiet"});
  EXPECT_EQ(found.status, TEDS_EXIT_OK);
  EXPECT_EQ(found.out.rfind(
                "Transducers Found:\n  [14 3A 7F 1B 05 00 00 B6]\nCompile: GOOD CHECKSUM\n", 0),
            0u)
      << found.out;
  // Again on the same terminal: the adapter starts afresh.
  EXPECT_EQ(Teds({"query", "--serial", adapter.path, "--quiet"}).out, found.out);

  const Outcome missing = Teds({"query", "--serial", "/nonexistent/ttyS9", "--quiet"});
  EXPECT_EQ(missing.status, TEDS_EXIT_PARSE_ERROR);
  EXPECT_EQ(missing.out.rfind(
                "OneWire Error: DS2480B on /nonexistent/ttyS9: cannot open the serial port: ", 0),
            0u)
      << missing.out;

  simserial::AdapterFaults silent;
  silent.silent = true;
  ServedAdapter quiet(silent);
  const Outcome unanswered = Teds({"query", "--serial", quiet.path, "--quiet"});
  EXPECT_EQ(unanswered.status, TEDS_EXIT_PARSE_ERROR);
  EXPECT_EQ(unanswered.out,
            "OneWire Error: DS2480B on " + quiet.path +
                ": no answer within 1014 ms (wrong port, or the adapter is unplugged)\n");

  EXPECT_EQ(Teds({"query", "--serial", adapter.path, "--channel", "1"}).status,
            TEDS_EXIT_BAD_INPUT);
}

TEST(SerialQuery, ToolSwitchesTheBaudRateOrGoesOnAt9600WithANote) {
  simserial::AdapterFaults fixed;
  fixed.fixedBaud = true;
  ServedAdapter switching;
  ServedAdapter staying(fixed);
  const Outcome plain = Teds({"query", "--serial", switching.path, "--quiet"});
  ASSERT_EQ(plain.status, TEDS_EXIT_OK);
  for (const char* baud : {"19200", "57600", "115200"}) {
    SCOPED_TRACE(baud);
    EXPECT_EQ(Teds({"query", "--serial", switching.path, "--quiet", "--baud", baud}).out,
              plain.out);
    const Outcome fellBack = Teds({"query", "--serial", staying.path, "--baud", baud});
    EXPECT_EQ(fellBack.status, TEDS_EXIT_OK);
    EXPECT_NE(fellBack.out.find("teds: adapter: DS2480B on " + staying.path +
                                ": the adapter does not answer at " + baud +
                                " baud; going on at 9600 baud\n"),
              std::string::npos)
        << fellBack.out;
  }
  EXPECT_EQ(Teds({"query", "--serial", switching.path, "--baud", "38400"}).status,
            TEDS_EXIT_BAD_INPUT);
  EXPECT_EQ(Teds({"query", "--baud", "19200"}).status, TEDS_EXIT_BAD_INPUT);
}

#endif

}  // namespace

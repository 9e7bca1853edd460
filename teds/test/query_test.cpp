#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "teds/TEDSInterface.h"
#include "teds/TEDSNode.h"
#include "teds/TEDSTransducer.h"
#include "testing/BusEmulator.h"
#include "testing/TedsImages.h"

namespace {

using Device = AbstractOneWireMaster::Device;
using orvtest::BusEmulator;
using orvtest::DeviceWithImage;
using orvtest::EmulatedDevice;
using orvtest::MakeRom;

// The worked example with serial byte `serialByte` (0x40 in the example).
std::vector<uint8_t> SensorImage(uint8_t serialByte = 0x40) {
  std::vector<uint8_t> image = orvtest::WorkedImage();
  image[5] = serialByte;  // varies the serial number
  return image;
}

// A node-list image naming the given ROMs.
std::vector<uint8_t> ListImage(const std::vector<Device>& roms, uint8_t count) {
  std::vector<uint8_t> image = {0x01, 0x00, count};
  for (const Device& rom : roms) image.insert(image.end(), rom.begin(), rom.end());
  return image;
}

class RecordingHost : public TEDSInterface::Listener {
 public:
  RecordingHost(std::vector<std::string>& log, std::string name)
      : log(log), name(std::move(name)) {}
  void TransducerFound(const TEDSTransducer& transducer) override {
    log.push_back(name + " T " + Device::ToString(transducer.GetId()));
    prints.push_back(transducer.Print());
    errors.push_back(transducer.PrintErrors());
    manufacturers.push_back(transducer.GetBasicDatasheet().manufacturerID);
    if (onTransducer) onTransducer();
  }
  void Error(const std::string& message) override { log.push_back(name + " E " + message); }

  std::vector<std::string>& log;
  std::string name;
  std::vector<std::string> prints;
  std::vector<std::vector<std::string>> errors;
  std::vector<unsigned> manufacturers;
  std::function<void()> onTransducer;
};

class TEDSInterfaceTest : public ::testing::Test {
 protected:
  TEDSInterfaceTest() : host(std::make_shared<RecordingHost>(log, "h")) {}

  void Run() {
    TEDSInterface teds(master);
    teds.AddListener(host);
    teds.Query();
    EXPECT_FALSE(teds.IsCycleRunning());
  }
  // Error texts only, or the transducers found, in order.
  std::vector<std::string> Texts() const { return Entries("h E "); }
  std::vector<std::string> Found() const { return Entries("h T "); }
  std::vector<std::string> Entries(const std::string& prefix) const {
    std::vector<std::string> entries;
    for (const std::string& entry : log) {
      if (entry.rfind(prefix, 0) == 0) entries.push_back(entry.substr(prefix.size()));
    }
    return entries;
  }

  BusEmulator master;
  std::vector<std::string> log;
  std::shared_ptr<RecordingHost> host;
};

const char kGood[] = "Compile: GOOD CHECKSUM";

TEST_F(TEDSInterfaceTest, EmptyBusReportsNoValidTemplates) {
  Run();
  EXPECT_EQ((std::vector<std::string>{"Transducers Found:\n", "No valid templates found"}),
            Texts());
  EXPECT_TRUE(Found().empty());
}

TEST_F(TEDSInterfaceTest, OneSensorIsReportedOnceWithItsErrors) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  Run();
  EXPECT_EQ((std::vector<std::string>{"Transducers Found:\n  " + MakeRom(0x14, 1).ToString() +
                                          "\n",
                                      kGood}),
            Texts());
  ASSERT_EQ(std::vector<std::string>{MakeRom(0x14, 1).ToString()}, Found());
  EXPECT_EQ(100u, host->manufacturers[0]);
  EXPECT_NE(std::string::npos, host->prints[0].find("Template 25 - "));
  EXPECT_NE(std::string::npos, host->prints[0].find("2020-01-01"));
  EXPECT_EQ(1u, host->errors[0].size());
}

TEST_F(TEDSInterfaceTest, SeveralSensorsInBusOrder) {
  for (uint8_t i = 1; i <= 3; ++i) {
    master.devices.push_back(DeviceWithImage(MakeRom(0x14, i), SensorImage(i)));
  }
  Run();
  EXPECT_EQ((std::vector<std::string>{MakeRom(0x14, 1).ToString(), MakeRom(0x14, 2).ToString(),
                                      MakeRom(0x14, 3).ToString()}),
            Found());
  const auto texts = Texts();
  EXPECT_EQ(3, std::count(texts.begin(), texts.end(), kGood));
}

// A page that fails its checksum is read again, at most twice, before its
// one verdict stands; a good first read costs nothing extra. Data that really
// is bad keeps its verdict and the image is still parsed.
TEST_F(TEDSInterfaceTest, PageFailingItsChecksumIsReadAgainBeforeItsVerdict) {
  const Device a = MakeRom(0x14, 1), b = MakeRom(0x14, 2);
  const auto repeat = [](const Device& rom, int n) {
    return "Memory read repeated: " + rom.ToString() + " page checksum failed (repeat " +
           std::to_string(n) + " of 2)";
  };
  const std::string bad = "Compile: BAD CHECKSUM";
  struct Case {
    unsigned noisyReads;               // of `b`, beside the clean `a`
    bool goodChecksum;                 // of `b`'s data itself
    std::vector<std::string> between;  // texts after the device report
    int transactions;
    unsigned repeated;
  };
  const std::vector<Case> cases = {
      {0, true, {kGood, kGood}, 1, 0},
      {1, true, {repeat(b, 1), kGood, kGood}, 2, 1},
      {2, true, {repeat(b, 1), repeat(b, 2), kGood, kGood}, 3, 2},
      {3, true, {repeat(b, 1), repeat(b, 2), kGood, bad}, 3, 2},
      {0, false, {repeat(b, 1), repeat(b, 2), kGood, bad}, 3, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.noisyReads) + (c.goodChecksum ? " good" : " bad"));
    log.clear();
    host->manufacturers.clear();
    master.transactions = 0;
    master.devices = {DeviceWithImage(a, SensorImage(1)),
                      DeviceWithImage(b, SensorImage(2), c.goodChecksum)};
    master.devices[1].noisyMemoryReads = c.noisyReads;
    TEDSInterface teds(master);
    teds.AddListener(host);
    teds.Query();
    std::vector<std::string> texts = Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(c.between, std::vector<std::string>(texts.begin() + 1, texts.end()));
    EXPECT_EQ(c.transactions, master.transactions);
    EXPECT_EQ((std::vector<std::string>{a.ToString(), b.ToString()}), Found());
    const auto transducers = teds.GetTransducers();
    ASSERT_EQ(2u, transducers.size());
    EXPECT_EQ(0u, transducers[0]->GetNodes()[0]->GetRepeatedReads());
    EXPECT_EQ(c.repeated, transducers[1]->GetNodes()[0]->GetRepeatedReads());
    // A good read after the noise gives the true manufacturer.
    if (c.between.back() == kGood) {
      EXPECT_EQ((std::vector<unsigned>{100, 100}), host->manufacturers);
    }
  }
}

TEST_F(TEDSInterfaceTest, NodeListGroupsTwoPresentNodesUnderTheListIdentity) {
  const Device list = MakeRom(0x14, 9);
  const Device a = MakeRom(0x14, 1);
  const Device b = MakeRom(0x14, 2);
  // The first listed node carries the whole TEDS; the second adds nothing
  // the first one's template list reads.
  master.devices.push_back(DeviceWithImage(a, SensorImage()));
  master.devices.push_back(DeviceWithImage(list, ListImage({a, b}, 2)));
  master.devices.push_back(DeviceWithImage(b, SensorImage(7)));
  TEDSInterface teds(master);
  teds.AddListener(host);
  teds.Query();
  ASSERT_EQ(std::vector<std::string>{list.ToString()}, Found());
  ASSERT_EQ(1u, teds.GetTransducers().size());
  const auto& transducer = *teds.GetTransducers()[0];
  // Decoded from the listed nodes' images, in list order.
  EXPECT_EQ(100u, transducer.GetBasicDatasheet().manufacturerID);
  EXPECT_EQ(78u, transducer.GetImage().size());
  EXPECT_EQ(SensorImage(), std::vector<uint8_t>(transducer.GetImage().begin(),
                                                transducer.GetImage().begin() + 23));
}

TEST_F(TEDSInterfaceTest, NodeListSkipsAMissingRom) {
  const Device list = MakeRom(0x14, 9);
  const Device a = MakeRom(0x14, 1);
  master.devices.push_back(DeviceWithImage(list, ListImage({MakeRom(0x14, 77), a}, 2)));
  master.devices.push_back(DeviceWithImage(a, SensorImage()));
  Run();
  EXPECT_EQ(std::vector<std::string>{list.ToString()}, Found());
  EXPECT_EQ(100u, host->manufacturers.at(0));
}

TEST_F(TEDSInterfaceTest, NodeListNamingNoPresentDeviceIsReportedAndYieldsNothing) {
  const Device list = MakeRom(0x14, 9);
  // A ROM that is not on the bus, and a list of count 0.
  for (const auto& image : {ListImage({MakeRom(0x14, 77)}, 1), ListImage({}, 0)}) {
    log.clear();
    master.devices = {DeviceWithImage(list, image)};
    Run();
    const auto texts = Texts();
    ASSERT_EQ(4u, texts.size());
    EXPECT_EQ("Node list " + list.ToString() + ": no listed device found", texts[2]);
    EXPECT_EQ("No valid templates found", texts[3]);
  }
}

TEST_F(TEDSInterfaceTest, NodeListWithCountLongerThanItsImageLeavesListedNodesSingle) {
  const Device list = MakeRom(0x14, 9);
  const Device a = MakeRom(0x14, 1);
  const Device b = MakeRom(0x14, 2);
  master.devices.push_back(DeviceWithImage(list, ListImage({a, b}, 5)));
  master.devices.push_back(DeviceWithImage(a, SensorImage(1)));
  master.devices.push_back(DeviceWithImage(b, SensorImage(2)));
  Run();
  EXPECT_EQ((std::vector<std::string>{a.ToString(), b.ToString()}), Found());
}

TEST_F(TEDSInterfaceTest, TwoHostListenersGetEachTransducerBeforeTheNextOne) {
  auto second = std::make_shared<RecordingHost>(log, "g");
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage(1)));
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 2), SensorImage(2)));
  TEDSInterface teds(master);
  teds.AddListener(host);
  teds.AddListener(second);
  teds.Query();
  std::vector<std::string> found;
  for (const std::string& entry : log) {
    if (entry.find(" T ") != std::string::npos) found.push_back(entry);
  }
  EXPECT_EQ((std::vector<std::string>{"h T " + MakeRom(0x14, 1).ToString(),
                                      "g T " + MakeRom(0x14, 1).ToString(),
                                      "h T " + MakeRom(0x14, 2).ToString(),
                                      "g T " + MakeRom(0x14, 2).ToString()}),
            found);
  const auto count = [this](const char* prefix) {
    return std::count_if(log.begin(), log.end(),
                         [prefix](const std::string& e) { return e.rfind(prefix, 0) == 0; });
  };
  EXPECT_EQ(count("h E "), count("g E "));
}

TEST_F(TEDSInterfaceTest, RepeatedQueriesReportEachSensorOncePerCycle) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  TEDSInterface teds(master);
  teds.AddListener(host);
  teds.Query();
  teds.Query();    // master already ready: a second cycle at once
  master.Restart();  // every enabling runs a cycle too
  EXPECT_EQ(3u, Found().size());
  const auto texts = Texts();
  EXPECT_EQ(3, std::count(texts.begin(), texts.end(), kGood));
  EXPECT_EQ(1u, teds.GetTransducers().size());
  EXPECT_EQ(host->errors[0], host->errors[2]);  // parsing again gives the same result
}

TEST_F(TEDSInterfaceTest, QueryFromInsideACycleStartsNoSecondCycle) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  TEDSInterface teds(master);
  teds.AddListener(host);
  host->onTransducer = [&] { teds.Query(); };
  teds.Query();
  EXPECT_EQ(1u, Found().size());
  EXPECT_FALSE(teds.IsCycleRunning());
}

TEST_F(TEDSInterfaceTest, DiscoveryAndBusErrorsCarryTheirPrefixes) {
  master.searchFailure = "search broke";
  TEDSInterface teds(master);
  teds.AddListener(host);
  teds.Query();
  EXPECT_EQ("OneWire Discovery Error: search broke", Texts().back());
  EXPECT_FALSE(teds.IsCycleRunning());
  master.BusError("bus broke");
  EXPECT_EQ("OneWire Error: bus broke", Texts().back());

  // The failed search ended its discovery: the next query succeeds.
  master.searchFailure.clear();
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  teds.Query();
  EXPECT_EQ(1u, Found().size());
}

TEST_F(TEDSInterfaceTest, InterfaceDestroyedBeforeTheMasterIsNeverCalledAgain) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  {
    TEDSInterface teds(master);
    teds.AddListener(host);
    teds.Query();
  }
  const std::size_t before = log.size();
  master.Restart();  // a Ready of the master after the interface has gone
  EXPECT_EQ(before, log.size());
}

TEST_F(TEDSInterfaceTest, QueryJoinsASearchLeftRunningByADestroyedInterface) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  master.holdSearch = true;
  { TEDSInterface(master).Query(); }  // gone while the master is Searching
  ASSERT_EQ(AbstractOneWireMaster::Searching, master.GetState());
  TEDSInterface teds(master);
  teds.AddListener(host);
  teds.Query();
  master.ReleaseSearch();
  EXPECT_EQ(std::vector<std::string>{MakeRom(0x14, 1).ToString()}, Found());
}

// ---- Sensors beside a bad device ---------------------------------------------
// A device that yields no transducer is named after the checksum texts; every
// other sensor of the cycle is still reported.

struct BadDevice {
  const char* name;
  uint8_t family;
  std::function<EmulatedDevice(const Device& rom)> make;
  std::function<std::string(const Device& rom)> text;  // what the cycle says of it
  bool endsEmpty;  // alone on the bus it leaves "No valid templates found"
};

void PrintTo(const BadDevice& bad, std::ostream* out) { *out << bad.name; }

EmulatedDevice Unlocked(const Device& rom) {
  EmulatedDevice device = DeviceWithImage(rom, SensorImage());
  device.status = 0xFF;
  return device;
}

std::string ParseError(const std::string& reason) {
  return "Template Parse Error : Failed to parse TEDS template: " + reason;
}

std::vector<BadDevice> BadDevices() {
  return {
      {"ForeignFamily", 0x28, [](const Device& rom) { return EmulatedDevice{rom}; },
       [](const Device& rom) {
         return "Node " + rom.ToString() + " skipped: family 28 holds no TEDS";
       },
       true},
      {"StatusNotLocked", 0x14, Unlocked,
       [](const Device& rom) {
         return "Node " + rom.ToString() +
                " skipped: status FF is not FC (application register not locked)";
       },
       true},
      {"EmbeddedTemplate", 0x14,
       [](const Device& rom) { return DeviceWithImage(rom, {0x02, 0x00}); },
       [](const Device&) { return ParseError("Embedded Template not supported"); }, false},
      // Its own image holds only the list: nothing is left to decode.
      {"NodeListNamingItself", 0x14,
       [](const Device& rom) { return DeviceWithImage(rom, ListImage({rom}, 1)); },
       [](const Device&) { return ParseError("Failed to parse MS"); }, false},
      // Gone between the search and the read: it gets the master's text and
      // no checksum verdict.
      {"LeftTheBus", 0x14,
       [](const Device& rom) {
         EmulatedDevice device = DeviceWithImage(rom, SensorImage());
         device.gone = true;
         return device;
       },
       [](const Device& rom) {
         return "OneWire Memory Error:device " + rom.ToString() + " left the bus during the read";
       },
       false},
  };
}

class TEDSInterfaceBesideBadDevice
    : public TEDSInterfaceTest,
      public ::testing::WithParamInterface<std::tuple<BadDevice, int>> {};

TEST_P(TEDSInterfaceBesideBadDevice, ReportsTheOthersAfterNamingIt) {
  const BadDevice& bad = std::get<0>(GetParam());
  const int count = std::get<1>(GetParam());
  const int badAt = count / 2;
  std::string found = "h E Transducers Found:\n";
  std::vector<std::string> checksums, reports;
  for (int i = 0; i < count; ++i) {
    const Device rom = MakeRom(i == badAt ? bad.family : 0x14, static_cast<uint8_t>(i + 1));
    master.devices.push_back(i == badAt ? bad.make(rom) : DeviceWithImage(rom, SensorImage()));
    found += "  " + rom.ToString() + "\n";
    const bool read = bad.family == 0x14 && !master.devices.back().gone;
    if (i != badAt || read) checksums.push_back(std::string("h E ") + kGood);
    if (i != badAt) reports.push_back("h T " + rom.ToString());
  }
  std::vector<std::string> expected = {found};
  expected.insert(expected.end(), checksums.begin(), checksums.end());
  expected.push_back("h E " + bad.text(master.devices[badAt].rom));
  if (count == 1 && bad.endsEmpty) expected.push_back("h E No valid templates found");
  expected.insert(expected.end(), reports.begin(), reports.end());
  Run();
  EXPECT_EQ(expected, log);
  for (unsigned manufacturer : host->manufacturers) EXPECT_EQ(100u, manufacturer);
}

INSTANTIATE_TEST_SUITE_P(
    OneTwoFiveSensors, TEDSInterfaceBesideBadDevice,
    ::testing::Combine(::testing::ValuesIn(BadDevices()), ::testing::Values(1, 2, 5)),
    [](const ::testing::TestParamInfo<std::tuple<BadDevice, int>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             std::to_string(std::get<1>(info.param));
    });

// A sensor that cannot be read again (it has left the bus) is named with
// the failure; the others are still reported.
TEST_F(TEDSInterfaceTest, SensorGoneBeforeItsRepeatedReadCostsOnlyItself) {
  const Device a = MakeRom(0x14, 1), b = MakeRom(0x14, 2);
  master.devices = {DeviceWithImage(a, SensorImage(1)), DeviceWithImage(b, SensorImage(2))};
  master.devices[1].noisyMemoryReads = 1;
  master.beforeTransaction = [this] { master.devices[1].gone = master.transactions == 2; };
  Run();
  const std::vector<std::string> texts = Texts();
  EXPECT_EQ((std::vector<std::string>{
                "Memory read repeated: " + b.ToString() + " page checksum failed (repeat 1 of 2)",
                kGood,
                "OneWire Memory Error:device " + b.ToString() + " left the bus during the read"}),
            std::vector<std::string>(texts.begin() + 1, texts.end()));
  EXPECT_EQ(std::vector<std::string>{a.ToString()}, Found());
}

// Only a TEDS that is to be used is read again: a blank or unlocked part (or
// one that has left the bus and reads all ones) keeps its first read.
TEST_F(TEDSInterfaceTest, NodeWhoseStatusIsNotValidIsNotReadAgain) {
  const Device rom = MakeRom(0x14, 1);
  EmulatedDevice unlocked = DeviceWithImage(rom, SensorImage(), false);
  unlocked.status = 0xFF;
  master.devices = {unlocked};
  Run();
  EXPECT_EQ(1, master.transactions);
  EXPECT_EQ((std::vector<std::string>{
                "Transducers Found:\n  " + rom.ToString() + "\n", "Compile: BAD CHECKSUM",
                "Node " + rom.ToString() +
                    " skipped: status FF is not FC (application register not locked)",
                "No valid templates found"}),
            Texts());
}

// Every kind at once: skipped texts in node order, then parse texts, then the
// reports; a node list still takes in a listed device that is not valid.
TEST_F(TEDSInterfaceTest, SkippedAndUnparsableDevicesTogetherInTheirOrder) {
  const Device a = MakeRom(0x14, 1), foreign = MakeRom(0x28, 2), unlocked = MakeRom(0x14, 3),
               embedded = MakeRom(0x14, 4), list = MakeRom(0x14, 5), b = MakeRom(0x14, 6);
  master.devices = {DeviceWithImage(a, SensorImage()),
                    {foreign},
                    Unlocked(unlocked),
                    DeviceWithImage(embedded, {0x02, 0x00}),
                    DeviceWithImage(list, ListImage({unlocked}, 1)),
                    DeviceWithImage(b, SensorImage())};
  Run();
  const std::vector<std::string> texts = Texts();
  ASSERT_EQ(9u, texts.size());
  EXPECT_EQ((std::vector<std::string>(5, kGood)),
            std::vector<std::string>(texts.begin() + 1, texts.begin() + 6));
  EXPECT_EQ((std::vector<std::string>{
                "Node " + foreign.ToString() + " skipped: family 28 holds no TEDS",
                "Node " + unlocked.ToString() +
                    " skipped: status FF is not FC (application register not locked)",
                ParseError("Embedded Template not supported")}),
            std::vector<std::string>(texts.begin() + 6, texts.end()));
  EXPECT_EQ((std::vector<std::string>{list.ToString(), a.ToString(), b.ToString()}), Found());
  EXPECT_EQ((std::vector<unsigned>{100, 100, 100}), host->manufacturers);
}

}  // namespace

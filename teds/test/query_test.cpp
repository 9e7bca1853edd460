#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "teds/TEDSInterface.h"
#include "teds/TEDSTransducer.h"
#include "teds/test/BusEmulator.h"

namespace {

using Device = AbstractOneWireMaster::Device;

// Basic TEDS: manufacturer 100, model 1234, version B3, serial 123456.
const std::vector<uint8_t> kBasic = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01};
// Selector 0, template ID 25, then a standard-path template 25.
const std::vector<uint8_t> kTemplate25 = {0x64, 0x90, 0x0F, 0xF8, 0x64, 0x06, 0x29, 0x1C,
                                          0xFB, 0x08, 0x62, 0xB4, 0x45, 0x01, 0x00};

std::vector<uint8_t> SensorImage(uint8_t serialByte = 0x40) {
  std::vector<uint8_t> image = kBasic;
  image[5] = serialByte;  // varies the serial number
  image.insert(image.end(), kTemplate25.begin(), kTemplate25.end());
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

class QueryTest : public ::testing::Test {
 protected:
  QueryTest() : host(std::make_shared<RecordingHost>(log, "h")) {}

  void Run() {
    TEDSInterface teds(master);
    teds.AddListener(host);
    teds.Query();
    EXPECT_FALSE(teds.IsCycleRunning());
  }
  // Error texts only, in order.
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const std::string& entry : log) {
      if (entry.rfind("h E ", 0) == 0) texts.push_back(entry.substr(4));
    }
    return texts;
  }
  std::vector<std::string> Found() const {
    std::vector<std::string> found;
    for (const std::string& entry : log) {
      if (entry.rfind("h T ", 0) == 0) found.push_back(entry.substr(4));
    }
    return found;
  }

  BusEmulator master;
  std::vector<std::string> log;
  std::shared_ptr<RecordingHost> host;
};

const char kGood[] = "Compile: GOOD CHECKSUM";

TEST_F(QueryTest, EmptyBusReportsNoValidTemplates) {
  Run();
  EXPECT_EQ((std::vector<std::string>{"Transducers Found:\n", "No valid templates found"}),
            Texts());
  EXPECT_TRUE(Found().empty());
}

TEST_F(QueryTest, DeviceOfAnotherFamilyEndsSilentlyAfterCompiling) {
  master.devices.push_back({MakeRom(0x28, 1)});
  Run();
  EXPECT_EQ((std::vector<std::string>{"Transducers Found:\n  " + MakeRom(0x28, 1).ToString() +
                                      "\n"}),
            Texts());
}

TEST_F(QueryTest, OneSensorIsReportedOnceWithItsErrors) {
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

TEST_F(QueryTest, SeveralSensorsInBusOrder) {
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

TEST_F(QueryTest, BadChecksumIsReportedAndTheImageStillParsed) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage(), false));
  Run();
  EXPECT_EQ("Compile: BAD CHECKSUM", Texts().at(1));
  EXPECT_EQ(1u, Found().size());
}

TEST_F(QueryTest, StatusOtherThanValidEndsTheCycleSilently) {
  EmulatedDevice device = DeviceWithImage(MakeRom(0x14, 1), SensorImage());
  device.status = 0xFF;
  master.devices.push_back(device);
  Run();
  EXPECT_EQ(2u, Texts().size());  // devices and checksum only
  EXPECT_TRUE(Found().empty());
}

TEST_F(QueryTest, NodeListGroupsTwoPresentNodesUnderTheListIdentity) {
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

TEST_F(QueryTest, NodeListSkipsAMissingRom) {
  const Device list = MakeRom(0x14, 9);
  const Device a = MakeRom(0x14, 1);
  master.devices.push_back(DeviceWithImage(list, ListImage({MakeRom(0x14, 77), a}, 2)));
  master.devices.push_back(DeviceWithImage(a, SensorImage()));
  Run();
  EXPECT_EQ(std::vector<std::string>{list.ToString()}, Found());
  EXPECT_EQ(100u, host->manufacturers.at(0));
}

TEST_F(QueryTest, NodeListNamingNoPresentDeviceIsReportedAndYieldsNothing) {
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

TEST_F(QueryTest, NodeListWithCountLongerThanItsImageLeavesListedNodesSingle) {
  const Device list = MakeRom(0x14, 9);
  const Device a = MakeRom(0x14, 1);
  const Device b = MakeRom(0x14, 2);
  master.devices.push_back(DeviceWithImage(list, ListImage({a, b}, 5)));
  master.devices.push_back(DeviceWithImage(a, SensorImage(1)));
  master.devices.push_back(DeviceWithImage(b, SensorImage(2)));
  Run();
  EXPECT_EQ((std::vector<std::string>{a.ToString(), b.ToString()}), Found());
}

TEST_F(QueryTest, ParseExceptionWithholdsEveryTransducerOfTheCycle) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  // A full DS2430A image always holds a whole Basic TEDS; manufacturer ID 2
  // (the embedded-template marker) is what throws out of a transducer's parse.
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 2), {0x02, 0x00}));
  Run();
  EXPECT_EQ(
      "Template Parse Error : Failed to parse TEDS template: Embedded Template not supported",
      Texts().back());
  EXPECT_TRUE(Found().empty());
}

TEST_F(QueryTest, TwoHostListenersGetEachTransducerBeforeTheNextOne) {
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

TEST_F(QueryTest, RepeatedQueriesReportEachSensorOncePerCycle) {
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

TEST_F(QueryTest, QueryFromInsideACycleStartsNoSecondCycle) {
  master.devices.push_back(DeviceWithImage(MakeRom(0x14, 1), SensorImage()));
  TEDSInterface teds(master);
  teds.AddListener(host);
  host->onTransducer = [&] { teds.Query(); };
  teds.Query();
  EXPECT_EQ(1u, Found().size());
  EXPECT_FALSE(teds.IsCycleRunning());
}

TEST_F(QueryTest, DiscoveryAndBusErrorsCarryTheirPrefixes) {
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

TEST_F(QueryTest, InterfaceDestroyedBeforeTheMasterIsNeverCalledAgain) {
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

}  // namespace

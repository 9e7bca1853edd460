#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "devicelink/ZorelOneWireMaster.h"
#include "orvane/OrvaneBackend.h"
#include "testing/EventLog.h"
#include "testing/Eventually.h"
#include "testing/ManualClock.h"

namespace {

using namespace std::chrono_literals;
using orvtest::Eventually;

// A device that answers the handshake as configured and plays a relay that
// knows only its configuration exchange.
class HandshakeDevice : public orvane::DeviceBackend {
 public:
  std::vector<OrvaneCommands> HandleRequest(const std::wstring&, unsigned int,
                                            const OrvaneCommands& request) override {
    const std::shared_ptr<OrvaneCommand> command = request.GetCommand();
    std::lock_guard<std::mutex> guard(mutex);
    if (auto* mode = dynamic_cast<const ServiceSetOperatingModeRequest*>(command.get())) {
      log.push_back("service" + std::to_string(static_cast<int>(mode->GetMode())));
      const bool teds = mode->GetMode() == ServiceOperatingMode::TEDS;
      // A device library whose answer does not carry the mode says 0.
      return Answer(std::make_shared<ServiceSetOperatingModeResponse>(
          answerCarriesMode ? mode->GetMode() : ServiceOperatingMode::Normal,
          teds ? serviceModeSucceeds : true));
    }
    if (auto* set = dynamic_cast<const GCCCommandZorelTEDSSetModeRequest*>(command.get())) {
      log.push_back("setmode");
      masks.push_back(set->GetChannelMask());
      auto response = std::make_shared<GCCCommandZorelTEDSSetModeResponse>(set->GetChannelMask(),
                                                                           setModeSucceeds);
      if (set->GetChannelMask() != holdSetModeOf) return Answer(response);
      held = response;  // goes out in front of the next read answer
      return {};
    }
    if (auto* write = dynamic_cast<const GCCCommandZorelTEDSWriteRequest*>(command.get())) {
      log.push_back("write");
      masks.push_back(write->GetChannelMask());
      pending = write->GetData();
      if (!answerWrites) return {};
      return Answer(std::make_shared<GCCCommandZorelTEDSWriteResponse>(write->GetChannelMask(),
                                                                       writeSucceeds));
    }
    if (auto* read = dynamic_cast<const GCCCommandZorelTEDSReadRequest*>(command.get())) {
      log.push_back("read");
      masks.push_back(read->GetChannelMask());
      std::vector<uint8_t> answer;
      if (!pending.empty() && pending[0] == 0x84) {
        answer = {0x84, 0x00, 0x05, 0x01, 0xFF, 0x06, 0x01, 0xFF,
                  0x07, 0x02, 0x50, 0x00, 0x08, 0x02, 0x56, 0x00};
      }
      pending.clear();
      std::vector<OrvaneCommands> answers = Answer(
          std::make_shared<GCCCommandZorelTEDSReadResponse>(read->GetChannelMask(), answer));
      if (held) answers.insert(answers.begin(), OrvaneCommands(held, true));
      held.reset();
      return answers;
    }
    ADD_FAILURE() << "request the master never sends";
    return {};
  }

  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> guard(mutex);
    return log;
  }
  std::size_t Count(const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex);
    return static_cast<std::size_t>(std::count(log.begin(), log.end(), what));
  }
  std::vector<uint8_t> Masks() {
    std::lock_guard<std::mutex> guard(mutex);
    return masks;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(mutex);
    log.clear();
  }

  bool setModeSucceeds = true;
  bool serviceModeSucceeds = true;
  bool writeSucceeds = true;
  bool answerWrites = true;
  bool answerCarriesMode = true;
  uint8_t holdSetModeOf = 0;  // channel mask whose set-mode answer is held back

 private:
  static std::vector<OrvaneCommands> Answer(const std::shared_ptr<OrvaneCommand>& response) {
    return {OrvaneCommands(response, true)};
  }
  std::mutex mutex;
  std::vector<std::string> log;
  std::vector<uint8_t> masks;
  std::vector<uint8_t> pending;
  std::shared_ptr<OrvaneCommand> held;
};

class ZorelOneWireMasterTest : public ::testing::Test {
 protected:
  ZorelOneWireMasterTest() : device(std::make_shared<HandshakeDevice>()) {}
  ~ZorelOneWireMasterTest() override { orvane::DetachDevice(name, 7); }
  void Attach() { ASSERT_TRUE(orvane::AttachDevice(name, 7, device)); }
  std::unique_ptr<ZorelOneWireMaster> MakeMaster(unsigned channel = 3,
                                                 std::chrono::milliseconds pause = 0ms,
                                                 std::shared_ptr<Clock> clock = nullptr) {
    auto master = std::make_unique<ZorelOneWireMaster>(name, 7, channel, ZorelDAQTEDSMode(1),
                                                       pause, std::move(clock));
    master->AddListener(bus);
    return master;
  }

  const std::wstring name = L"ZOREL-TEST";
  std::shared_ptr<HandshakeDevice> device;
  orvtest::EventLog log;  // outlives the masters, whose threads write to it
  std::shared_ptr<orvtest::BusEvents> bus = std::make_shared<orvtest::BusEvents>(log);
};

TEST_F(ZorelOneWireMasterTest, HandshakeRunsInOrderBeforeAnyRelayTraffic) {
  Attach();
  auto master = MakeMaster();
  master->Enable(true);
  ASSERT_TRUE(log.WaitFor("ready"));
  EXPECT_EQ((std::vector<std::string>{"setmode", "service4", "write", "read"}), device->Log());
  EXPECT_TRUE(master->IsReady());
  EXPECT_EQ("P", master->GetProtocol());
  EXPECT_EQ("V", master->GetVendor());
  // Channel 3: every TEDS request selects channel 3 only.
  for (uint8_t mask : device->Masks()) EXPECT_EQ(0x08, mask);

  master->Enable(true);  // already enabled: nothing is sent
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(4u, device->Log().size());
}

TEST_F(ZorelOneWireMasterTest, RefusedSetModeStopsTheHandshakeAndDisableThenEnableRepeatsIt) {
  device->setModeSucceeds = false;
  Attach();
  auto master = MakeMaster();
  master->Enable(true);
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(std::vector<std::string>{"setmode"}, device->Log());
  EXPECT_EQ(AbstractOneWireMaster::Enabling, master->GetState());

  device->setModeSucceeds = true;
  device->Clear();
  master->Enable(false);
  master->Enable(true);
  ASSERT_TRUE(log.WaitFor("ready"));
  EXPECT_EQ((std::vector<std::string>{"service0", "setmode", "service4", "write", "read"}),
            device->Log());
}

TEST_F(ZorelOneWireMasterTest, RefusedServiceModeLeavesTheMasterEnablingWithoutRelayTraffic) {
  device->serviceModeSucceeds = false;
  Attach();
  auto master = MakeMaster();
  master->Enable(true);
  ASSERT_TRUE(Eventually([&] { return device->Log().size() == 2; }));
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ((std::vector<std::string>{"setmode", "service4"}), device->Log());
  EXPECT_EQ(AbstractOneWireMaster::Enabling, master->GetState());
}

TEST_F(ZorelOneWireMasterTest, RequestRefusedByTheLibraryIsReportedAndRecoveredFrom) {
  auto master = MakeMaster();  // no device answers to the name yet
  master->Enable(true);
  EXPECT_EQ(log.Lines(), std::vector<std::string>{"error: The device library refused the TEDS "
                                                  "set-mode request for device ZOREL-TEST at "
                                                  "address 7"});

  Attach();
  master->Enable(false);
  master->Enable(true);
  ASSERT_TRUE(log.WaitFor("ready"));
}

TEST_F(ZorelOneWireMasterTest, ChannelOutsideZeroToSevenIsRejected) {
  EXPECT_THROW(ZorelOneWireMaster(name, 7, 8, ZorelDAQTEDSMode(1)), std::invalid_argument);
  auto master = MakeMaster(7);
  EXPECT_EQ(0x80, master->GetChannelMask());
}

TEST_F(ZorelOneWireMasterTest, DestroyingTheMasterWhileItsPollThreadWaitsEndsAtOnce) {
  Attach();
  auto master = MakeMaster(0, std::chrono::hours(1));
  master->Enable(true);
  ASSERT_TRUE(Eventually([&] {
    const auto log = device->Log();
    return log.size() == 3 && log.back() == "write";
  }));
  ASSERT_TRUE(orvane::Flush());  // the write response has started the poll thread
  master.reset();                // must not wait for the hour
  EXPECT_EQ(3u, device->Log().size());
}

TEST_F(ZorelOneWireMasterTest, ResponsesForAnotherAddressAreIgnored) {
  auto other = std::make_shared<HandshakeDevice>();
  ASSERT_TRUE(orvane::AttachDevice(name, 8, other));
  auto master = MakeMaster();
  master->Enable(true);  // refused: nothing answers at address 7
  ASSERT_TRUE(orvane::Flush());
  // A response delivered to the same name at another address does not move
  // the master on.
  ZorelOneWireMaster neighbour(name, 8, 3, ZorelDAQTEDSMode(1), 0ms);
  neighbour.Enable(true);
  ASSERT_TRUE(Eventually([&] {
    bool ready = false;
    neighbour.Serialized([&] { ready = neighbour.IsReady(); });
    return ready;
  }));
  EXPECT_EQ(AbstractOneWireMaster::Enabling, master->GetState());
  orvane::DetachDevice(name, 8);
}

// Records discovery results; may run an action from its Error.
class ActingDiscovery : public AbstractOneWireMaster::DiscoveryListener {
 public:
  explicit ActingDiscovery(std::function<void()> onError) : onError(std::move(onError)) {}
  void Discovered(const std::vector<AbstractOneWireMaster::Device>&) override {}
  void Error(const std::string&) override {
    if (onError) onError();
  }

 private:
  std::function<void()> onError;
};

TEST_F(ZorelOneWireMasterTest, ServiceModeAnswerIsKnownByRequestOrderNotByTheModeItCarries) {
  struct Case {
    bool mode4Succeeds;
    bool readyExpected;
  };
  for (const Case& c : {Case{true, true}, Case{false, false}}) {
    device->answerCarriesMode = false;
    device->serviceModeSucceeds = c.mode4Succeeds;
    device->Clear();
    Attach();
    auto master = MakeMaster();
    // A disable and a new enabling at once: no answer of the first enabling,
    // nor the answer to mode 0 (a success), may pass for the answer to mode 4.
    master->Serialized([&] {
      master->Enable(true);
      master->Enable(false);
      master->Enable(true);
    });
    ASSERT_TRUE(Eventually([&] {
      return c.readyExpected ? master->IsReady() : master->HandshakeRefused();
    }));
    ASSERT_TRUE(orvane::Flush());
    EXPECT_EQ(1u, device->Count("service4"));
    EXPECT_EQ(c.readyExpected, !master->HandshakeRefused());
    if (!c.readyExpected) {
      EXPECT_EQ(0u, device->Count("write"));
    }
    master.reset();
    orvane::DetachDevice(name, 7);
  }
}

TEST_F(ZorelOneWireMasterTest, EnableTrueWhileEnablingOrSearchingSendsNothing) {
  device->setModeSucceeds = false;  // stays Enabling
  Attach();
  auto enabling = MakeMaster();
  enabling->Enable(true);
  ASSERT_TRUE(orvane::Flush());
  device->setModeSucceeds = true;
  auto searching = MakeMaster(4);
  searching->Enable(true);
  ASSERT_TRUE(Eventually([&] { return searching->IsReady(); }));
  device->answerWrites = false;  // the search transfer stays in flight
  searching->Discover(std::make_shared<ActingDiscovery>(nullptr));
  ASSERT_TRUE(orvane::Flush());
  ASSERT_EQ(AbstractOneWireMaster::Enabling, enabling->GetState());
  ASSERT_EQ(AbstractOneWireMaster::Searching, searching->GetState());
  const std::size_t before = device->Log().size();
  enabling->Enable(true);
  searching->Enable(true);
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(before, device->Log().size());
}

TEST_F(ZorelOneWireMasterTest, DisableSendsModeZeroBeforeOwnersHearSoThatTheyMayReEnable) {
  Attach();
  auto master = MakeMaster();
  master->Enable(true);
  ASSERT_TRUE(Eventually([&] { return master->IsReady(); }));
  device->answerWrites = false;  // the search transfer stays in flight
  ZorelOneWireMaster* const m = master.get();
  master->Discover(std::make_shared<ActingDiscovery>([m] { m->Enable(true); }));
  ASSERT_TRUE(orvane::Flush());
  device->Clear();
  master->Enable(false);  // the discovery's owner enables again from its error
  ASSERT_TRUE(Eventually([&] { return device->Log().size() >= 4; }));
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ((std::vector<std::string>{"service0", "setmode", "service4", "write"}), device->Log());
}

TEST_F(ZorelOneWireMasterTest, EveryConfirmedWriteIsFollowedByOneReadAlsoWhenWritesOverlap) {
  Attach();
  // The first read waits on a clock that stands still while the disable and
  // the new enabling start over; then every look lets the pause pass.
  const auto clock = std::make_shared<orvtest::ManualClock>();
  const auto afterPauses = [&clock](const std::function<bool()>& condition) {
    return Eventually([&] {
      clock->Advance(300ms);
      return condition();
    });
  };
  auto master = MakeMaster(3, 300ms, clock);
  master->Enable(true);
  ASSERT_TRUE(Eventually([&] { return device->Count("write") == 1; }));
  ASSERT_TRUE(orvane::Flush());
  master->Enable(false);
  master->Enable(true);
  ASSERT_TRUE(afterPauses([&] { return device->Count("write") == 2; }));
  // Settles once the relay's answers are used up (or it is ready).
  ASSERT_TRUE(afterPauses([&] {
    bool settled = false;
    master->Serialized([&] { settled = master->IsReady() || log.Has("error"); });
    return settled && device->Count("read") == device->Count("write");
  }));
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(device->Count("write"), device->Count("read"));
  EXPECT_LE(2u, device->Count("read"));
}

TEST_F(ZorelOneWireMasterTest, ResponseListWithSetModeAndReadAnswersReachesEachOwnerInListOrder) {
  device->holdSetModeOf = 0x10;  // channel 4's set-mode answer rides on the next read answer
  Attach();
  auto second = MakeMaster(4);
  second->Enable(true);
  ASSERT_TRUE(orvane::Flush());
  auto first = MakeMaster(3);
  first->Enable(true);
  // The read answer of channel 3 carries [set-mode of channel 4, read bytes]:
  // channel 4 goes on with its handshake, channel 3 takes the bytes.
  ASSERT_TRUE(Eventually([&] { return first->IsReady() && second->IsReady(); }));
  ASSERT_TRUE(orvane::Flush());
  const std::vector<std::string> log = device->Log();
  ASSERT_LE(6u, log.size());
  EXPECT_EQ((std::vector<std::string>{"setmode", "setmode", "service4", "write", "read",
                                      "service4"}),
            std::vector<std::string>(log.begin(), log.begin() + 6));
}

}  // namespace

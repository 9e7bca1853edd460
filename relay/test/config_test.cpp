#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/Recorders.h"
#include "testing/Roms.h"
#include "testing/ScriptedRelay.h"

namespace {

using namespace orvtest;
using Response = RemoteOneWireMaster::Response;

class RemoteOneWireMasterConfig : public ::testing::Test {
 protected:
  void SetUp() override { master.AddListener(bus); }

  // Disable, then enable with the configuration answered by `outbound`.
  void Reenable(const Bytes& outbound) {
    master.Enable(false);
    master.Expect(kConfigBlock, outbound);
    master.Enable(true);
    master.Run();
  }

  // A later query on the same master: disable, enable, a good configuration.
  void ExpectNextEnableSucceeds() {
    const int ready = bus->ready;
    const std::size_t errors = bus->errors.size();
    Reenable(ConfigAnswer(0x40, 0x80));
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    EXPECT_EQ(bus->ready, ready + 1);
    EXPECT_EQ(bus->errors.size(), errors);
    master.Verify();
  }

  ScriptedRelay master;
  std::shared_ptr<BusLog> bus = std::make_shared<BusLog>();
};

TEST_F(RemoteOneWireMasterConfig, SendsTheConfigurationAndTakesTheRelaysValues) {
  master.ExpectHeld(kConfigBlock);
  master.Enable(true);
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Enabling);
  master.Answer(
      {0x84, 0x00, 0x05, 0x01, 0x30, 0x06, 0x01, 0x30, 0x07, 0x01, 0x00, 0x08, 0x01, 0x00});
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  EXPECT_EQ(bus->ready, 1);
  EXPECT_TRUE(bus->errors.empty());
  EXPECT_EQ(master.GetOutboundMax(), 48);
  EXPECT_EQ(master.GetInboundMax(), 48);
  EXPECT_EQ(master.GetProtocol(), "");
  EXPECT_EQ(master.GetVendor(), "");

  // Enabling again while enabled sends nothing (the relay expects nothing).
  master.Enable(true);

  // The texts end at their first 0 byte.
  Reenable({0x84, 0x00, 0x05, 0x01, 0x50, 0x06, 0x01, 0xC8, 0x07, 0x05, 0x41, 0x42, 0x00, 0x43,
            0x00, 0x08, 0x02, 0x56, 0x00});
  EXPECT_EQ(master.GetOutboundMax(), 0x50);
  EXPECT_EQ(master.GetInboundMax(), 0xC8);
  EXPECT_EQ(master.GetProtocol(), "AB");
  EXPECT_EQ(master.GetVendor(), "V");
}

TEST_F(RemoteOneWireMasterConfig, EveryFailedCheckIsReportedAndTheMasterStillBecomesReady) {
  struct Case {
    Bytes outbound;
    const char* text;
  };
  const Bytes tail = {0x05, 0x01, 0x40, 0x06, 0x01, 0x40, 0x07, 0x01, 0x00, 0x08, 0x01, 0x00};
  const std::vector<Case> cases = {
      {Concat({{0x84, 0x01}, tail}), "CMD_RESET failed"},  // 1 does not halt
      {{0x84, 0x02}, "CMD_RESET failed"},
      {{0x84, 0x00, 0x05, 0x01, 0x2F, 0x06, 0x01, 0x40, 0x07, 0x01, 0x00, 0x08, 0x01, 0x00},
       "Invalid CMD_DATA_OUTBOUND_MAX response value"},
      {{0x84, 0x00, 0x05, 0x00, 0x06, 0x01, 0x40, 0x07, 0x01, 0x00, 0x08, 0x01, 0x00},
       "Invalid CMD_DATA_OUTBOUND_MAX response data"},
      {{0x84, 0x00, 0x05, 0x01, 0x40, 0x06, 0x02, 0x40, 0x40, 0x07, 0x01, 0x00, 0x08, 0x01, 0x00},
       "Invalid CMD_DATA_INBOUND_MAX response data"},
      {{0x84, 0x00, 0x05, 0x01, 0x40, 0x06, 0x01, 0x2F, 0x07, 0x01, 0x00, 0x08, 0x01, 0x00},
       "Invalod CMD_DATA_INBOUND_MAX response value"},
      {{0x84, 0x00, 0x05, 0x01, 0x40, 0x06, 0x01, 0x40, 0x07, 0x02, 0x41, 0x42, 0x08, 0x01, 0x00},
       "Invalid CMD_DATA_PROTOCOL response data"},
      {{0x84, 0x00, 0x05, 0x01, 0x40, 0x06, 0x01, 0x40, 0x07, 0x00, 0x08, 0x01, 0x00},
       "Invalid CMD_DATA_PROTOCOL response data"},
      {{0x84, 0x00, 0x05, 0x01, 0x40, 0x06, 0x01, 0x40, 0x07, 0x01, 0x00, 0x08, 0x00},
       "Invalid CMD_DATA_VENDOR response data"},
      {{}, "Relay did not answer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    bus->errors.clear();
    master.Enable(false);
    // An empty block stands for a relay that stays silent through the budget.
    if (c.outbound.empty()) {
      master.ExpectSilent(kConfigBlock);
    } else {
      master.Expect(kConfigBlock, c.outbound);
    }
    master.Enable(true);
    master.Run();
    EXPECT_EQ(bus->errors,
              std::vector<std::string>{std::string("Failed to configure remote: ") + c.text});
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    ExpectNextEnableSucceeds();
  }
}

TEST_F(RemoteOneWireMasterConfig, AnswersNoRelayBlockCanCarryAreCheckedToo) {
  // The parser gives every request of a non-halted block a response with the
  // request's own code, so missing or failed reads only come from elsewhere.
  const std::vector<Response> good = {{0x84, 0, {}},
                                      {0x05, 0, {0x40}},
                                      {0x06, 0, {0x40}},
                                      {0x07, 0, {0x41, 0}},
                                      {0x08, 0, {0x42, 0}}};
  const char* missing[] = {"No CMD_RESET response", "No CMD_DATA_OUTBOUND_MAX response",
                           "No CMD_DATA_INBOUND_MAX response", "No CMD_DATA_PROTOCOL response",
                           "No CMD_DATA_VENDOR response"};
  const char* failed[] = {"CMD_RESET failed", "CMD_DATA_OUTBOUND_MAX failed",
                          "CMD_DATA_INBOUND_MAX failed", "CMD_DATA_PROTOCOL failed",
                          "CMD_DATA_VENDOR failed"};
  for (std::size_t at = 0; at < good.size(); ++at) {
    for (const bool cut : {true, false}) {
      std::vector<Response> responses(good.begin(),
                                      good.begin() + static_cast<std::ptrdiff_t>(at) + 1);
      if (cut) responses.pop_back();
      if (!cut) responses.back().returnCode = 1;
      const std::string text = cut ? missing[at] : failed[at];
      SCOPED_TRACE(text);
      bus->errors.clear();
      master.Enable(false);
      master.ExpectHeld(kConfigBlock);
      master.Enable(true);
      master.FinishWith(responses);
      EXPECT_EQ(bus->errors, std::vector<std::string>{"Failed to configure remote: " + text});
      EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    }
  }
  ExpectNextEnableSucceeds();
}

TEST_F(RemoteOneWireMasterConfig, ProtocolErrorReachesEveryListenerOnceAndTheMasterBecomesReady) {
  const auto waiting = std::make_shared<DiscoveryLog>();
  // The discovery enables the master; it ends with the configuration, so no
  // search is sent.
  master.Expect(kConfigBlock, {0x84});
  master.Discover(waiting);
  master.Run();
  EXPECT_EQ(bus->errors, std::vector<std::string>{"Remote OneWire protocol error"});
  EXPECT_EQ(waiting->errors, std::vector<std::string>{
                                 "Remote OneWire transfer failed: Remote OneWire protocol error"});
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  EXPECT_EQ(bus->ready, 1);
  ExpectNextEnableSucceeds();
}

TEST_F(RemoteOneWireMasterConfig, DisablingEndsEverythingThatWaitsAndEnablingStartsAfresh) {
  const auto waiting = std::make_shared<DiscoveryLog>();
  TransactionLog log;
  master.ExpectHeld(kConfigBlock);
  master.Discover(waiting);
  const auto transaction = master.CreateTransaction(log);
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "op", MakeRom(0x14, 1), 0x66, Bytes{0}, 1));
  transaction->Submit();
  ASSERT_EQ(master.Queued(), 1u);  // behind the configuration in flight

  master.Enable(false);
  const std::string text =
      "Remote OneWire transfer failed: Master disabled before the exchange ended";
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Disabled);
  EXPECT_EQ(waiting->errors, std::vector<std::string>{text});
  EXPECT_EQ(log.events, std::vector<std::string>{"error: " + text});
  EXPECT_EQ(master.Submitted(), 0u);
  EXPECT_EQ(master.Queued(), 0u);
  EXPECT_FALSE(master.InFlight());
  // A late answer to the dropped configuration changes nothing.
  master.Answer(ConfigAnswer(0x40, 0x40));
  EXPECT_EQ(bus->ready, 0);

  master.Expect(kConfigBlock, ConfigAnswer(0x40, 0x40));
  master.Enable(true);
  master.Run();
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  EXPECT_EQ(bus->ready, 1);
  EXPECT_TRUE(bus->errors.empty());
}

}  // namespace

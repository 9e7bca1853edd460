#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "relay/test/ScriptedRelay.h"

namespace {

using Response = RemoteOneWireMaster::Response;

const Bytes kFirstBlock = {0x01, 0x02, 0x00, 0x00, 0x02, 0x01, 0xF0, 0x00, 0x08,
                           0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,
                           0x81, 0x00, 0x00, 0x80, 0x81, 0x00, 0x00, 0x85};
const Bytes kLaterBlock = {0x80, 0x81, 0x00, 0x00, 0x80, 0x81, 0x00, 0x00, 0x85};
const Bytes kLoaded = {0x86, 0x00, 0x86, 0x00, 0x86, 0x00};
const char kPrefix[] = "Remote OneWire transfer failed: ";

// One search pass: CMD_ML_RESET, CMD_ML_SEARCH and the CMD_DATA_ID read.
Bytes Pass(uint8_t resetCode, uint8_t searchCode, const Bytes& id) {
  return Concat({{0x80, resetCode, 0x81, searchCode, 0x00, static_cast<uint8_t>(id.size())}, id});
}

Bytes RomBytes(const Device& device) { return Bytes(device.begin(), device.end()); }

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master.AddListener(bus);
    master.MakeReady();
    master.inbound.clear();
  }

  // A later discovery on the same master finds one device.
  void ExpectNextDiscoverySucceeds() {
    const auto next = std::make_shared<DiscoveryLog>();
    master.Discover(next);
    ASSERT_EQ(master.inbound.back(), kFirstBlock);
    master.Answer(SearchAnswer(true, {Rom(9)}));
    EXPECT_EQ(next->found, std::vector<std::vector<Device>>{{Rom(9)}});
    EXPECT_TRUE(next->errors.empty());
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  }

  ScriptedRelay master;
  std::shared_ptr<BusLog> bus = std::make_shared<BusLog>();
  std::shared_ptr<DiscoveryLog> discovery = std::make_shared<DiscoveryLog>();
};

TEST_F(SearchTest, FindsTheDevicesTwoPassesPerTransfer) {
  struct Case {
    std::vector<Bytes> answers;
    std::vector<Device> expected;
  };
  const std::vector<Case> cases = {
      {{SearchAnswer(true, {})}, {}},
      {{SearchAnswer(true, {Rom(1)})}, {Rom(1)}},
      {{SearchAnswer(true, {Rom(1), Rom(2)}), SearchAnswer(false, {})}, {Rom(1), Rom(2)}},
      {{SearchAnswer(true, {Rom(1), Rom(2)}), SearchAnswer(false, {Rom(3)})},
       {Rom(1), Rom(2), Rom(3)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.size());
    master.inbound.clear();
    discovery = std::make_shared<DiscoveryLog>();
    master.Discover(discovery);
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Searching);
    master.Play(c.answers);
    std::vector<Bytes> blocks{kFirstBlock};
    if (c.answers.size() > 1) blocks.push_back(kLaterBlock);
    EXPECT_EQ(master.inbound, blocks);
    EXPECT_EQ(discovery->found, std::vector<std::vector<Device>>{c.expected});
    EXPECT_TRUE(discovery->errors.empty());
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    EXPECT_FALSE(master.InFlight());
  }
  EXPECT_TRUE(bus->errors.empty());
}

TEST_F(SearchTest, EveryFailedCheckEndsTheDiscovery) {
  struct Case {
    Bytes outbound;
    const char* text;
  };
  const Bytes found = Pass(0, 0, RomBytes(Rom(1)));
  Bytes badCrc = RomBytes(Rom(1));
  badCrc[7] ^= 0x01;
  const std::vector<Case> cases = {
      {{0x86, 0x05}, "Failed to initialize search state"},
      {{0x86, 0x00, 0x86, 0x03}, "Failed to initialize search command"},
      {{0x86, 0x00, 0x86, 0x00, 0x86, 0x07}, "Failed to initialize search ID"},
      {Concat({kLoaded, Pass(1, 1, Bytes(8, 0)), Pass(0, 1, Bytes(8, 0))}), "CMD_ML_RESET failed"},
      {Concat({kLoaded, {0x80, 0x02}}), "CMD_ML_RESET failed"},
      {Concat({kLoaded, {0x80, 0x00, 0x81, 0x02}}), "CMD_ML_SEARCH failed"},
      {Concat({kLoaded, found, Pass(0, 0, badCrc)}), "CMD_DATA_ID CRC Check failed"},
      {Concat({kLoaded, Pass(0, 0, Bytes(7, 0)), found}),
       "Invalid CMD_DATA_ID response (size != 8)"},
      {{}, "Relay did not answer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    discovery = std::make_shared<DiscoveryLog>();
    master.Discover(discovery);
    master.Play(c.outbound.empty() ? std::vector<Bytes>(4) : std::vector<Bytes>{c.outbound});
    EXPECT_EQ(discovery->errors, std::vector<std::string>{kPrefix + std::string(c.text)});
    EXPECT_TRUE(discovery->found.empty());
    EXPECT_TRUE(bus->errors.empty());
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    ExpectNextDiscoverySucceeds();
  }
}

TEST_F(SearchTest, AnswersNoRelayBlockCanCarryAreCheckedToo) {
  const std::vector<Response> loads = {{0x01, 0, {}}, {0x02, 0, {}}, {0x00, 0, {}}};
  struct Case {
    std::vector<Response> tail;
    const char* text;
  };
  const std::vector<Case> cases = {
      {{}, "No CMD_ML_RESET response"},
      {{{0x80, 0, {}}}, "No CMD_ML_SEARCH response"},
      {{{0x80, 0, {}}, {0x81, 0, {}}}, "No CMD_DATA_ID response"},
      {{{0x80, 0, {}}, {0x81, 0, {}}, {0x00, 1, RomBytes(Rom(1))}}, "CMD_DATA_ID failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    discovery = std::make_shared<DiscoveryLog>();
    master.Discover(discovery);
    std::vector<Response> responses = loads;
    responses.insert(responses.end(), c.tail.begin(), c.tail.end());
    master.FinishWith(responses);
    EXPECT_EQ(discovery->errors, std::vector<std::string>{kPrefix + std::string(c.text)});
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  }
  ExpectNextDiscoverySucceeds();
}

TEST_F(SearchTest, ProtocolErrorReachesEachListenerOnce) {
  master.Discover(discovery);
  // A pass that reports no further device must still answer its read.
  master.Answer(Concat({kLoaded, {0x80, 0x00, 0x81, 0x01}}));
  EXPECT_EQ(bus->errors, std::vector<std::string>{"Remote OneWire protocol error"});
  EXPECT_EQ(discovery->errors,
            std::vector<std::string>{kPrefix + std::string("Remote OneWire protocol error")});
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  ExpectNextDiscoverySucceeds();
}

TEST_F(SearchTest, DisablingWhileSearchingEndsTheDiscovery) {
  master.Discover(discovery);
  master.Answer(SearchAnswer(true, {Rom(1), Rom(2)}));
  ASSERT_EQ(master.inbound.back(), kLaterBlock);
  master.Enable(false);
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Disabled);
  EXPECT_EQ(
      discovery->errors,
      std::vector<std::string>{kPrefix + std::string("Master disabled before the exchange ended")});
  master.Answer(SearchAnswer(false, {}));  // too late: ignored
  EXPECT_TRUE(discovery->found.empty());

  master.MakeReady();
  ExpectNextDiscoverySucceeds();
}

TEST_F(SearchTest, SearchTransferOutlivedByItsDiscoveryIsDropped) {
  // The second search transfer waits behind a transaction whose answer
  // breaks the protocol, which ends the discovery.
  TransactionLog log;
  master.Discover(discovery);
  const auto transaction = master.CreateTransaction(log);
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "op", Rom(1), 0x66, Bytes{0}, 1));
  transaction->Submit();
  master.Answer(SearchAnswer(true, {Rom(1), Rom(2)}));
  ASSERT_EQ(master.Queued(), 1u);
  master.Answer({0x81});
  EXPECT_EQ(discovery->errors.size(), 1u);
  EXPECT_EQ(log.events.size(), 1u);
  EXPECT_EQ(master.Queued(), 0u);
  EXPECT_FALSE(master.InFlight());
  // The next discovery loads a fresh search context instead of continuing
  // the old one.
  ExpectNextDiscoverySucceeds();
}

TEST_F(SearchTest, SearchWhileASearchTransferIsQueuedOrInFlightQueuesNothing) {
  // In flight: the discovery's first transfer has gone out.
  master.Discover(discovery);
  ASSERT_TRUE(master.InFlight());
  master.Search();
  EXPECT_EQ(master.Queued(), 0u);
  EXPECT_EQ(master.inbound.size(), 1u);
  master.Answer(SearchAnswer(true, {}));
  ASSERT_EQ(discovery->found.size(), 1u);

  // Queued: the search transfer waits behind a transaction.
  TransactionLog log;
  const auto transaction = master.CreateTransaction(log);
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "op", Rom(1), 0x66, Bytes{0}, 1));
  transaction->Submit();
  master.Discover(discovery);
  ASSERT_EQ(master.Queued(), 1u);
  master.Search();
  EXPECT_EQ(master.Queued(), 1u);
}

}  // namespace

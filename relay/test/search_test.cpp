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

const Bytes kLoaded = {0x86, 0x00, 0x86, 0x00, 0x86, 0x00};
const char kPrefix[] = "Remote OneWire transfer failed: ";

Device Rom(uint8_t serial) { return MakeRom(0x14, serial); }

class RemoteOneWireMasterSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    master.AddListener(bus);
    master.MakeReady();
  }

  // A later discovery on the same master finds one device.
  void ExpectNextDiscoverySucceeds() {
    const auto next = std::make_shared<DiscoveryLog>();
    master.Expect(kFirstSearchBlock, SearchAnswer(true, {Rom(9)}));
    master.Discover(next);
    master.Run();
    EXPECT_EQ(next->found, std::vector<std::vector<Device>>{{Rom(9)}});
    EXPECT_TRUE(next->errors.empty());
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    master.Verify();
  }

  ScriptedRelay master;
  std::shared_ptr<BusLog> bus = std::make_shared<BusLog>();
  std::shared_ptr<DiscoveryLog> discovery = std::make_shared<DiscoveryLog>();
};

TEST_F(RemoteOneWireMasterSearch, FindsTheDevicesTwoPassesPerTransfer) {
  struct Case {
    std::vector<Bytes> answers;  // first transfer, then later ones
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
    for (std::size_t i = 0; i < c.answers.size(); ++i) {
      master.Expect(i == 0 ? kFirstSearchBlock : kLaterSearchBlock, c.answers[i]);
    }
    discovery = std::make_shared<DiscoveryLog>();
    master.Discover(discovery);
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Searching);
    master.Run();
    EXPECT_EQ(discovery->found, std::vector<std::vector<Device>>{c.expected});
    EXPECT_TRUE(discovery->errors.empty());
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    EXPECT_FALSE(master.InFlight());
    master.Verify();
  }
  EXPECT_TRUE(bus->errors.empty());
}

TEST_F(RemoteOneWireMasterSearch, PacksAsManyPassesAsAskedAndBothLimitsAllow) {
  struct Case {
    uint8_t inboundMax, outboundMax;
    unsigned asked;               // SEARCH_PASSES_MOST: as many as fit
    std::size_t first, later;     // passes per transfer
  };
  const unsigned kMost = RemoteOneWireMaster::SEARCH_PASSES_MOST;
  // A first transfer takes 17 + 4 per pass bytes of commands and up to
  // 17 + 14 per pass bytes of answers; a later one 4 and 14 per pass.
  const std::vector<Case> cases = {
      {0xFF, 0xFF, 2, 2, 2},     {0xFF, 0xFF, 1, 1, 1},  {0xFF, 0xFF, 5, 5, 5},
      {0xFF, 0xFF, kMost, 17, 18}, {48, 48, kMost, 2, 3}, {48, 0xFF, kMost, 7, 11},
      {0xFF, 48, kMost, 2, 3},   {48, 48, 9, 2, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.inboundMax) << "/" << int(c.outboundMax) << " "
                                      << c.asked);
    ScriptedRelay relay;
    relay.MakeReady(c.inboundMax, c.outboundMax);
    relay.SetSearchPasses(c.asked);
    // first + later devices: the third transfer's first pass ends the search;
    // its later answers (the relay starting over finds a device again) are
    // ignored.
    std::vector<Device> roms;
    for (std::size_t i = 0; i < c.first + c.later; ++i) roms.push_back(Rom(uint8_t(i + 1)));
    const std::vector<Device> firstFound(roms.begin(), roms.begin() + c.first);
    const std::vector<Device> laterFound(roms.begin() + c.first, roms.end());
    Bytes last = SearchAnswer(false, {}, 1);
    if (c.later > 1) {
      last = Concat({last, SearchAnswer(false, {Rom(1)}, 1), SearchAnswer(false, {}, c.later - 2)});
    }
    relay.Expect(SearchBlock(true, c.first), SearchAnswer(true, firstFound, c.first));
    relay.Expect(SearchBlock(false, c.later), SearchAnswer(false, laterFound, c.later));
    relay.Expect(SearchBlock(false, c.later), last);
    discovery = std::make_shared<DiscoveryLog>();
    relay.Discover(discovery);
    relay.Run();
    EXPECT_EQ(discovery->found, std::vector<std::vector<Device>>{roms});
    EXPECT_EQ(relay.GetState(), RemoteOneWireMaster::Ready);
  }
}

TEST_F(RemoteOneWireMasterSearch, EveryFailedCheckEndsTheDiscovery) {
  struct Case {
    Bytes outbound;
    const char* text;
  };
  const Bytes found = PassAnswer(0, 0, RomData(Rom(1)));
  const std::vector<Case> cases = {
      {{0x86, 0x05}, "Failed to initialize search state"},
      {{0x86, 0x00, 0x86, 0x03}, "Failed to initialize search command"},
      {{0x86, 0x00, 0x86, 0x00, 0x86, 0x07}, "Failed to initialize search ID"},
      {Concat({kLoaded, PassAnswer(1, 1, Bytes(8, 0)), PassAnswer(0, 1, Bytes(8, 0))}),
       "CMD_ML_RESET failed"},
      {Concat({kLoaded, {0x80, 0x02}}), "CMD_ML_RESET failed"},
      {Concat({kLoaded, {0x80, 0x00, 0x81, 0x02}}), "CMD_ML_SEARCH failed"},
      {Concat({kLoaded, PassAnswer(0, 0, Bytes(7, 0)), found}),
       "Invalid CMD_DATA_ID response (size != 8)"},
      {{}, "Relay did not answer"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    if (c.outbound.empty()) {
      master.ExpectSilent(kFirstSearchBlock);
    } else {
      master.Expect(kFirstSearchBlock, c.outbound);
    }
    discovery = std::make_shared<DiscoveryLog>();
    master.Discover(discovery);
    master.Run();
    EXPECT_EQ(discovery->errors, std::vector<std::string>{kPrefix + std::string(c.text)});
    EXPECT_TRUE(discovery->found.empty());
    EXPECT_TRUE(bus->errors.empty());
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
    ExpectNextDiscoverySucceeds();
  }
}

// A ROM failing its CRC-8 check (line noise) starts the search over with a
// fresh context, at most twice; the discovery then fails with the check's
// text. Each repeat is noted for the discovery's listeners.
TEST_F(RemoteOneWireMasterSearch, PassFailingItsCrcIsRepeatedTwiceBeforeTheDiscoveryFails) {
  Bytes badCrc = RomData(Rom(2));
  badCrc[7] ^= 0x01;
  const Bytes noisy =
      Concat({kLoaded, PassAnswer(0, 0, RomData(Rom(1))), PassAnswer(0, 0, badCrc)});
  const auto note = [](int n) {
    return "Search pass repeated: ROM CRC-8 check failed (repeat " + std::to_string(n) + " of 2)";
  };
  struct Case {
    int noisyAnswers;  // first transfers whose second pass is noisy
    std::vector<std::string> notes;
    bool fails;
  };
  const std::vector<Case> cases = {
      {1, {note(1)}, false}, {2, {note(1), note(2)}, false}, {3, {note(1), note(2)}, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.noisyAnswers);
    for (int i = 0; i < c.noisyAnswers; ++i) master.Expect(kFirstSearchBlock, noisy);
    if (!c.fails) {
      master.Expect(kFirstSearchBlock, SearchAnswer(true, {Rom(1), Rom(2)}));
      master.Expect(kLaterSearchBlock, SearchAnswer(false, {}));
    }
    discovery = std::make_shared<DiscoveryLog>(&master);
    master.Discover(discovery);
    master.Run();
    master.Verify();
    EXPECT_EQ(discovery->notes, c.notes);
    const std::vector<std::string> errors =
        c.fails ? std::vector<std::string>{kPrefix + std::string("CMD_DATA_ID CRC Check failed")}
                : std::vector<std::string>();
    EXPECT_EQ(discovery->errors, errors);
    const std::vector<std::vector<Device>> found =
        c.fails ? std::vector<std::vector<Device>>()
                : std::vector<std::vector<Device>>{{Rom(1), Rom(2)}};
    EXPECT_EQ(discovery->found, found);
    EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  }
  ExpectNextDiscoverySucceeds();
}

TEST_F(RemoteOneWireMasterSearch, AnswersNoRelayBlockCanCarryAreCheckedToo) {
  const std::vector<Response> loads = {{0x01, 0, {}}, {0x02, 0, {}}, {0x00, 0, {}}};
  struct Case {
    std::vector<Response> tail;
    const char* text;
  };
  const std::vector<Case> cases = {
      {{}, "No CMD_ML_RESET response"},
      {{{0x80, 0, {}}}, "No CMD_ML_SEARCH response"},
      {{{0x80, 0, {}}, {0x81, 0, {}}}, "No CMD_DATA_ID response"},
      {{{0x80, 0, {}}, {0x81, 0, {}}, {0x00, 1, RomData(Rom(1))}}, "CMD_DATA_ID failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    master.ExpectHeld(kFirstSearchBlock);
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

TEST_F(RemoteOneWireMasterSearch, ProtocolErrorReachesEachListenerOnce) {
  // A pass that reports no further device must still answer its read.
  master.Expect(kFirstSearchBlock, Concat({kLoaded, {0x80, 0x00, 0x81, 0x01}}));
  master.Discover(discovery);
  master.Run();
  EXPECT_EQ(bus->errors, std::vector<std::string>{"Remote OneWire protocol error"});
  EXPECT_EQ(discovery->errors,
            std::vector<std::string>{kPrefix + std::string("Remote OneWire protocol error")});
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Ready);
  ExpectNextDiscoverySucceeds();
}

TEST_F(RemoteOneWireMasterSearch, DisablingWhileSearchingEndsTheDiscovery) {
  master.Expect(kFirstSearchBlock, SearchAnswer(true, {Rom(1), Rom(2)}));
  master.ExpectHeld(kLaterSearchBlock);
  master.Discover(discovery);
  master.Run();
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

TEST_F(RemoteOneWireMasterSearch, SearchTransferOutlivedByItsDiscoveryIsDropped) {
  // The second search transfer waits behind a transaction whose answer
  // breaks the protocol, which ends the discovery; the second search
  // transfer is never sent.
  TransactionLog log;
  master.ExpectHeld(kFirstSearchBlock);
  master.ExpectHeld(Block(OperationBlock(Rom(1), 0x66, {0}, 1)));
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

TEST_F(RemoteOneWireMasterSearch, SearchWhileASearchTransferIsQueuedOrInFlightQueuesNothing) {
  // In flight: the discovery's first transfer has gone out.
  master.ExpectHeld(kFirstSearchBlock);
  master.Discover(discovery);
  const std::size_t sent = master.Sent();
  ASSERT_TRUE(master.InFlight());
  master.Search();
  EXPECT_EQ(master.Queued(), 0u);
  EXPECT_EQ(master.Sent(), sent);
  master.Answer(SearchAnswer(true, {}));
  ASSERT_EQ(discovery->found.size(), 1u);

  // Queued: the search transfer waits behind a transaction (whose answer
  // then breaks the protocol and ends it all).
  TransactionLog log;
  master.ExpectHeld(Block(OperationBlock(Rom(1), 0x66, {0}, 1)));
  const auto transaction = master.CreateTransaction(log);
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "op", Rom(1), 0x66, Bytes{0}, 1));
  transaction->Submit();
  master.Discover(discovery);
  ASSERT_EQ(master.Queued(), 1u);
  master.Search();
  EXPECT_EQ(master.Queued(), 1u);
  master.Answer({0x81});
  EXPECT_EQ(discovery->errors.size(), 1u);
  master.Verify();
}

}  // namespace

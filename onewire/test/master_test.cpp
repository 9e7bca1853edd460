#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"

namespace {

using Device = AbstractOneWireMaster::Device;

Device Rom(uint8_t n) {
  std::array<uint8_t, 8> rom{{0x14, n, 0, 0, 0, 0, 0, 0}};
  rom[7] = Device::crc8(rom.data(), 7);
  return Device(rom);
}

// A transaction that the test master runs by hand.
class TestTransaction : public AbstractOneWireMaster::Transaction {
 public:
  TestTransaction(AbstractOneWireMaster& master, Listener& listener)
      : Transaction(master, listener) {}

  // Replies to every operation with `length` bytes of its command value; with
  // `failAt` set, fails at that operation instead.
  void Run(int failAt = -1) {
    int index = 0;
    for (const auto& operation : operations) {
      if (index++ == failAt) {
        Error("operation failed");
        return;
      }
      const auto& data = operation->getData();
      FinishOperation(*operation, std::vector<uint8_t>(data.length, data.command));
    }
    Finished();
  }
};

// A master whose bring-up and search passes the test drives step by step.
class TestMaster : public AbstractOneWireMaster {
 public:
  void Enable(bool enable) override {
    ++enableCalls;
    if (enable && state == Disabled) {
      state = Enabling;
      if (!deferBringUp) Process();
    } else if (!enable && (state == Enabling || state == Ready)) {
      state = Disabled;
    }
  }
  std::shared_ptr<Transaction> CreateTransaction(Transaction::Listener& listener) override {
    return std::make_shared<TestTransaction>(*this, listener);
  }

  void FinishBringUp() { Process(); }
  void ReportDevice(const Device& device, bool pending) {
    search.id = device;
    SearchFinished(pending);
  }
  void ReportDone() {
    search.done = true;
    SearchFinished(false);
  }
  void ReportSearchError(const std::string& message) { SearchError(message); }
  void ReportBusError(const std::string& message) { Error(message); }
  void FailAll(const std::string& message) { FailTransactions(message); }
  // Answers every search pass from `bus`, two passes per call as a relay would.
  void AnswerFromBus() {
    autoAnswer = true;
  }

  const SearchContext& Context() const { return search; }
  std::size_t SubmittedCount() const { return transactions.size(); }
  const std::list<std::shared_ptr<Transaction>>& Submitted() const { return transactions; }

  bool deferBringUp = false;
  int enableCalls = 0;
  int searchCalls = 0;
  int processCalls = 0;
  std::vector<Device> bus;
  bool autoAnswer = false;

 protected:
  void Process() override {
    ++processCalls;
    AbstractOneWireMaster::Process();
  }
  void Search() override {
    ++searchCalls;
    if (!autoAnswer) return;
    // Pass results as the relay delivers them: first of a pair pending.
    for (int pass = 0; pass < 2; ++pass) {
      if (next >= bus.size()) {
        next = 0;
        ReportDone();
        return;
      }
      ReportDevice(bus[next++], pass == 0);
    }
  }

 private:
  std::size_t next = 0;
};

struct Events {
  std::vector<std::string> log;
};

class RecordingBusListener : public AbstractOneWireMaster::Listener {
 public:
  RecordingBusListener(Events& events, std::string name) : events(events), name(std::move(name)) {}
  void Ready() override {
    events.log.push_back(name + ".Ready");
    if (onReady) onReady();
  }
  void Error(const std::string& message) override {
    events.log.push_back(name + ".Error:" + message);
  }
  Events& events;
  std::string name;
  std::function<void()> onReady;
};

class RecordingDiscovery : public AbstractOneWireMaster::DiscoveryListener {
 public:
  RecordingDiscovery(Events& events, std::string name) : events(events), name(std::move(name)) {}
  void Discovered(const std::vector<Device>& found) override {
    devices = found;
    ++discoveredCalls;
    events.log.push_back(name + ".Discovered:" + std::to_string(found.size()));
    if (onDiscovered) onDiscovered();
  }
  void Error(const std::string& message) override {
    events.log.push_back(name + ".Error:" + message);
  }
  Events& events;
  std::string name;
  std::vector<Device> devices;
  int discoveredCalls = 0;
  std::function<void()> onDiscovered;
};

class AbstractOneWireMasterTest : public ::testing::Test {
 protected:
  std::shared_ptr<RecordingDiscovery> NewDiscovery(const std::string& name) {
    return std::make_shared<RecordingDiscovery>(events, name);
  }
  Events events;
  TestMaster master;
};

TEST_F(AbstractOneWireMasterTest, DiscoverOnDisabledMasterEnablesAndSearchesRightAfterReady) {
  master.deferBringUp = true;
  auto bus = std::make_shared<RecordingBusListener>(events, "bus");
  master.AddListener(bus);
  master.Discover(NewDiscovery("d"));
  EXPECT_EQ(1, master.enableCalls);
  EXPECT_EQ(AbstractOneWireMaster::Enabling, master.GetState());
  EXPECT_EQ(0, master.searchCalls);

  bus->onReady = [this] { EXPECT_EQ(0, master.searchCalls); };
  master.FinishBringUp();
  EXPECT_EQ(std::vector<std::string>{"bus.Ready"}, events.log);
  EXPECT_EQ(1, master.searchCalls);
  EXPECT_TRUE(master.IsEnabled());
  EXPECT_FALSE(master.IsReady());
  EXPECT_EQ(0xF0, master.Context().command);
  EXPECT_TRUE(master.Context().load);
}

TEST_F(AbstractOneWireMasterTest, DiscoverFromReadyListenerStartsOneSearchOnly) {
  master.deferBringUp = true;
  auto bus = std::make_shared<RecordingBusListener>(events, "bus");
  bus->onReady = [this] { master.Discover(NewDiscovery("d")); };
  master.AddListener(bus);
  master.Enable(true);
  master.FinishBringUp();
  EXPECT_EQ(1, master.searchCalls);
  EXPECT_EQ(AbstractOneWireMaster::Searching, master.GetState());
}

TEST_F(AbstractOneWireMasterTest, JoinedDiscoveriesShareOneSearchAndOneList) {
  master.deferBringUp = true;
  auto first = NewDiscovery("first");
  auto second = NewDiscovery("second");
  master.Discover(first);
  master.Discover(second);
  master.FinishBringUp();
  ASSERT_EQ(1, master.searchCalls);

  master.ReportDevice(Rom(1), true);
  // A late joiner neither resets the context nor starts a second search.
  master.Discover(NewDiscovery("late"));
  EXPECT_EQ(Rom(1), master.Context().id);
  EXPECT_EQ(1, master.searchCalls);

  master.ReportDone();
  EXPECT_EQ((std::vector<std::string>{"first.Discovered:1", "second.Discovered:1",
                                      "late.Discovered:1"}),
            events.log);
  EXPECT_EQ(first->devices, second->devices);
  EXPECT_TRUE(master.IsReady());
}

TEST_F(AbstractOneWireMasterTest, EmptyBusDeliversEmptyListAndReturnsToReady) {
  master.Enable(true);
  auto discovery = NewDiscovery("d");
  master.Discover(discovery);
  master.ReportDone();
  EXPECT_EQ(1, discovery->discoveredCalls);
  EXPECT_TRUE(discovery->devices.empty());
  EXPECT_TRUE(master.IsReady());
}

TEST_F(AbstractOneWireMasterTest, PendingReportsDecideWhenTheBaseAsksForTheNextPass) {
  master.Enable(true);
  auto discovery = NewDiscovery("d");
  master.Discover(discovery);
  ASSERT_EQ(1, master.searchCalls);
  master.ReportDevice(Rom(1), true);
  EXPECT_EQ(1, master.searchCalls);
  master.ReportDevice(Rom(2), false);
  EXPECT_EQ(2, master.searchCalls);
  master.ReportDevice(Rom(3), true);
  EXPECT_EQ(2, master.searchCalls);
  master.ReportDone();
  EXPECT_EQ((std::vector<Device>{Rom(1), Rom(2), Rom(3)}), discovery->devices);
}

TEST_F(AbstractOneWireMasterTest, NewDiscoveryStartsFromFreshContextAndList) {
  master.bus = {Rom(1), Rom(2), Rom(3)};
  master.AnswerFromBus();
  master.Enable(true);
  auto first = NewDiscovery("first");
  master.Discover(first);
  EXPECT_EQ(3u, first->devices.size());
  auto second = NewDiscovery("second");
  master.Discover(second);
  EXPECT_EQ(first->devices, second->devices);
  EXPECT_EQ(1, second->discoveredCalls);
}

TEST_F(AbstractOneWireMasterTest, DiscoverFromInsideDiscoveredJoinsTheEndingDiscovery) {
  master.bus = {Rom(7)};
  master.Enable(true);
  auto joiner = NewDiscovery("joiner");
  auto first = NewDiscovery("first");
  first->onDiscovered = [&] { master.Discover(joiner); };
  master.Discover(first);
  master.ReportDevice(Rom(7), false);
  master.ReportDone();
  EXPECT_EQ(1, joiner->discoveredCalls);
  EXPECT_EQ(std::vector<Device>{Rom(7)}, joiner->devices);
  EXPECT_TRUE(master.IsReady());
}

TEST_F(AbstractOneWireMasterTest, SearchErrorEndsTheDiscoveryAndTheNextOneSucceeds) {
  master.Enable(true);
  auto failed = NewDiscovery("failed");
  master.Discover(failed);
  master.ReportDevice(Rom(1), true);
  master.ReportSearchError("CRC");
  EXPECT_EQ(std::vector<std::string>{"failed.Error:CRC"}, events.log);
  EXPECT_TRUE(master.IsReady());

  master.bus = {Rom(4), Rom(5)};
  master.AnswerFromBus();
  auto retry = NewDiscovery("retry");
  master.Discover(retry);
  EXPECT_EQ((std::vector<Device>{Rom(4), Rom(5)}), retry->devices);
  EXPECT_EQ(0, failed->discoveredCalls);
}

TEST_F(AbstractOneWireMasterTest, BusErrorReachesBusListenersThenWaitingDiscovery) {
  master.deferBringUp = true;
  master.AddListener(std::make_shared<RecordingBusListener>(events, "bus"));
  master.ReportBusError("alone");
  EXPECT_EQ(std::vector<std::string>{"bus.Error:alone"}, events.log);

  events.log.clear();
  master.Discover(NewDiscovery("d"));
  master.ReportBusError("both");
  EXPECT_EQ((std::vector<std::string>{"bus.Error:both", "d.Error:both"}), events.log);
  // The master was still coming up: the error does not make it ready.
  EXPECT_EQ(AbstractOneWireMaster::Enabling, master.GetState());
}

TEST_F(AbstractOneWireMasterTest, ListenerRemovedDuringNotificationIsNotCalledAndAddedOneWaits) {
  master.deferBringUp = true;
  auto first = std::make_shared<RecordingBusListener>(events, "first");
  auto second = std::make_shared<RecordingBusListener>(events, "second");
  auto added = std::make_shared<RecordingBusListener>(events, "added");
  first->onReady = [&] {
    master.RemoveListener(second);
    master.RemoveListener(first);
    master.AddListener(added);
  };
  master.AddListener(first);
  master.AddListener(second);
  master.Enable(true);
  master.FinishBringUp();
  EXPECT_EQ(std::vector<std::string>{"first.Ready"}, events.log);

  events.log.clear();
  master.ReportBusError("later");
  EXPECT_EQ(std::vector<std::string>{"added.Error:later"}, events.log);
}

// ---- Transactions ---------------------------------------------------------

class RecordingOperation : public AbstractOneWireMaster::Operation {
 public:
  RecordingOperation(Events& events, uint8_t command, uint8_t length)
      : Operation(Rom(1), command, {0x00}, length), events(events) {}
  void Finished(const std::vector<uint8_t>& reply) override {
    this->reply = reply;
    events.log.push_back("op" + std::to_string(getData().command));
    stillPending = transaction != nullptr;
  }
  bool Pending() const { return transaction != nullptr; }
  Events& events;
  std::vector<uint8_t> reply;
  bool stillPending = false;
};

class RecordingTransactionListener : public AbstractOneWireMaster::Transaction::Listener {
 public:
  explicit RecordingTransactionListener(Events& events) : events(events) {}
  void Finished() override { events.log.push_back("finished"); }
  void Error(const std::string& message) override { events.log.push_back("error:" + message); }
  Events& events;
};

TEST_F(AbstractOneWireMasterTest, TransactionFinishesOperationsInOrderThenTellsItsListener) {
  RecordingTransactionListener listener(events);
  auto transaction = master.CreateTransaction(listener);
  auto a = std::make_shared<RecordingOperation>(events, 1, 2);
  auto b = std::make_shared<RecordingOperation>(events, 2, 3);
  EXPECT_TRUE(transaction->AddOperation(a));
  EXPECT_TRUE(transaction->AddOperation(b));
  EXPECT_TRUE(a->Pending());
  transaction->Submit();
  EXPECT_EQ(1u, master.SubmittedCount());
  EXPECT_TRUE(transaction->AddOperation(std::make_shared<RecordingOperation>(events, 3, 0)));

  std::static_pointer_cast<TestTransaction>(transaction)->Run();
  EXPECT_EQ((std::vector<std::string>{"op1", "op2", "op3", "finished"}), events.log);
  EXPECT_EQ(std::vector<uint8_t>(3, 2), b->reply);
  EXPECT_TRUE(a->stillPending);  // still pending during its own Finished
  EXPECT_FALSE(a->Pending());
  EXPECT_EQ(3u, transaction->GetOperations().size());
  EXPECT_EQ(0u, master.SubmittedCount());
}

TEST_F(AbstractOneWireMasterTest, TransactionErrorStopsDeliveryAndKeepsEarlierResults) {
  RecordingTransactionListener listener(events);
  auto transaction = master.CreateTransaction(listener);
  auto a = std::make_shared<RecordingOperation>(events, 1, 1);
  auto b = std::make_shared<RecordingOperation>(events, 2, 1);
  transaction->AddOperation(a);
  transaction->AddOperation(b);
  transaction->Submit();
  std::static_pointer_cast<TestTransaction>(transaction)->Run(1);
  EXPECT_EQ((std::vector<std::string>{"op1", "error:operation failed"}), events.log);
  EXPECT_EQ(std::vector<uint8_t>{1}, a->reply);
  EXPECT_TRUE(b->reply.empty());
  EXPECT_EQ(0u, master.SubmittedCount());
}

TEST_F(AbstractOneWireMasterTest, DoubleSubmitIsListedTwiceAndOneEndRemovesBoth) {
  RecordingTransactionListener listener(events);
  auto transaction = master.CreateTransaction(listener);
  transaction->Submit();
  transaction->Submit();
  EXPECT_EQ(2u, master.SubmittedCount());
  std::weak_ptr<AbstractOneWireMaster::Transaction> weak = transaction;
  transaction.reset();  // only the master's list keeps it alive now
  std::static_pointer_cast<TestTransaction>(weak.lock())->Run();
  EXPECT_EQ(0u, master.SubmittedCount());
  EXPECT_TRUE(weak.expired());
}

TEST_F(AbstractOneWireMasterTest, FailTransactionsEndsEachSubmittedTransactionOnce) {
  RecordingTransactionListener listener(events);
  auto first = master.CreateTransaction(listener);
  auto second = master.CreateTransaction(listener);
  first->Submit();
  first->Submit();
  second->Submit();
  master.FailAll("disabled");
  EXPECT_EQ((std::vector<std::string>{"error:disabled", "error:disabled"}), events.log);
  EXPECT_EQ(0u, master.SubmittedCount());
}

}  // namespace

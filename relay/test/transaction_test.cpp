#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "onewire/DS2430AMemory.h"
#include "relay/test/ScriptedRelay.h"

namespace {

using Response = RemoteOneWireMaster::Response;

const char kPrefix[] = "error: Remote OneWire transfer failed: ";
const Device kDevice(std::array<uint8_t, 8>{{0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x8F}});

Bytes Counting(std::size_t count, uint8_t first) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

// Puts what a DS2430A delivers into the transaction's log, in order.
struct MemoryLog : OneWireMemory::Listener {
  MemoryLog(TransactionLog& log, int index) : log(log), name("dev" + std::to_string(index)) {}
  void StatusRetrieved(uint8_t status) override { Add(" status", Bytes{status}); }
  void OTPMemoryRetrieved(const Bytes& data) override { Add(" otp", data); }
  void MemoryRetrieved(const Bytes& data) override { Add(" memory", data); }
  void Add(const char* what, const Bytes& data) {
    std::ostringstream text;
    text << name << what << ' ' << data.size() << ' ' << int(data.empty() ? 0 : data.front());
    log.events.push_back(text.str());
  }
  TransactionLog& log;
  std::string name;
};

class TransactionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master.AddListener(bus);
    master.MakeReady();
    master.inbound.clear();
  }

  // A transaction holding a 32-byte memory read of kDevice, submitted.
  std::shared_ptr<LoggedOperation> SubmitRead(TransactionLog& log) {
    auto read = std::make_shared<LoggedOperation>(log, "read", kDevice, 0xF0, Bytes{0x00}, 32);
    const auto transaction = master.CreateTransaction(log);
    EXPECT_TRUE(transaction->AddOperation(read));
    transaction->Submit();
    return read;
  }

  // A later transaction on the same master succeeds.
  void ExpectNextTransactionSucceeds() {
    TransactionLog next;
    const auto read = SubmitRead(next);
    master.Answer(OperationAnswer(2, Counting(32, 0x40)));
    EXPECT_EQ(next.events, (std::vector<std::string>{"read", "finished"}));
    EXPECT_EQ(master.Submitted(), 0u);
  }

  // Six reads per DS2430A per block are answered by the relay.
  Bytes MemoryAnswers(std::size_t firstOperation, std::size_t count) {
    std::vector<Bytes> parts;
    for (std::size_t op = firstOperation; op < firstOperation + count; ++op) {
      const uint8_t device = static_cast<uint8_t>(op / 3 + 1);
      const std::size_t kind = op % 3;
      const Bytes reply = kind == 0 ? Bytes{0xFC} : Counting(kind == 1 ? 8 : 32, device);
      parts.push_back(OperationAnswer(2, reply));
    }
    return Concat(parts);
  }

  ScriptedRelay master;
  std::shared_ptr<BusLog> bus = std::make_shared<BusLog>();
};

TEST_F(TransactionTest, OneReadTravelsAsTheDocumentedBlock) {
  TransactionLog log;
  const auto read = SubmitRead(log);
  ASSERT_EQ(master.inbound,
            (std::vector<Bytes>{{0x00, 0x08, 0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x8F, 0x82,
                                 0x0A, 0x03, 0x22, 0xF0, 0x00, 0x85}}));
  master.Answer(OperationAnswer(2, Counting(32, 0x10)));
  EXPECT_EQ(read->reply, Counting(32, 0x10));
  EXPECT_EQ(log.events, (std::vector<std::string>{"read", "finished"}));
  EXPECT_EQ(master.Submitted(), 0u);

  // No data bytes and eight reply bytes: L = 9, the reply is bytes 1 to 8.
  TransactionLog romLog;
  auto rom = std::make_shared<LoggedOperation>(romLog, "rom", kDevice, 0x33, Bytes{}, 8);
  const auto transaction = master.CreateTransaction(romLog);
  transaction->AddOperation(rom);
  transaction->Submit();
  EXPECT_EQ(master.inbound.back(), (Bytes{0x00, 0x08, 0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                                          0x8F, 0x82, 0x0A, 0x02, 0x09, 0x33, 0x85}));
  master.Answer(OperationAnswer(1, Counting(8, 0x70)));
  EXPECT_EQ(rom->reply, Counting(8, 0x70));
}

TEST_F(TransactionTest, EmptyTransactionFinishesAtOnceWithoutTraffic) {
  TransactionLog log;
  master.CreateTransaction(log)->Submit();
  EXPECT_EQ(log.events, std::vector<std::string>{"finished"});
  EXPECT_TRUE(master.inbound.empty());
  EXPECT_EQ(master.Submitted(), 0u);
}

TEST_F(TransactionTest, EveryFailureEndsTheTransactionOnce) {
  struct Case {
    Bytes outbound;
    const char* text;
  };
  const Bytes data = Concat({{0x0A, 0x22}, Counting(34, 0)});
  const std::vector<Case> cases = {
      {{0x86, 0x02}, "Failed to set ID"},
      {Concat({{0x86, 0x00, 0x82, 0x01}, data}), "CMD_ML_ACCESS failed"},
      {{0x86, 0x00, 0x82, 0x00, 0x86, 0x05}, "CMD_ML_DATA failed"},
      {Concat({{0x86, 0x00, 0x82, 0x00, 0x0A, 0x21}, Counting(33, 0)}),
       "Erroneous size for returned data"},
      {{0x86, 0x00, 0x82, 0x00}, "Erroneous size for returned data"},  // silent CMD_ML_DATA
      {{}, "Relay did not answer"},
      {{0x81}, "Remote OneWire protocol error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TransactionLog log;
    bus->errors.clear();
    SubmitRead(log);
    master.Play(c.outbound.empty() ? std::vector<Bytes>(4) : std::vector<Bytes>{c.outbound});
    EXPECT_EQ(log.events, std::vector<std::string>{kPrefix + std::string(c.text)});
    EXPECT_EQ(master.Submitted(), 0u);
    // Only the protocol error is also a bus error.
    EXPECT_EQ(bus->errors.size(), c.outbound == Bytes{0x81} ? 1u : 0u);
    ExpectNextTransactionSucceeds();
  }
  const std::vector<std::pair<std::vector<Response>, const char*>> made = {
      {{{0x00, 0, {}}}, "No CMD_ML_ACCESS response"},
      {{{0x00, 0, {}}, {0x82, 0, {}}}, "No CMD_ML_DATA response"},
  };
  for (const auto& c : made) {
    TransactionLog log;
    SubmitRead(log);
    master.FinishWith(c.first);
    EXPECT_EQ(log.events, std::vector<std::string>{kPrefix + std::string(c.second)});
  }
  ExpectNextTransactionSucceeds();
}

TEST_F(TransactionTest, EarlierOperationsKeepTheirRepliesWhenALaterOneFails) {
  TransactionLog log;
  const auto transaction = master.CreateTransaction(log);
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "a", kDevice, 0x66, Bytes{0}, 1));
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "b", kDevice, 0x66, Bytes{0}, 1));
  transaction->Submit();
  master.Answer(Concat({OperationAnswer(2, {0xFC}), {0x86, 0x00, 0x82, 0x00, 0x86, 0x09}}));
  EXPECT_EQ(log.events,
            (std::vector<std::string>{"a", kPrefix + std::string("CMD_ML_DATA failed")}));
}

TEST_F(TransactionTest, RefusedOperationFailsTheTransactionWithoutTraffic) {
  ScriptedRelay small;
  small.MakeReady(48);
  TransactionLog log;
  const auto transaction = small.CreateTransaction(log);
  auto fits = std::make_shared<LoggedOperation>(log, "fits", kDevice, 0xF0, Bytes(31, 0), 1);
  auto tooWide = std::make_shared<LoggedOperation>(log, "wide", kDevice, 0xF0, Bytes(32, 0), 1);
  auto tooLong = std::make_shared<LoggedOperation>(log, "long", kDevice, 0xF0, Bytes{0}, 255);
  EXPECT_TRUE(transaction->AddOperation(fits));
  EXPECT_FALSE(transaction->AddOperation(tooWide));
  EXPECT_FALSE(transaction->AddOperation(tooLong));
  transaction->Submit();
  EXPECT_EQ(log.events, std::vector<std::string>{
                            kPrefix + std::string("Operation refused: its commands need 47 bytes, "
                                                  "the relay takes at most 46 per block")});
  EXPECT_EQ(small.inbound.size(), 1u);  // the configuration only
  EXPECT_EQ(small.Submitted(), 0u);

  TransactionLog longLog;
  const auto second = small.CreateTransaction(longLog);
  EXPECT_FALSE(second->AddOperation(tooLong));
  second->Submit();
  EXPECT_EQ(longLog.events,
            std::vector<std::string>{
                kPrefix + std::string("Operation refused: exchange of 257 bytes exceeds 255")});
}

TEST_F(TransactionTest, LargeTransactionTravelsInConsecutiveTransfers) {
  struct Case {
    uint8_t inboundMax;
    int devices;
    std::vector<std::size_t> split;  // operations per transfer
  };
  // Six DS2430As: 15 reads of 16 bytes fill 240 of 253; one DS2430A at the
  // smallest maximum: two reads take 32 of 46.
  for (const Case& c : {Case{0xFF, 6, {15, 3}}, Case{48, 1, {2, 1}}}) {
    SCOPED_TRACE(c.devices);
    ScriptedRelay relay;
    relay.MakeReady(c.inboundMax);
    relay.inbound.clear();
    TransactionLog log;
    std::vector<std::unique_ptr<MemoryLog>> listeners;
    std::vector<std::unique_ptr<DS2430AMemory>> memories;
    const auto transaction = relay.CreateTransaction(log);
    std::vector<std::string> expected;
    for (int d = 1; d <= c.devices; ++d) {
      listeners.push_back(std::make_unique<MemoryLog>(log, d));
      memories.push_back(
          std::make_unique<DS2430AMemory>(relay, Rom(uint8_t(d)), *listeners.back()));
      memories.back()->RetrieveStatus(transaction);
      memories.back()->RetrieveOTPMemory(transaction, 0, 8);
      memories.back()->RetrieveMemory(transaction, 0, 32);
      const std::string name = "dev" + std::to_string(d);
      expected.insert(expected.end(), {name + " status 1 252", name + " otp 8 " + std::to_string(d),
                                       name + " memory 32 " + std::to_string(d)});
    }
    expected.push_back("finished");
    transaction->Submit();
    // Submitted later, it waits until the split transaction has ended.
    TransactionLog otherLog;
    const auto other = relay.CreateTransaction(otherLog);
    other->AddOperation(
        std::make_shared<LoggedOperation>(otherLog, "other", kDevice, 0xF0, Bytes{0, 0}, 1));
    other->Submit();

    std::size_t done = 0;
    for (std::size_t count : c.split) {
      // One transfer at a time, each within the relay's maximum.
      ASSERT_EQ(relay.inbound.size(), 1u);
      EXPECT_EQ(relay.inbound.back().size(), count * 16 + 1);
      EXPECT_EQ(log.events.size(), done);
      relay.inbound.clear();
      relay.Answer(MemoryAnswers(done, count));
      done += count;
    }
    EXPECT_EQ(log.events, expected);
    ASSERT_EQ(relay.inbound.size(), 1u);
    EXPECT_EQ(relay.inbound.back().size(), 18u);
    relay.Answer(OperationAnswer(3, {0x01}));
    EXPECT_EQ(otherLog.events, (std::vector<std::string>{"other", "finished"}));
    EXPECT_EQ(relay.Submitted(), 0u);
  }
}

TEST_F(TransactionTest, FailureInALaterTransferEndsTheTransactionOnce) {
  ScriptedRelay small;
  small.MakeReady(48);
  TransactionLog log;
  MemoryLog listener(log, 1);
  DS2430AMemory memory(small, Rom(1), listener);
  const auto transaction = small.CreateTransaction(log);
  memory.RetrieveStatus(transaction);
  memory.RetrieveOTPMemory(transaction, 0, 8);
  memory.RetrieveMemory(transaction, 0, 32);
  transaction->Submit();
  small.Answer(MemoryAnswers(0, 2));
  small.Answer({0x86, 0x00, 0x82, 0x03});
  EXPECT_EQ(log.events, (std::vector<std::string>{"dev1 status 1 252", "dev1 otp 8 1",
                                                  kPrefix + std::string("CMD_ML_ACCESS failed")}));
  EXPECT_EQ(small.inbound.size(), 3u);  // configuration and two transfers
  EXPECT_FALSE(small.InFlight());
}

TEST_F(TransactionTest, DisablingEndsSubmittedTransactionsOnce) {
  TransactionLog inFlight;
  TransactionLog queued;
  SubmitRead(inFlight);
  SubmitRead(queued);
  master.Enable(false);
  const std::string text = kPrefix + std::string("Master disabled before the exchange ended");
  EXPECT_EQ(inFlight.events, std::vector<std::string>{text});
  EXPECT_EQ(queued.events, std::vector<std::string>{text});
  EXPECT_EQ(master.Submitted(), 0u);
  master.Answer(OperationAnswer(2, Counting(32, 0)));  // too late: ignored
  EXPECT_EQ(inFlight.events.size(), 1u);

  master.MakeReady();
  master.inbound.clear();
  ExpectNextTransactionSucceeds();
}

TEST_F(TransactionTest, BusListenerThatDisablesOnAnErrorLeavesOneReportPerOwner) {
  struct Disabler : BusLog {
    explicit Disabler(AbstractOneWireMaster& master) : master(master) {}
    void Error(const std::string& message) override {
      BusLog::Error(message);
      master.Enable(false);
    }
    AbstractOneWireMaster& master;
  };
  master.AddListener(std::make_shared<Disabler>(master));
  TransactionLog log;
  SubmitRead(log);
  master.Answer({0x81});
  EXPECT_EQ(log.events, std::vector<std::string>{
                            kPrefix + std::string("Master disabled before the exchange ended")});
  EXPECT_EQ(bus->errors, std::vector<std::string>{"Remote OneWire protocol error"});
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Disabled);
}

}  // namespace

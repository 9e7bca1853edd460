#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "onewire/DS2430AMemory.h"
#include "testing/Recorders.h"
#include "testing/Roms.h"
#include "testing/ScriptedRelay.h"

namespace {

using namespace orvtest;
using Response = RemoteOneWireMaster::Response;

const char kPrefix[] = "error: Remote OneWire transfer failed: ";
const Device kDevice(std::array<uint8_t, 8>{{0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x8F}});
// The 32-byte memory read of kDevice as one inbound block.
const Bytes kReadBlock = {0x00, 0x08, 0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                          0x8F, 0x82, 0x0A, 0x03, 0x22, 0xF0, 0x00, 0x85};

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

// The three reads of one DS2430A (status, application register, memory):
// their inbound commands and the relay's answers, device `d` answering
// status FC and data counting up from d.
Bytes ReadSetBlock(const Device& device) {
  return Concat({OperationBlock(device, 0x66, {0x00}, 1), OperationBlock(device, 0xC3, {0x00}, 8),
                 OperationBlock(device, 0xF0, {0x00}, 32)});
}
Bytes ReadAnswer(std::size_t op) {
  const uint8_t device = static_cast<uint8_t>(op / 3 + 1);
  const std::size_t kind = op % 3;
  return OperationAnswer(2, kind == 0 ? Bytes{0xFC} : Counting(kind == 1 ? 8 : 32, device));
}

// The reads' `commands` (16 bytes each) travel `split` reads per transfer,
// one transfer at a time, each answered in full.
void ExpectSplit(ScriptedRelay& relay, const Bytes& commands, const std::vector<std::size_t>& split) {
  std::size_t done = 0;
  for (std::size_t count : split) {
    const auto from = commands.begin() + static_cast<std::ptrdiff_t>(done * 16);
    Bytes answer;
    for (std::size_t op = done; op < done + count; ++op) answer = Concat({answer, ReadAnswer(op)});
    relay.Expect(Block(Bytes(from, from + static_cast<std::ptrdiff_t>(count * 16))), answer);
    done += count;
  }
}

class RemoteOneWireMasterTransaction : public ::testing::Test {
 protected:
  void SetUp() override {
    master.AddListener(bus);
    master.MakeReady();
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
    master.Expect(kReadBlock, OperationAnswer(2, Counting(32, 0x40)));
    SubmitRead(next);
    master.Run();
    EXPECT_EQ(next.events, (std::vector<std::string>{"read", "finished"}));
    EXPECT_EQ(master.Submitted(), 0u);
    master.Verify();
  }

  ScriptedRelay master;
  std::shared_ptr<BusLog> bus = std::make_shared<BusLog>();
};

TEST_F(RemoteOneWireMasterTransaction, OneReadTravelsAsTheDocumentedBlock) {
  TransactionLog log;
  master.Expect(kReadBlock, OperationAnswer(2, Counting(32, 0x10)));
  const auto read = SubmitRead(log);
  master.Run();
  EXPECT_EQ(read->reply, Counting(32, 0x10));
  EXPECT_EQ(log.events, (std::vector<std::string>{"read", "finished"}));
  EXPECT_EQ(master.Submitted(), 0u);

  // No data bytes and eight reply bytes: L = 9, the reply is bytes 1 to 8.
  TransactionLog romLog;
  auto rom = std::make_shared<LoggedOperation>(romLog, "rom", kDevice, 0x33, Bytes{}, 8);
  master.Expect({0x00, 0x08, 0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x8F, 0x82, 0x0A, 0x02,
                 0x09, 0x33, 0x85},
                OperationAnswer(1, Counting(8, 0x70)));
  const auto transaction = master.CreateTransaction(romLog);
  transaction->AddOperation(rom);
  transaction->Submit();
  master.Run();
  EXPECT_EQ(rom->reply, Counting(8, 0x70));
}

TEST_F(RemoteOneWireMasterTransaction, EmptyTransactionFinishesAtOnceWithoutTraffic) {
  TransactionLog log;
  master.CreateTransaction(log)->Submit();
  EXPECT_EQ(log.events, std::vector<std::string>{"finished"});
  EXPECT_EQ(master.Submitted(), 0u);
}

TEST_F(RemoteOneWireMasterTransaction, EveryFailureEndsTheTransactionOnce) {
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
    if (c.outbound.empty()) {
      master.ExpectSilent(kReadBlock);
    } else {
      master.Expect(kReadBlock, c.outbound);
    }
    SubmitRead(log);
    master.Run();
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
    master.ExpectHeld(kReadBlock);
    SubmitRead(log);
    master.FinishWith(c.first);
    EXPECT_EQ(log.events, std::vector<std::string>{kPrefix + std::string(c.second)});
  }
  ExpectNextTransactionSucceeds();
}

TEST_F(RemoteOneWireMasterTransaction, EarlierOperationsKeepTheirRepliesWhenALaterOneFails) {
  TransactionLog log;
  master.Expect(Block(Concat({OperationBlock(kDevice, 0x66, {0}, 1),
                              OperationBlock(kDevice, 0x66, {0}, 1)})),
                Concat({OperationAnswer(2, {0xFC}), {0x86, 0x00, 0x82, 0x00, 0x86, 0x09}}));
  const auto transaction = master.CreateTransaction(log);
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "a", kDevice, 0x66, Bytes{0}, 1));
  transaction->AddOperation(
      std::make_shared<LoggedOperation>(log, "b", kDevice, 0x66, Bytes{0}, 1));
  transaction->Submit();
  master.Run();
  EXPECT_EQ(log.events,
            (std::vector<std::string>{"a", kPrefix + std::string("CMD_ML_DATA failed")}));
}

TEST_F(RemoteOneWireMasterTransaction, RefusedOperationFailsTheTransactionWithoutTraffic) {
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
  EXPECT_EQ(small.Sent(), 1u);  // the configuration only
  EXPECT_EQ(small.Submitted(), 0u);

  TransactionLog longLog;
  const auto second = small.CreateTransaction(longLog);
  EXPECT_FALSE(second->AddOperation(tooLong));
  second->Submit();
  EXPECT_EQ(longLog.events,
            std::vector<std::string>{
                kPrefix + std::string("Operation refused: exchange of 257 bytes exceeds 255")});

  // At an outbound maximum of 48 a 32-byte memory read fits (14 + 34), one
  // more reply byte does not.
  ScriptedRelay narrow;
  narrow.MakeReady(0xFF, 48);
  TransactionLog wideLog;
  const auto third = narrow.CreateTransaction(wideLog);
  EXPECT_TRUE(third->AddOperation(
      std::make_shared<LoggedOperation>(wideLog, "32", kDevice, 0xF0, Bytes{0}, 32)));
  EXPECT_FALSE(third->AddOperation(
      std::make_shared<LoggedOperation>(wideLog, "33", kDevice, 0xF0, Bytes{0}, 33)));
  third->Submit();
  EXPECT_EQ(wideLog.events,
            std::vector<std::string>{kPrefix + std::string("Operation refused: its answers need "
                                                            "49 bytes, the relay sends at most 48 "
                                                            "per block")});
}

TEST_F(RemoteOneWireMasterTransaction, LargeTransactionTravelsInConsecutiveTransfers) {
  struct Case {
    uint8_t inboundMax;
    uint8_t outboundMax;
    int devices;
    std::vector<std::size_t> split;  // operations per transfer
  };
  // Each read takes 16 bytes of commands; its answers take up to 17 (status),
  // 24 (application register) and 48 (memory) bytes, 89 per DS2430A.
  const std::vector<Case> cases = {
      {0xFF, 0xFF, 2, {6}},
      {100, 0xFF, 3, {6, 3}},      // inbound bound: six reads take 96 of 98
      {0xFF, 0xFF, 6, {8, 8, 2}},  // outbound bound: 219 and 243 of 255
      {48, 0xFF, 1, {2, 1}},       // two reads take 32 of 46
      {0xFF, 48, 2, {2, 1, 2, 1}},  // 41, then the memory read's 48 alone
      {48, 48, 1, {2, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.inboundMax) << "/" << int(c.outboundMax) << " "
                                      << c.devices);
    ScriptedRelay relay;
    relay.MakeReady(c.inboundMax, c.outboundMax);
    TransactionLog log;
    std::vector<std::unique_ptr<MemoryLog>> listeners;
    std::vector<std::unique_ptr<DS2430AMemory>> memories;
    const auto transaction = relay.CreateTransaction(log);
    std::vector<std::string> expected;
    Bytes commands;
    for (int d = 1; d <= c.devices; ++d) {
      const Device rom = MakeRom(0x14, uint8_t(d));
      listeners.push_back(std::make_unique<MemoryLog>(log, d));
      memories.push_back(std::make_unique<DS2430AMemory>(relay, rom, *listeners.back()));
      memories.back()->RetrieveStatus(transaction);
      memories.back()->RetrieveOTPMemory(transaction, 0, 8);
      memories.back()->RetrieveMemory(transaction, 0, 32);
      commands = Concat({commands, ReadSetBlock(rom)});
      const std::string name = "dev" + std::to_string(d);
      expected.insert(expected.end(), {name + " status 1 252", name + " otp 8 " + std::to_string(d),
                                       name + " memory 32 " + std::to_string(d)});
    }
    expected.push_back("finished");
    ExpectSplit(relay, commands, c.split);
    // Submitted later, it waits until the split transaction has ended.
    relay.Expect(Block(OperationBlock(kDevice, 0xF0, {0, 0}, 1)), OperationAnswer(3, {0x01}));
    transaction->Submit();
    TransactionLog otherLog;
    const auto other = relay.CreateTransaction(otherLog);
    other->AddOperation(
        std::make_shared<LoggedOperation>(otherLog, "other", kDevice, 0xF0, Bytes{0, 0}, 1));
    other->Submit();
    relay.Run();
    EXPECT_EQ(log.events, expected);
    EXPECT_EQ(otherLog.events, (std::vector<std::string>{"other", "finished"}));
    EXPECT_EQ(relay.Submitted(), 0u);
  }
}

TEST_F(RemoteOneWireMasterTransaction, ACopyEndsItsTransferSoThatTheBusStaysIdleAfterIt) {
  TransactionLog log;
  const auto transaction = master.CreateTransaction(log);
  for (const auto& [name, command, data, programs] :
       {std::tuple<const char*, uint8_t, Bytes, bool>{"copy", 0x55, {0xA5}, true},
        {"read", 0xF0, {0x00}, false},
        {"lock", 0x5A, {0xA5}, true},
        {"wrong key", 0x55, {0xA4}, false},
        {"status", 0x66, {0x00}, false}}) {
    const uint8_t length = command == 0xF0 || command == 0x66 ? 1 : 0;
    transaction->AddOperation(
        std::make_shared<LoggedOperation>(log, name, kDevice, command, data, length, programs));
  }
  // Three transfers: the copy alone, the read with the lock, then the rest:
  // only an operation marked as programming ends its transfer (a copy with
  // any other key is ignored by the part and needs no pause).
  master.Expect(Block(OperationBlock(kDevice, 0x55, {0xA5}, 0)), OperationAnswer(2, {}));
  master.Expect(Block(Concat({OperationBlock(kDevice, 0xF0, {0x00}, 1),
                              OperationBlock(kDevice, 0x5A, {0xA5}, 0)})),
                Concat({OperationAnswer(2, {0x11}), OperationAnswer(2, {})}));
  master.Expect(Block(Concat({OperationBlock(kDevice, 0x55, {0xA4}, 0),
                              OperationBlock(kDevice, 0x66, {0x00}, 1)})),
                Concat({OperationAnswer(2, {}), OperationAnswer(2, {0xFC})}));
  transaction->Submit();
  master.Run();
  EXPECT_EQ(log.events,
            (std::vector<std::string>{"copy", "read", "lock", "wrong key", "status", "finished"}));
  master.Verify();
}

TEST_F(RemoteOneWireMasterTransaction, FailureInALaterTransferEndsTheTransactionOnce) {
  ScriptedRelay small;
  small.MakeReady(48);
  TransactionLog log;
  MemoryLog listener(log, 1);
  const Device rom = MakeRom(0x14, 1);
  DS2430AMemory memory(small, rom, listener);
  const auto transaction = small.CreateTransaction(log);
  memory.RetrieveStatus(transaction);
  memory.RetrieveOTPMemory(transaction, 0, 8);
  memory.RetrieveMemory(transaction, 0, 32);
  const Bytes commands = ReadSetBlock(rom);
  small.Expect(Block(Bytes(commands.begin(), commands.begin() + 32)),
               Concat({ReadAnswer(0), ReadAnswer(1)}));
  small.Expect(Block(Bytes(commands.begin() + 32, commands.end())), {0x86, 0x00, 0x82, 0x03});
  transaction->Submit();
  small.Run();
  EXPECT_EQ(log.events, (std::vector<std::string>{"dev1 status 1 252", "dev1 otp 8 1",
                                                  kPrefix + std::string("CMD_ML_ACCESS failed")}));
  EXPECT_FALSE(small.InFlight());
}

TEST_F(RemoteOneWireMasterTransaction, DisablingEndsSubmittedTransactionsOnce) {
  TransactionLog inFlight;
  TransactionLog queued;
  master.ExpectHeld(kReadBlock);
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
  ExpectNextTransactionSucceeds();
}

TEST_F(RemoteOneWireMasterTransaction, BusListenerThatDisablesOnAnErrorLeavesOneReportPerOwner) {
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
  master.Expect(kReadBlock, {0x81});
  SubmitRead(log);
  master.Run();
  EXPECT_EQ(log.events, std::vector<std::string>{
                            kPrefix + std::string("Master disabled before the exchange ended")});
  EXPECT_EQ(bus->errors, std::vector<std::string>{"Remote OneWire protocol error"});
  EXPECT_EQ(master.GetState(), RemoteOneWireMaster::Disabled);
}

}  // namespace

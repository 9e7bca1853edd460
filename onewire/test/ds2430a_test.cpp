#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "onewire/DS2430AMemory.h"

namespace {

using Device = AbstractOneWireMaster::Device;

const Device kRom(std::array<uint8_t, 8>{{0x14, 0x3A, 0x7F, 0x1B, 0x05, 0x00, 0x00, 0xB6}});

// Collects the operations added to it and lets the test deliver replies.
class CollectingTransaction : public AbstractOneWireMaster::Transaction {
 public:
  CollectingTransaction(AbstractOneWireMaster& master, Listener& listener)
      : Transaction(master, listener) {}
  void Deliver(AbstractOneWireMaster::Operation& operation, const std::vector<uint8_t>& reply) {
    FinishOperation(operation, reply);
  }
};

class NullMaster : public AbstractOneWireMaster {
 public:
  void Enable(bool) override {}
 protected:
  void Search() override {}
};

class NullTransactionListener : public AbstractOneWireMaster::Transaction::Listener {
 public:
  void Finished() override {}
  void Error(const std::string&) override {}
};

class RecordingMemoryListener : public OneWireMemory::Listener {
 public:
  void StatusRetrieved(uint8_t status) override { log.push_back("status:" + std::to_string(status)); }
  void OTPMemoryRetrieved(const std::vector<uint8_t>& data) override {
    log.push_back("otp:" + std::to_string(data.size()));
  }
  void MemoryRetrieved(const std::vector<uint8_t>& data) override {
    log.push_back("memory:" + std::to_string(data.size()));
    if (memory) memberDuringCallback = memory->GetMemoryOperation() != nullptr;
    lastMemory = data;
  }
  std::vector<std::string> log;
  void ScratchpadRetrieved(const std::vector<uint8_t>& data) override {
    log.push_back("scratchpad:" + std::to_string(data.size()));
  }
  std::vector<uint8_t> lastMemory;
  DS2430AMemory* memory = nullptr;
  bool memberDuringCallback = false;
};

class DS2430AMemoryTest : public ::testing::Test {
 protected:
  DS2430AMemoryTest()
      : transaction(std::make_shared<CollectingTransaction>(master, transactionListener)),
        memory(master, kRom, listener) {
    listener.memory = &memory;
  }
  const AbstractOneWireMaster::OperationData& Op(std::size_t index) const {
    auto it = transaction->GetOperations().begin();
    std::advance(it, index);
    return (*it)->getData();
  }
  NullMaster master;
  NullTransactionListener transactionListener;
  std::shared_ptr<CollectingTransaction> transaction;
  RecordingMemoryListener listener;
  DS2430AMemory memory;
};

TEST_F(DS2430AMemoryTest, ThreeReadsAddOneOperationEachWithCommandDataAndLength) {
  memory.RetrieveStatus(transaction);
  memory.RetrieveOTPMemory(transaction, 0, 8);
  memory.RetrieveMemory(transaction, 0, 32);
  ASSERT_EQ(3u, transaction->GetOperations().size());
  struct Expected {
    uint8_t command;
    uint8_t length;
  };
  const Expected expected[] = {{0x66, 1}, {0xC3, 8}, {0xF0, 32}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(kRom, Op(i).device);
    EXPECT_EQ(expected[i].command, Op(i).command);
    EXPECT_EQ(std::vector<uint8_t>{0x00}, Op(i).data);
    EXPECT_EQ(expected[i].length, Op(i).length);
    EXPECT_FALSE(Op(i).programs);
  }
}

TEST_F(DS2430AMemoryTest, LengthIsCarriedInEightBitsAndAddressIsTheDataByte) {
  memory.RetrieveMemory(transaction, 0x11, 300);
  EXPECT_EQ(44, Op(0).length);
  EXPECT_EQ(std::vector<uint8_t>{0x11}, Op(0).data);
}

TEST_F(DS2430AMemoryTest, RepliesReachTheListenerUnchangedAndReleaseTheMember) {
  memory.RetrieveStatus(transaction);
  memory.RetrieveMemory(transaction, 0, 32);
  std::vector<uint8_t> bytes(32);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  auto it = transaction->GetOperations().begin();
  transaction->Deliver(**it++, {0xFF});
  transaction->Deliver(**it, bytes);
  EXPECT_EQ((std::vector<std::string>{"status:255", "memory:32"}), listener.log);
  EXPECT_EQ(bytes, listener.lastMemory);
  EXPECT_TRUE(listener.memberDuringCallback);
  EXPECT_EQ(nullptr, memory.GetMemoryOperation());
  EXPECT_EQ(nullptr, memory.GetStatusOperation());
}

TEST_F(DS2430AMemoryTest, TwoPendingReadsOfOneKindBothDeliverInOrder) {
  memory.RetrieveMemory(transaction, 0, 4);
  memory.RetrieveMemory(transaction, 4, 2);
  auto it = transaction->GetOperations().begin();
  auto first = *it++;
  auto second = *it;
  EXPECT_EQ(second, memory.GetMemoryOperation());
  transaction->Deliver(*first, std::vector<uint8_t>(4));
  EXPECT_EQ(nullptr, memory.GetMemoryOperation());
  transaction->Deliver(*second, std::vector<uint8_t>(2));
  EXPECT_EQ((std::vector<std::string>{"memory:4", "memory:2"}), listener.log);
}

TEST_F(DS2430AMemoryTest, WritesAndCopiesCarryTheChipsCommandsAndKey) {
  EXPECT_TRUE(memory.WriteScratchpad(transaction, 0x10, {0x01, 0x02}));
  memory.RetrieveScratchpad(transaction, 0, 32);
  EXPECT_TRUE(memory.CopyScratchpad(transaction));
  EXPECT_TRUE(memory.WriteApplicationRegister(transaction, 0, {0x0A, 0x0B}));
  EXPECT_TRUE(memory.CopyAndLockApplicationRegister(transaction));
  struct Expected {
    uint8_t command;
    std::vector<uint8_t> data;
    uint8_t length;
    bool programs;  // the copies program EEPROM, so masters leave the bus idle after them
  };
  const Expected expected[] = {{0x0F, {0x10, 0x01, 0x02}, 0, false}, {0xAA, {0x00}, 32, false},
                               {0x55, {0xA5}, 0, true}, {0x99, {0x00, 0x0A, 0x0B}, 0, false},
                               {0x5A, {0xA5}, 0, true}};
  ASSERT_EQ(5u, transaction->GetOperations().size());
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(kRom, Op(i).device);
    EXPECT_EQ(expected[i].command, Op(i).command);
    EXPECT_EQ(expected[i].data, Op(i).data);
    EXPECT_EQ(expected[i].length, Op(i).length);
    EXPECT_EQ(expected[i].programs, Op(i).programs);
  }
  auto it = transaction->GetOperations().begin();
  transaction->Deliver(**it++, {});
  transaction->Deliver(**it, std::vector<uint8_t>(32));
  EXPECT_EQ(std::vector<std::string>{"scratchpad:32"}, listener.log);
}

class PlainMemory : public OneWireMemory {
 public:
  using OneWireMemory::OneWireMemory;
  void RetrieveStatus(std::shared_ptr<AbstractOneWireMaster::Transaction>) override {}
  void RetrieveOTPMemory(std::shared_ptr<AbstractOneWireMaster::Transaction>, uint8_t,
                         uint64_t) override {}
  void RetrieveMemory(std::shared_ptr<AbstractOneWireMaster::Transaction>, uint8_t,
                      uint64_t) override {}
};

TEST_F(DS2430AMemoryTest, SizesOfTheChipAndOfAGenericMemory) {
  EXPECT_EQ(32u, memory.GetSize());
  EXPECT_EQ(8u, memory.GetOTPSize());
  EXPECT_TRUE(memory.HasStatus());
  EXPECT_EQ(0x14, DS2430AMemory::familyCode);
  PlainMemory plain(master, kRom, listener);
  EXPECT_EQ(0u, plain.GetSize());
  EXPECT_EQ(0u, plain.GetOTPSize());
  EXPECT_FALSE(plain.HasStatus());
}

}  // namespace

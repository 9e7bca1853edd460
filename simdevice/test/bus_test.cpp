#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "simdevice/DS2430A.h"
#include "simdevice/OneWireBus.h"
#include "testing/RelayAnswers.h"

namespace simdevice {
namespace {

const Rom kRom = {0x14, 0x3A, 0x7F, 0x1B, 0x05, 0x00, 0x00, 0xB6};

const DS2430A::Memory kCounting = orvtest::CountingArray<DS2430A::MEMORY_SIZE>(0xA0);

TEST(Crc8, CatalogueCheckValueAndRoms) {
  const std::string digits = "123456789";
  EXPECT_EQ(Crc8(reinterpret_cast<const uint8_t*>(digits.data()), digits.size()), 0xA1);
  EXPECT_TRUE(RomCrcValid(kRom));
  Rom bad = kRom;
  bad[3] ^= 0x10;
  EXPECT_FALSE(RomCrcValid(bad));
  EXPECT_EQ(RomToString(kRom), "14 3A 7F 1B 05 00 00 B6");
}

class DS2430ATest : public ::testing::Test {
 protected:
  DS2430ATest() {
    bus.Add(std::make_unique<DS2430A>(kRom, 0xFC, DS2430A::Application{1, 2, 3, 4, 5, 6, 7, 8},
                                      kCounting));
  }
  // Reset, select the chip, send `sent`, then read `count` bytes.
  std::vector<uint8_t> Read(const std::vector<uint8_t>& sent, std::size_t count) {
    bus.Reset();
    bus.MatchRom(kRom);
    for (uint8_t byte : sent) EXPECT_EQ(bus.Exchange(byte), byte);
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(bus.Exchange(0xFF));
    return out;
  }
  OneWireBus bus;
};

TEST_F(DS2430ATest, StatusNeedsTheValidationByte) {
  EXPECT_EQ(Read({0x66, 0x00}, 2), (std::vector<uint8_t>{0xFC, 0xFF}));
  EXPECT_EQ(Read({0x66, 0x01}, 1), (std::vector<uint8_t>{0xFF}));
}

TEST_F(DS2430ATest, ReadsStartAtTheAddressAndWrapWithinTheirArea) {
  EXPECT_EQ(Read({0xF0, 0x1E}, 4), (std::vector<uint8_t>{0xBE, 0xBF, 0xA0, 0xA1}));
  EXPECT_EQ(Read({0xF0, 0x25}, 1), (std::vector<uint8_t>{0xA5}));  // address modulo 32
  EXPECT_EQ(Read({0xC3, 0x06}, 4), (std::vector<uint8_t>{7, 8, 1, 2}));
  EXPECT_EQ(Read({0xC3, 0x00}, 9).back(), 1);
  EXPECT_EQ(Read({0x3C}, 2), (std::vector<uint8_t>{0xFF, 0xFF}));  // not a command it knows
}

// A blank part being programmed: every write command, its key, the lock and
// a programming cut short by bus activity.
TEST(DS2430AWrite, ScratchpadCopyAndLockFollowTheChip) {
  OneWireBus bus;
  DS2430A::Application blankApp;
  blankApp.fill(0xFF);
  DS2430A::Memory blank;
  blank.fill(0xFF);
  auto& chip = static_cast<DS2430A&>(
      bus.Add(std::make_unique<DS2430A>(kRom, 0xFF, blankApp, blank)));
  auto run = [&](const std::vector<uint8_t>& sent, std::size_t count) {
    bus.Reset();
    bus.MatchRom(kRom);
    for (uint8_t byte : sent) bus.Exchange(byte);
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(bus.Exchange(0xFF));
    return out;
  };
  // The scratchpad takes bytes from the address on, wrapping at 1F.
  run({0x0F, 0x1F, 0x11, 0x22, 0x33}, 0);
  EXPECT_EQ(run({0xAA, 0x1F}, 3), (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  EXPECT_EQ(chip.GetMemory(), blank);
  // A wrong key is ignored; the right one programs once the bus is idle.
  run({0x55, 0xA4}, 0);
  bus.Idle();
  EXPECT_EQ(chip.GetMemory(), blank);
  run({0x55, 0xA5}, 0);
  bus.Idle();
  EXPECT_EQ(run({0xF0, 0x00}, 2), (std::vector<uint8_t>{0x22, 0x33}));
  // A time slot or a reset within the programming time loses the copy.
  run({0x0F, 0x00, 0x44}, 0);
  run({0x55, 0xA5}, 1);
  bus.Idle();
  EXPECT_EQ(chip.GetMemory()[0], 0x22);
  run({0x0F, 0x00, 0x44}, 0);
  run({0x55, 0xA5}, 0);
  bus.Reset();
  bus.Idle();
  EXPECT_EQ(chip.GetMemory()[0], 0x22);
  // Read memory refills the scratchpad from the memory.
  run({0xF0, 0x00}, 0);
  EXPECT_EQ(run({0xAA, 0x00}, 1), (std::vector<uint8_t>{0x22}));
  // The application register: written freely until locked, then fixed.
  run({0x99, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}, 0);
  run({0x99, 0x07, 9}, 0);
  EXPECT_EQ(run({0xC3, 0x00}, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 9}));
  run({0x5A, 0xA5}, 0);
  bus.Reset();  // the lock is lost as well
  EXPECT_EQ(run({0x66, 0x00}, 1), (std::vector<uint8_t>{0xFF}));
  run({0x5A, 0xA5}, 0);
  bus.Idle();
  EXPECT_EQ(run({0x66, 0x00}, 1), (std::vector<uint8_t>{0xFC}));
  EXPECT_TRUE(chip.IsLocked());
  run({0x99, 0x00, 0xEE}, 0);
  EXPECT_EQ(run({0xC3, 0x00}, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 9}));
}

TEST_F(DS2430ATest, OnlyAPresentSelectedDeviceAnswers) {
  bus.Reset();
  EXPECT_EQ(bus.Exchange(0xF0), 0xF0);  // nobody selected: the line stays high
  bus.MatchRom(Rom{0x14, 1, 2, 3, 4, 5, 6, 7});
  bus.Exchange(0xF0);
  bus.Exchange(0x00);
  EXPECT_EQ(bus.Exchange(0xFF), 0xFF);
  bus.Find(kRom)->SetPresent(false);
  EXPECT_FALSE(bus.Reset());
  EXPECT_EQ(Read({0xF0, 0x00}, 1), (std::vector<uint8_t>{0xFF}));
}

TEST_F(DS2430ATest, SearchBitsAreTheWiredAndOfTheParticipants) {
  bus.Add(std::make_unique<BusDevice>(Rom{0x15, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(bus.Reset());
  bus.BeginSearch(0xF0);
  bool bit = true, complement = true;
  bus.ReadSearchBits(bit, complement);  // bit 0: 0x14 has 0, 0x15 has 1
  EXPECT_FALSE(bit);
  EXPECT_FALSE(complement);
  bus.WriteSearchBit(false);            // 0x15 drops out
  bus.ReadSearchBits(bit, complement);  // bit 1 of 0x14 alone: 0
  EXPECT_FALSE(bit);
  EXPECT_TRUE(complement);
  bus.WriteSearchBit(false);
  bus.ReadSearchBits(bit, complement);  // bit 2 of 0x14: 1
  EXPECT_TRUE(bit);
  EXPECT_FALSE(complement);

  bus.Reset();
  bus.BeginSearch(0xEC);  // alarm search: nobody is in alarm
  bus.ReadSearchBits(bit, complement);
  EXPECT_TRUE(bit && complement);
}

}  // namespace
}  // namespace simdevice

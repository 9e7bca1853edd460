#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "simdevice/DS2430A.h"
#include "simdevice/OneWireBus.h"

namespace simdevice {
namespace {

const Rom kRom = {0x14, 0x3A, 0x7F, 0x1B, 0x05, 0x00, 0x00, 0xB6};

DS2430A::Memory Counting() {
  DS2430A::Memory memory;
  for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<uint8_t>(0xA0 + i);
  return memory;
}

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
                                      Counting()));
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
  EXPECT_EQ(Read({0xAA}, 2), (std::vector<uint8_t>{0xFF, 0xFF}));  // not a read it knows
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

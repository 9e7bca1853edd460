#include <gtest/gtest.h>

#include <chrono>
#include <functional>
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

// A blank part beside another one on a bus whose clock the test moves.
struct ProgrammingBench {
  ProgrammingBench() {
    bus.SetClock([this] { return now; });
    DS2430A::Application app;
    app.fill(0xFF);
    DS2430A::Memory blank;
    blank.fill(0xFF);
    chip = &static_cast<DS2430A&>(bus.Add(std::make_unique<DS2430A>(kRom, 0xFF, app, blank)));
    bus.Add(std::make_unique<DS2430A>(kOther, 0xFF, app, blank));
  }
  // Reset, select `rom`, send `sent`, then read `count` bytes.
  std::vector<uint8_t> Run(const std::vector<uint8_t>& sent, std::size_t count = 0,
                           const Rom& rom = kRom) {
    bus.Reset();
    bus.MatchRom(rom);
    for (uint8_t byte : sent) bus.Exchange(byte);
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(bus.Exchange(0xFF));
    return out;
  }
  static constexpr Rom kOther = {0x14, 0x01, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x10};
  OneWireBus bus;
  BusClock::time_point now{};
  DS2430A* chip = nullptr;
};

TEST(DS2430AWrite, ScratchpadWrapsAWrongKeyIsIgnoredAndReadMemoryRefillsIt) {
  ProgrammingBench b;
  b.Run({0x0F, 0x1F, 0x11, 0x22, 0x33});
  EXPECT_EQ(b.Run({0xAA, 0x1F}, 3), (std::vector<uint8_t>{0x11, 0x22, 0x33}));
  b.Run({0x55, 0xA4});
  b.bus.Idle();
  EXPECT_EQ(0xFF, b.chip->GetMemory()[0]);
  b.Run({0xF0, 0x00});
  EXPECT_EQ(b.Run({0xAA, 0x1F}, 2), (std::vector<uint8_t>{0xFF, 0xFF}));
}

// After a copy or a lock: what comes next on the bus, and whether the
// programming completes. One that does not leaves garbage, not the old
// contents; an interrupted lock leaves the register locked with garbage.
TEST(DS2430AWrite, ProgrammingCompletesOnlyOnABusIdleForItsTime) {
  using std::chrono::milliseconds;
  struct Case {
    const char* what;
    std::function<void(ProgrammingBench&)> next;
    bool completes;
  };
  const Case cases[] = {
      {"a reset 9 ms later",
       [](ProgrammingBench& b) {
         b.now += milliseconds(9);
         b.bus.Reset();
       },
       false},
      {"a time slot in its own block", [](ProgrammingBench& b) { b.bus.Exchange(0xFF); }, false},
      {"a read of the other part 9 ms later",
       [](ProgrammingBench& b) {
         b.now += milliseconds(9);
         b.Run({0x66, 0x00}, 1, ProgrammingBench::kOther);
       },
       false},
      {"a reset 10 ms later",
       [](ProgrammingBench& b) {
         b.now += DS2430A::PROGRAMMING_TIME;
         b.bus.Reset();
       },
       true},
      {"the bus declared idle", [](ProgrammingBench& b) { b.bus.Idle(); }, true},
  };
  const std::vector<uint8_t> app = {1, 2, 3, 4, 5, 6, 7, 8};
  for (const Case& c : cases) {
    ProgrammingBench b;
    b.Run({0x0F, 0x00, 0x44});
    b.Run({0x55, 0xA5});
    c.next(b);
    b.bus.Reset();
    EXPECT_EQ(c.completes ? 0x44 : 0x44 ^ 0x5A, b.chip->GetMemory()[0]) << c.what;
    EXPECT_EQ(c.completes ? 0xFF : 0xFF ^ 0x5B, b.chip->GetMemory()[1]) << c.what;

    b.Run({0x99, 0x00, 1, 2, 3, 4, 5, 6, 7, 8});
    b.Run({0x5A, 0xA5});
    c.next(b);
    EXPECT_TRUE(b.chip->IsLocked()) << c.what;
    EXPECT_EQ(0xFC, b.Run({0x66, 0x00}, 1)[0]) << c.what;
    EXPECT_EQ(c.completes, b.Run({0xC3, 0x00}, 8) == app) << c.what;
  }
}

// The register's scratchpad: read back until the lock, never the register
// itself; lost with the part's power, so a lock without rewriting it locks
// garbage; the locked register takes no more writes.
TEST(DS2430AWrite, TheRegisterScratchpadIsSeparateAndVolatile) {
  const std::vector<uint8_t> app = {1, 2, 3, 4, 5, 6, 7, 8};
  ProgrammingBench b;
  b.Run({0x99, 0x00, 1, 2, 3, 4, 5, 6, 7, 8});
  b.Run({0x99, 0x07, 9});
  EXPECT_EQ(b.Run({0xC3, 0x00}, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 9}));
  EXPECT_EQ(DS2430A::Application{}.size(), b.chip->GetApplication().size());
  EXPECT_EQ(0xFF, b.chip->GetApplication()[0]);
  b.chip->SetPresent(false);
  b.chip->SetPresent(true);
  EXPECT_NE(b.Run({0xC3, 0x00}, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 9}));
  b.Run({0x5A, 0xA5});
  b.bus.Idle();
  EXPECT_TRUE(b.chip->IsLocked());
  EXPECT_NE(b.Run({0xC3, 0x00}, 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 9}));

  ProgrammingBench fresh;
  fresh.Run({0x99, 0x00, 1, 2, 3, 4, 5, 6, 7, 8});
  fresh.Run({0x5A, 0xA5});
  fresh.bus.Idle();
  fresh.Run({0x99, 0x00, 0xEE});
  EXPECT_EQ(fresh.Run({0xC3, 0x00}, 8), app);
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

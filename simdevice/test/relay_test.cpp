#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "simdevice/DS2430A.h"
#include "simdevice/RelayEmulator.h"
#include "testing/RelayAnswers.h"
#include "testing/Roms.h"

namespace simdevice {
namespace {

using orvtest::Bytes;
using orvtest::Concat;
using orvtest::kConfigBlock;
using orvtest::kFirstSearchBlock;
using orvtest::kLaterSearchBlock;
using orvtest::WithCrc;

const DS2430A::Memory kCounting = orvtest::CountingArray<DS2430A::MEMORY_SIZE>(0xA0);

void AddChip(RelayEmulator& relay, const Rom& rom, uint8_t status = 0xFC) {
  relay.GetBus().Add(std::make_unique<DS2430A>(
      rom, status, DS2430A::Application{1, 2, 3, 4, 5, 6, 7, 8}, kCounting));
}

void AddDevices(RelayEmulator& relay, const std::vector<Rom>& roms) {
  for (const Rom& rom : roms) {
    if (rom[0] == ds2430a::FAMILY_CODE) {
      AddChip(relay, rom);
    } else {
      relay.GetBus().Add(std::make_unique<BusDevice>(rom));
    }
  }
}

// One answer of an outbound block in echo or status form.
struct Answer {
  uint8_t code;
  uint8_t returnCode;
  Bytes data;
};

std::vector<Answer> Parse(const Bytes& block) {
  std::vector<Answer> answers;
  for (std::size_t i = 0; i + 1 < block.size();) {
    const uint8_t code = block[i];
    if ((code & 0x80) != 0) {
      answers.push_back({code, block[i + 1], {}});
      i += 2;
    } else {
      const std::size_t n = block[i + 1];
      answers.push_back({code, 0, Bytes(block.begin() + i + 2, block.begin() + i + 2 + n)});
      i += 2 + n;
    }
  }
  return answers;
}

// Runs a discovery the way the relay master does: the load block, then two
// passes per block until a pass reports no further device.
std::vector<Rom> Discover(RelayEmulator& relay) {
  std::vector<Rom> found;
  Bytes block = kFirstSearchBlock;
  for (int transfer = 0; transfer < 40; ++transfer) {
    const std::vector<Answer> answers = Parse(relay.Process(block));
    std::size_t next = 0;
    if (transfer == 0) {
      EXPECT_EQ(answers.at(0).code, 0x01);
      EXPECT_EQ(answers.at(1).code, 0x02);
      EXPECT_EQ(answers.at(2).code, 0x00);
      next = 3;
    }
    EXPECT_EQ(answers.size(), next + 6);
    for (int pass = 0; pass < 2; ++pass, next += 3) {
      EXPECT_EQ(answers.at(next).code, 0x80);
      EXPECT_EQ(answers.at(next).returnCode, 0);
      EXPECT_EQ(answers.at(next + 1).code, 0x81);
      EXPECT_EQ(answers.at(next + 2).code, 0x00);
      EXPECT_EQ(answers.at(next + 2).data.size(), 8u);
      if (answers.at(next + 1).returnCode == 1) return found;
      EXPECT_EQ(answers.at(next + 1).returnCode, 0);
      Rom rom{};
      std::copy(answers.at(next + 2).data.begin(), answers.at(next + 2).data.end(), rom.begin());
      found.push_back(rom);
    }
    block = kLaterSearchBlock;
  }
  ADD_FAILURE() << "the search did not end";
  return found;
}

// The order of the standard search: ROM bits compared from bit 0 upwards,
// a 0 before a 1.
bool SearchOrder(const Rom& a, const Rom& b) {
  for (unsigned i = 0; i < 64; ++i) {
    const bool x = (a[i / 8] >> (i % 8)) & 1;
    const bool y = (b[i / 8] >> (i % 8)) & 1;
    if (x != y) return !x;
  }
  return false;
}

TEST(RelayEmulator, ConfigurationBlock) {
  RelayEmulator relay;
  EXPECT_EQ(relay.Process(kConfigBlock),
            orvtest::ConfigAnswer(0xFF, 0xFF, "1W-RELAY 1.0", "Simulated relay"));

  RelaySettings settings;
  settings.inboundMax = 0x40;
  settings.outboundMax = 0x40;
  settings.protocol = "A";
  settings.vendor = "B";
  RelayEmulator custom(settings);
  EXPECT_EQ(custom.Process(kConfigBlock), (Bytes{0x84, 0x00, 0x05, 0x01, 0x40, 0x06, 0x01, 0x40,
                                                 0x07, 0x02, 0x41, 0x00, 0x08, 0x02, 0x42, 0x00}));
}

TEST(RelayEmulator, SmallInboundMaximumIsReportedButBlocksStillAccepted) {
  RelaySettings settings;
  settings.inboundMax = 10;
  RelayEmulator relay(settings);
  AddChip(relay, WithCrc({0x14, 1, 2, 3, 4, 5, 6, 0}));
  EXPECT_EQ(Parse(relay.Process(kConfigBlock)).at(2).data, Bytes{10});
  EXPECT_EQ(Parse(relay.Process(kFirstSearchBlock)).size(), 9u);
}

TEST(RelayEmulator, FirstSearchBlockInEachWriteAnswerForm) {
  const Rom rom = WithCrc({0x14, 0x3A, 0x7F, 0x1B, 0x05, 0x00, 0x00, 0});
  const Bytes id(rom.begin(), rom.end());
  const Bytes passes = Concat({orvtest::PassAnswer(0, 0, id), orvtest::PassAnswer(0, 1, id)});
  struct Case {
    WriteAnswer form;
    Bytes loads;
  };
  const Case cases[] = {
      {WriteAnswer::Echo,
       {0x01, 0x02, 0x00, 0x00, 0x02, 0x01, 0xF0, 0x00, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}},
      {WriteAnswer::Status, {0x86, 0x00, 0x86, 0x00, 0x86, 0x00}},
      {WriteAnswer::Silent, {}},
  };
  for (const Case& c : cases) {
    RelaySettings settings;
    settings.writeAnswer = c.form;
    RelayEmulator relay(settings);
    AddChip(relay, rom);
    EXPECT_EQ(relay.Process(kFirstSearchBlock), Concat({c.loads, passes}));
  }
}

TEST(RelayEmulator, SearchFindsDevicesInStandardOrder) {
  // Written most significant byte first in some listings; in bus order the
  // families 28 and 29 differ in bit 0.
  const Rom a = {0x29, 0x46, 0xB8, 0x3F, 0x00, 0x00, 0x00, 0x47};
  const Rom b = {0x28, 0x51, 0x74, 0xD5, 0x0E, 0x00, 0x00, 0x01};
  const Rom c = {0x28, 0x0E, 0x6D, 0xB9, 0x01, 0x00, 0x00, 0x59};
  const Rom d = {0x26, 0xF4, 0x88, 0x17, 0x01, 0x00, 0x00, 0x2F};
  const Rom e = {0x1D, 0x31, 0x0A, 0x09, 0x00, 0x00, 0x00, 0x37};
  const Rom chip = {0x14, 0x3A, 0x7F, 0x1B, 0x05, 0x00, 0x00, 0xB6};
  for (const Rom& rom : {a, b, c, d, e, chip}) ASSERT_TRUE(RomCrcValid(rom));

  struct Case {
    std::vector<Rom> bus;
    std::vector<Rom> expected;
  };
  const Case cases[] = {
      {{chip}, {chip}},
      {{a, b}, {b, a}},
      {{e, d, c}, {c, d, e}},
      {{}, {}},
  };
  for (const Case& test : cases) {
    RelayEmulator relay;
    AddDevices(relay, test.bus);
    EXPECT_EQ(Discover(relay), test.expected);
  }
}

TEST(RelayEmulator, SearchOverSeventeenDevicesOfMixedFamilies) {
  const uint8_t families[] = {0x14, 0x28, 0x26, 0x1D, 0x01, 0x29, 0x10};
  std::vector<Rom> roms;
  uint32_t seed = 12345;
  for (int i = 0; i < 17; ++i) {
    Rom rom{families[i % 7]};
    for (int k = 1; k < 7; ++k) {
      seed = seed * 1103515245u + 12345u;
      rom[k] = static_cast<uint8_t>(seed >> 16);
    }
    roms.push_back(WithCrc(rom));
  }
  RelayEmulator relay;
  AddDevices(relay, roms);
  std::vector<Rom> expected = roms;
  std::sort(expected.begin(), expected.end(), SearchOrder);
  EXPECT_EQ(Discover(relay), expected);

  // A new discovery loads a fresh state and finds the same list again.
  EXPECT_EQ(Discover(relay), expected);
}

TEST(RelayEmulator, SearchStateCarriesBetweenBlocksAndEndsWithCodeOne) {
  RelayEmulator relay;
  AddDevices(relay, {WithCrc({0x14, 1, 0, 0, 0, 0, 0, 0}), WithCrc({0x14, 2, 0, 0, 0, 0, 0, 0})});
  relay.Process(kFirstSearchBlock);
  EXPECT_TRUE(relay.GetLastDevice());
  // After the last device the next pass answers 1 and clears the state, so
  // that the pass after that starts over.
  const auto answers = Parse(relay.Process({0x81, 0x81, 0x00, 0x00}));
  EXPECT_EQ(answers.at(0).returnCode, 1);
  EXPECT_EQ(answers.at(1).returnCode, 0);
  EXPECT_EQ(answers.at(2).data[1], 2);  // the 0 branch first: 14 02 ...
  // The state reads back as loaded.
  EXPECT_EQ(Parse(relay.Process({0x01, 0x02, 0x07, 0x00, 0x01, 0x00})).back().data,
            (Bytes{0x07, 0x00}));
  EXPECT_EQ(relay.GetLastDiscrepancy(), 7);
  relay.Process({0x84});  // CMD_RESET clears the search context
  EXPECT_EQ(relay.GetLastDiscrepancy(), 0);
  EXPECT_EQ(relay.GetId(), Rom{});
}

TEST(RelayEmulator, TransactionBlockReadsMemory) {
  const Rom rom = {0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x8F};
  RelayEmulator relay;
  AddChip(relay, rom);
  const Bytes block = {0x00, 0x08, 0x14, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06,
                       0x8F, 0x82, 0x0A, 0x03, 0x22, 0xF0, 0x00, 0x85};
  const DS2430A::Memory memory = kCounting;
  EXPECT_EQ(relay.Process(block), Concat({{0x00, 0x08},
                                          Bytes(rom.begin(), rom.end()),
                                          {0x82, 0x00, 0x0A, 0x22, 0xF0, 0x00},
                                          Bytes(memory.begin(), memory.end())}));
}

TEST(RelayEmulator, DS2430AReadsWithStartAddressesAndWrap) {
  const Rom rom = WithCrc({0x14, 9, 9, 9, 9, 9, 9, 0});
  RelayEmulator relay;
  AddChip(relay, rom, 0x55);
  const Bytes select = Concat({{0x00, 0x08}, Bytes(rom.begin(), rom.end()), {0x82}});
  auto read = [&](const Bytes& exchange) {
    const auto answers = Parse(relay.Process(Concat({select, exchange})));
    const Bytes& data = answers.at(2).data;
    const std::size_t sent = exchange[1] - 1u;  // length byte covers L and the sent bytes
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(sent), data.end());
  };
  // 0A, payload length, L, command, address: L = 1 + 1 + reply length.
  EXPECT_EQ(read({0x0A, 0x03, 0x06, 0xF0, 0x1E}), (Bytes{0xBE, 0xBF, 0xA0, 0xA1}));
  EXPECT_EQ(read({0x0A, 0x03, 0x04, 0xF0, 0x10}), (Bytes{0xB0, 0xB1}));
  EXPECT_EQ(read({0x0A, 0x03, 0x0A, 0xC3, 0x00}), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(read({0x0A, 0x03, 0x05, 0xC3, 0x06}), (Bytes{7, 8, 1}));
  EXPECT_EQ(read({0x0A, 0x03, 0x03, 0x66, 0x00}), Bytes{0x55});
  // An exchange with nothing to send but the length reads L bytes.
  EXPECT_EQ(Parse(relay.Process({0x0A, 0x01, 0x02})).at(0).data, (Bytes{0xFF, 0xFF}));
}

TEST(RelayEmulator, HaltingCodesEndTheAnswer) {
  RelayFaults faults;
  CommandFailure failure;
  failure.command = 0x80;
  failure.code = 5;
  failure.skip = 1;
  failure.count = 1;
  faults.commandFailures.push_back(failure);
  CommandFailure soft;
  soft.command = 0x01;
  soft.code = 1;
  faults.commandFailures.push_back(soft);
  RelayEmulator relay(RelaySettings(), faults);
  AddChip(relay, WithCrc({0x14, 1, 0, 0, 0, 0, 0, 0}));

  // Code 1 on the write does not halt; the second CMD_ML_RESET halts with 5.
  const Bytes answer = relay.Process(kFirstSearchBlock);
  const auto answers = Parse(answer);
  EXPECT_EQ(answers.at(0).code, 0x86);
  EXPECT_EQ(answers.at(0).returnCode, 1);
  ASSERT_EQ(answers.size(), 7u);
  EXPECT_EQ(answers.back().code, 0x80);
  EXPECT_EQ(answers.back().returnCode, 5);
  // Only one occurrence was to fail.
  EXPECT_EQ(Parse(relay.Process({0x80})).at(0).returnCode, 0);
}

TEST(RelayEmulator, MalformedBlocksGetHaltingStatus) {
  RelayEmulator relay;
  EXPECT_EQ(relay.Process({0x84, 0x00, 0x05}),
            (Bytes{0x84, 0x00, 0x86, RelayInterpreter::RC_TRUNCATED}));
  EXPECT_EQ(relay.Process({0x07, 0x00, 0x00}),
            (Bytes{0x07, 0x0D, '1', 'W', '-', 'R', 'E', 'L', 'A', 'Y', ' ', '1', '.', '0', 0x00,
                   0x86, RelayInterpreter::RC_TRUNCATED}));
  EXPECT_EQ(relay.Process({0x03, 0x00, 0x84}), (Bytes{0x86, RelayInterpreter::RC_UNKNOWN_COMMAND}));
  EXPECT_EQ(relay.Process({0x83, 0x84}), (Bytes{0x83, RelayInterpreter::RC_UNKNOWN_COMMAND}));
  EXPECT_EQ(relay.Process({0x00, 0x02, 1, 2}), (Bytes{0x86, RelayInterpreter::RC_BAD_LENGTH}));
  EXPECT_EQ(relay.Process({0x06, 0x01, 0x40}), (Bytes{0x86, RelayInterpreter::RC_READ_ONLY}));
  EXPECT_EQ(relay.Process({0x0A, 0x03, 0x01, 0xF0, 0x00}),
            (Bytes{0x86, RelayInterpreter::RC_BAD_LENGTH}));
  EXPECT_EQ(relay.Process({0x0A, 0x00}), (Bytes{0x86, RelayInterpreter::RC_BAD_LENGTH}));
  EXPECT_TRUE(relay.Process({0x85}).empty());
}

TEST(RelayEmulator, EmptyBusPresence) {
  RelayEmulator quiet;
  EXPECT_EQ(quiet.Process({0x80, 0x82}), (Bytes{0x80, 0x00, 0x82, 0x01}));
  RelaySettings settings;
  settings.noPresenceCode = 3;
  RelayEmulator strict(settings);
  EXPECT_EQ(strict.Process({0x80, 0x81}), (Bytes{0x80, 0x03}));
}

TEST(RelayEmulator, OutboundChannelSilenceGarbageAndChunks) {
  RelayFaults faults;
  faults.silentReads = 2;
  faults.silentAfterAnswers = 1;
  faults.garbageAnswers = 1;
  faults.garbageBytes = {0x5A};
  faults.outboundChunk = 3;
  RelayEmulator relay(RelaySettings(), faults);
  EXPECT_TRUE(relay.ReadOutbound().empty());

  relay.ReceiveInbound({0x84, 0x85});  // first answer: garbage, not held back
  EXPECT_EQ(relay.ReadOutbound(), Bytes{0x5A});
  relay.ReceiveInbound({0x84, 0x84, 0x85});  // second: held for two reads, then in chunks
  EXPECT_TRUE(relay.ReadOutbound().empty());
  relay.ReceiveInbound({0x85});  // a poll neither answers nor restarts the silence
  EXPECT_TRUE(relay.ReadOutbound().empty());
  EXPECT_EQ(relay.ReadOutbound(), (Bytes{0x84, 0x00, 0x84}));
  EXPECT_EQ(relay.ReadOutbound(), Bytes{0x00});
  EXPECT_TRUE(relay.ReadOutbound().empty());
}

TEST(RelayEmulator, KeepsToItsOutboundMaximumAndRecordsBreachesOfItsLimits) {
  // 25 single-byte commands answer 50 bytes; the block itself takes 26.
  const Bytes resets = Concat({Bytes(25, 0x84), {0x85}});
  struct Case {
    bool ignore;
    std::vector<std::size_t> reads;  // bytes per read until empty
  };
  for (const Case& c : {Case{false, {48, 2}}, Case{true, {50}}}) {
    SCOPED_TRACE(c.ignore);
    RelaySettings settings;
    settings.inboundMax = 26;
    settings.outboundMax = 48;
    RelayFaults faults;
    faults.ignoreOutboundMax = c.ignore;
    RelayEmulator relay(settings, faults);
    relay.ReceiveInbound(resets);
    std::vector<std::size_t> reads;
    for (Bytes read = relay.ReadOutbound(); !read.empty(); read = relay.ReadOutbound()) {
      reads.push_back(read.size());
    }
    EXPECT_EQ(reads, c.reads);
    EXPECT_EQ(relay.GetLimitBreaches(),
              std::vector<std::string>{
                  "the answer of 50 bytes exceeds the reported outbound maximum 48"});
    relay.ReceiveInbound(Concat({{0x84}, resets}));
    ASSERT_EQ(relay.GetLimitBreaches().size(), 3u);
    EXPECT_EQ(relay.GetLimitBreaches()[1],
              "an inbound block of 27 bytes exceeds the reported inbound maximum 26");
  }
  // Within both limits nothing is recorded.
  RelayEmulator relay;
  relay.ReceiveInbound(kConfigBlock);
  EXPECT_TRUE(relay.GetLimitBreaches().empty());
}

TEST(RelayEmulator, CorruptSearchCrcAndDevicesDroppingOff) {
  const Rom first = WithCrc({0x14, 1, 0, 0, 0, 0, 0, 0});
  const Rom second = WithCrc({0x14, 2, 0, 0, 0, 0, 0, 0});
  RelayFaults faults;
  faults.corruptSearchCrc = {second};
  DropOff after;
  after.rom = first;
  after.afterAccesses = 1;
  DropOff atRead;
  atRead.rom = second;
  atRead.atReadPhase = true;
  faults.dropOffs = {after, atRead};
  RelayEmulator relay(RelaySettings(), faults);
  AddDevices(relay, {first, second});

  // 14 02 ... comes first: bit 8 is its first 0 where the two differ.
  const auto answers = Parse(relay.Process(kFirstSearchBlock));
  Rom corrupted = second;
  corrupted[7] = static_cast<uint8_t>(~corrupted[7]);
  EXPECT_EQ(answers.at(5).data, Bytes(corrupted.begin(), corrupted.end()));
  EXPECT_EQ(answers.at(8).data, Bytes(first.begin(), first.end()));
  // Loading the ROM by hand reads it back unchanged.
  const Bytes load = Concat({{0x00, 0x08}, Bytes(second.begin(), second.end())});
  EXPECT_EQ(Parse(relay.Process(Concat({load, {0x00, 0x00}}))).at(1).data,
            Bytes(second.begin(), second.end()));

  // The first access starts the read phase: `second` leaves; `first` answers
  // one access and then leaves too, so the bus is empty.
  auto status = [&](const Rom& rom) {
    const Bytes block =
        Concat({{0x00, 0x08}, Bytes(rom.begin(), rom.end()), {0x82, 0x0A, 0x03, 0x03, 0x66, 0x00}});
    const auto a = Parse(relay.Process(block));
    return std::make_pair(a.at(1).returnCode, a.at(2).data.back());
  };
  EXPECT_EQ(status(second), std::make_pair(uint8_t{0}, uint8_t{0xFF}));
  EXPECT_EQ(status(first), std::make_pair(uint8_t{0}, uint8_t{0xFC}));
  EXPECT_EQ(status(first), std::make_pair(uint8_t{1}, uint8_t{0xFF}));
  EXPECT_TRUE(Discover(relay).empty());
}

// A copy programs only when the bus stays idle for the programming time: one
// that more commands follow in its own block, or whose next block comes at
// once, is interrupted and leaves garbage; one whose next block comes late
// enough programs.
TEST(RelayEmulator, ACopyNeedsTheBusIdleForTheProgrammingTime) {
  RelayEmulator relay;
  BusClock::time_point now{};
  relay.GetBus().SetClock([&now] { return now; });
  const Rom rom = WithCrc({0x14, 0x01, 0, 0, 0, 0, 0, 0});
  AddChip(relay, rom);
  auto& chip = static_cast<DS2430A&>(*relay.GetBus().GetDevices().back());
  const Bytes select = Concat({{0x00, 0x08}, Bytes(rom.begin(), rom.end()), {0x82}});
  const Bytes writeScratchpad = Concat({select, {0x0A, 0x04, 0x03, 0x0F, 0x00, 0x42}});
  const Bytes copy = Concat({select, {0x0A, 0x03, 0x02, 0x55, 0xA5}});
  const Bytes readMemory = Concat({select, {0x0A, 0x03, 0x03, 0xF0, 0x00}});
  const uint8_t garbage = 0x42 ^ 0x5A;
  relay.Process(writeScratchpad);
  relay.Process(Concat({copy, readMemory}));
  EXPECT_EQ(garbage, chip.GetMemory()[0]);
  relay.Process(Concat({select, {0x0A, 0x04, 0x03, 0x0F, 0x00, 0x43}}));
  relay.Process(copy);
  now += std::chrono::milliseconds(9);
  relay.Process(readMemory);
  EXPECT_EQ(0x43 ^ 0x5A, chip.GetMemory()[0]);
  relay.Process(writeScratchpad);
  relay.Process(copy);
  now += DS2430A::PROGRAMMING_TIME;
  relay.Process(readMemory);
  EXPECT_EQ(0x42, chip.GetMemory()[0]);
}

}  // namespace
}  // namespace simdevice

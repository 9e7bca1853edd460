// The emulated DS2480B adapter: answers to each command, the data-mode
// escape, both kinds of ROM search, and a byte stream cut anywhere.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "serial/DS2480BProtocol.h"
#include "simserial/DS2480BEmulator.h"
#include "testing/RelayAnswers.h"
#include "testing/Roms.h"
#include "testing/ScriptedSerialPort.h"

namespace {

using Bytes = std::vector<uint8_t>;
using orvtest::HexBytes;

simdevice::ChannelConfig Channel(const std::vector<simdevice::Rom>& roms) {
  simdevice::ChannelConfig channel;
  for (const simdevice::Rom& rom : roms) {
    simdevice::BusDeviceConfig device;
    device.rom = rom;
    channel.devices.push_back(device);
  }
  return channel;
}

const simdevice::Rom kA = orvtest::WithCrc({0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
const simdevice::Rom kB = orvtest::WithCrc({0x14, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});

// Powers the emulator up and sends the timing byte.
Bytes Session(simserial::DS2480BEmulator& emulator, const Bytes& sent) {
  emulator.Break();
  Bytes stream{0xC1};
  stream.insert(stream.end(), sent.begin(), sent.end());
  return emulator.Receive(stream.data(), stream.size());
}

TEST(DS2480BEmulator, AnswersEachCommandAsTheAdapterDoes) {
  struct Case {
    const char* what;
    std::vector<simdevice::Rom> roms;
    simserial::AdapterFaults faults;
    Bytes sent;
    Bytes answered;
  };
  simserial::AdapterFaults shorted;
  shorted.shorted = true;
  const std::vector<Case> cases = {
      {"reset with presence", {kA}, {}, {0xC1, 0xC5}, {0xCD, 0xCD}},
      {"reset on an empty bus", {}, {}, {0xC1}, {0xCF}},
      {"reset on a shorted bus", {kA}, shorted, {0xC1}, {0xCC}},
      {"configuration writes",
       {},
       {},
       {0x17, 0x45, 0x5B, 0x3F, 0x29},
       {0x16, 0x44, 0x5A, 0x3E, 0x28}},
      {"configuration reads", {}, {}, {0x0F, 0x33, 0x07, 0x03}, {0x00, 0x32, 0x02, 0x00}},
      {"single bits", {}, {}, {0x91, 0x81, 0x95}, {0x93, 0x80, 0x97}},
      {"pulses", {}, {}, {0xED, 0xF1}, {0xEC, 0xF0}},
      {"mode switches are not answered", {}, {}, {0xE3, 0xB1, 0xA1, 0xE1, 0xE3}, {}},
      {"data mode echoes an unselected bus",
       {},
       {},
       {0xE1, 0x12, 0xE3, 0xE3, 0x00},
       {0x12, 0xE3, 0x00}},
      {"escape then a command", {kA}, {}, {0xE1, 0x12, 0xE3, 0xC1}, {0x12, 0xCD}},
      {"read ROM",
       {kA},
       {},
       Bytes{0xC1, 0xE1, 0x33, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       Bytes{0xCD, 0x33, kA[0], kA[1], kA[2], kA[3], kA[4], kA[5], kA[6], kA[7]}},
      {"skip ROM and the status",
       {kA},
       {},
       {0xC1, 0xE1, 0xCC, 0x66, 0x00, 0xFF},
       {0xCD, 0xCC, 0x66, 0x00, 0xFC}},
      {"shorted data reads 0", {kA}, shorted, {0xE1, 0xFF}, {0x00}},
  };
  for (const Case& c : cases) {
    simserial::DS2480BEmulator emulator(Channel(c.roms), c.faults);
    EXPECT_EQ(HexBytes(Session(emulator, c.sent)), HexBytes(c.answered)) << c.what;
  }
}

TEST(DS2480BEmulator, AcceleratedSearchReportsDiscrepanciesAndFollowsTheDirections) {
  simserial::DS2480BEmulator emulator(Channel({kB, kA}));
  const Bytes pass{0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1};
  Bytes first = pass;
  first.insert(first.end(), 16, 0x00);
  first.insert(first.end(), {0xE3, 0xA1});
  const Bytes answer = Session(emulator, first);
  ASSERT_EQ(answer.size(), 18u);
  ds2480b::SearchBlock block;
  std::copy(answer.begin() + 2, answer.end(), block.begin());
  // Serials 01 and 03 differ first in bit 9; the 0 path leads to kA.
  EXPECT_EQ(ds2480b::SearchRom(block), kA);
  const int turn = ds2480b::LastOpenDiscrepancy(block);
  EXPECT_EQ(turn, 9);

  Bytes second = pass;
  for (uint8_t byte : ds2480b::SearchDirections(kA, unsigned(turn)))
    ds2480b::AppendData(second, byte);
  second.insert(second.end(), {0xE3, 0xA1});
  const Bytes again = emulator.Receive(second.data(), second.size());
  std::copy(again.begin() + 2, again.end(), block.begin());
  EXPECT_EQ(ds2480b::SearchRom(block), kB);
  EXPECT_EQ(ds2480b::LastOpenDiscrepancy(block), -1);
}

TEST(DS2480BEmulator, SearchWithoutTheAcceleratorRunsThreeSlotsPerBit) {
  simserial::DS2480BEmulator emulator(Channel({kA, kB}));
  // Read, read complement, write kA's bit: 192 slots in 24 data bytes.
  std::vector<bool> slots;
  for (unsigned i = 0; i < 64; ++i) slots.insert(slots.end(), {true, true, ds2480b::RomBit(kA, i)});
  Bytes sent{0xC1, 0xE1, 0xF0};
  for (std::size_t i = 0; i < slots.size(); i += 8) {
    uint8_t byte = 0;
    for (unsigned b = 0; b < 8; ++b) byte = uint8_t(byte | (slots[i + b] ? 1u << b : 0u));
    ds2480b::AppendData(sent, byte);
  }
  const Bytes answer = Session(emulator, sent);
  ASSERT_EQ(answer.size(), 2u + 24u);
  for (unsigned i = 0; i < 64; ++i) {
    const unsigned at = i * 3;
    const auto slot = [&](unsigned n) { return ((answer[2 + n / 8] >> (n % 8)) & 1) != 0; };
    const bool aBit = ds2480b::RomBit(kA, i);
    const bool bothDiffer = ds2480b::RomBit(kB, i) != aBit && i <= 9;  // kB drops out at bit 9
    EXPECT_EQ(slot(at), aBit && !bothDiffer) << i;
    EXPECT_EQ(slot(at + 1), !aBit && !bothDiffer) << i;
  }
  // kA is selected: its status follows.
  const Bytes status{0x66, 0x00, 0xFF};
  EXPECT_EQ(HexBytes(emulator.Receive(status.data(), status.size())), "66 00 FC");
}

TEST(DS2480BEmulator, AnswersDoNotDependOnHowTheStreamIsCut) {
  Bytes stream{0xC1, 0x17, 0x45, 0x5B, 0x0F, 0x91, 0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1};
  stream.insert(stream.end(), 16, 0x00);
  stream.insert(stream.end(), {0xE3, 0xA1, 0xC1, 0xE1, 0x55});
  stream.insert(stream.end(), kB.begin(), kB.end());
  stream.insert(stream.end(), {0xF0, 0x00, 0xFF, 0xFF, 0xE3, 0xE3, 0xE3, 0xC1});
  simserial::DS2480BEmulator whole(Channel({kA, kB}));
  const Bytes expected = Session(whole, stream);
  for (std::size_t cut = 1; cut < 5; ++cut) {
    simserial::DS2480BEmulator pieces(Channel({kA, kB}));
    Bytes answers = Session(pieces, {});
    for (std::size_t i = 0; i < stream.size(); i += cut) {
      const Bytes part = pieces.Receive(stream.data() + i, std::min(cut, stream.size() - i));
      answers.insert(answers.end(), part.begin(), part.end());
    }
    EXPECT_EQ(HexBytes(answers), HexBytes(expected)) << cut;
  }
}

// Reset, Match ROM of `rom`, then `bytes` in data mode, back to command mode.
Bytes Selected(const simdevice::Rom& rom, const Bytes& bytes) {
  Bytes stream{0xC1, 0xE1, 0x55};
  for (uint8_t byte : rom) ds2480b::AppendData(stream, byte);
  for (uint8_t byte : bytes) ds2480b::AppendData(stream, byte);
  stream.push_back(0xE3);
  return stream;
}

TEST(DS2480BEmulator, CopiesCompleteOnlyWhenTheBusThenStaysIdleForTheProgrammingTime) {
  using std::chrono::milliseconds;
  const Bytes page(32, 0x5C);
  Bytes writePage{0x0F, 0x00};
  writePage.insert(writePage.end(), page.begin(), page.end());
  const Bytes readPage = orvtest::Concat({{0xF0, 0x00}, Bytes(32, 0xFF)});
  const Bytes readStatus{0x66, 0x00, 0xFF};
  struct Case {
    const char* what;
    Bytes write;  // fills the scratchpad (or application scratchpad)
    Bytes copy;   // the copy command and its key
    Bytes after;  // sent in the same write as the copy, before the quiet
    milliseconds quiet;
    Bytes read;
    std::size_t tail;  // answer bytes of the read to compare
    Bytes expected;    // empty: garbage, neither the old page nor the new one
  };
  // An interrupted copy leaves the page undefined; an interrupted lock
  // leaves the register locked with garbage.
  const Bytes oldPage(32, 0x00);
  const Bytes garbage;
  const std::vector<Case> cases = {
      {"copy scratchpad, idle long enough", writePage, {0x55, 0xA5}, {}, milliseconds(10),
       readPage, 32, page},
      {"copy scratchpad, idle too briefly", writePage, {0x55, 0xA5}, {}, milliseconds(9),
       readPage, 32, garbage},
      {"copy scratchpad cut short by a reset", writePage, {0x55, 0xA5}, {0xC1},
       milliseconds(20), readPage, 32, garbage},
      {"copy scratchpad with a wrong key", writePage, {0x55, 0x5A}, {}, milliseconds(20),
       readPage, 32, oldPage},
      {"copy and lock, idle long enough", {0x99, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}, {0x5A, 0xA5}, {},
       milliseconds(10), readStatus, 1, {0xFC}},
      {"copy and lock, idle too briefly", {0x99, 0x00, 1, 2, 3, 4, 5, 6, 7, 8}, {0x5A, 0xA5}, {},
       milliseconds(2), readStatus, 1, {0xFC}},
  };
  simdevice::ChannelConfig channel = Channel({kA});
  channel.devices[0].status = 0xFF;
  channel.devices[0].memory.fill(0x00);
  for (const Case& c : cases) {
    simserial::DS2480BEmulator emulator(channel);
    // Time passes only as the quiet gaps say.
    emulator.GetBus().SetClock([] { return simdevice::BusClock::time_point{}; });
    Session(emulator, Selected(kA, c.write));
    const Bytes copy = orvtest::Concat({Selected(kA, c.copy), c.after});
    emulator.Receive(copy.data(), copy.size());
    emulator.Quiet(c.quiet);
    const Bytes read = Selected(kA, c.read);
    const Bytes answer = emulator.Receive(read.data(), read.size());
    ASSERT_GE(answer.size(), c.tail) << c.what;
    const Bytes got(answer.end() - long(c.tail), answer.end());
    if (c.expected.empty()) {
      EXPECT_NE(HexBytes(got), HexBytes(oldPage)) << c.what;
      EXPECT_NE(HexBytes(got), HexBytes(page)) << c.what;
    } else {
      EXPECT_EQ(HexBytes(got), HexBytes(c.expected)) << c.what;
    }
  }
}

TEST(DS2480BEmulator, AnswersOnlyAtTheRateItWasSwitchedTo) {
  simserial::AdapterFaults fixed;
  fixed.fixedBaud = true;
  struct Step {
    Bytes sent;
    unsigned hostBaud;
    Bytes answered;
    unsigned adapterBaud;  // afterwards
  };
  struct Case {
    const char* what;
    simserial::AdapterFaults faults;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"switched to 115200",
       {},
       {{{0x0F}, 9600, {0x00}, 9600},
        // The answer to the change and what follows at 9600 are lost.
        {{0x77, 0xC1}, 9600, {}, 115200},
        {{0xC1}, 9600, {}, 115200},
        {{0x0F, 0xC1}, 115200, {0x06, 0xCD}, 115200}}},
      {"switched to 19200 and the host follows in the same stream",
       {},
       {{{0x73}, 19200, {}, 9600}}},
      {"switched twice",
       {},
       {{{0x75}, 9600, {}, 57600}, {{0x71}, 57600, {}, 9600}, {{0x0F}, 9600, {0x00}, 9600}}},
      {"an adapter that stays at 9600",
       fixed,
       {{{0x73}, 9600, {0x72}, 9600}, {{0x0F}, 19200, {}, 9600}, {{0x0F}, 9600, {0x00}, 9600}}},
  };
  for (const Case& c : cases) {
    simserial::DS2480BEmulator emulator(Channel({kA}), c.faults);
    Session(emulator, {});
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      EXPECT_EQ(HexBytes(emulator.Receive(step.sent.data(), step.sent.size(), step.hostBaud)),
                HexBytes(step.answered))
          << c.what << ", step " << i;
      EXPECT_EQ(emulator.Baud(), step.adapterBaud) << c.what << ", step " << i;
    }
  }
  // A break and a power-on take the adapter back to 9600.
  simserial::DS2480BEmulator emulator(Channel({kA}));
  EXPECT_EQ(HexBytes(Session(emulator, {0x77})), "");
  EXPECT_EQ(HexBytes(Session(emulator, {0x0F})), "00");
}

TEST(DS2480BEmulator, FindsTheEndOfTheFirstRateWriteFollowingTheModes) {
  struct Case {
    const char* what;
    Bytes before;  // taken first, after the timing byte
    Bytes scanned;
    std::size_t end;
  };
  const std::vector<Case> cases = {
      {"a rate write alone", {}, {0x77}, 1},
      {"after a reset, with a read after it", {}, {0xC1, 0x73, 0x0F}, 2},
      {"the first of two", {}, {0x75, 0x71}, 1},
      {"a rate read or another parameter", {}, {0x0F, 0x17, 0x45}, 0},
      {"a data byte that looks like one", {}, {0xE1, 0x77, 0xE3, 0xE3, 0x77}, 0},
      {"a command after data mode ends", {}, {0xE1, 0x33, 0xE3, 0x77}, 4},
      {"data mode entered before", {0xE1}, {0x77, 0xE3, 0x75}, 3},
  };
  for (const Case& c : cases) {
    simserial::DS2480BEmulator emulator(Channel({kA}));
    Session(emulator, c.before);
    EXPECT_EQ(emulator.RateWriteEnd(c.scanned.data(), c.scanned.size()), c.end) << c.what;
  }
  // After a break the first byte is the timing byte.
  simserial::DS2480BEmulator emulator(Channel({kA}));
  emulator.Break();
  const Bytes twice{0x77, 0x77};
  EXPECT_EQ(emulator.RateWriteEnd(twice.data(), twice.size()), 2u);
}

TEST(DS2480BEmulator, CountsTheBusTimeOfEachResetSlotAndByteAtStandardSpeed) {
  Bytes pass{0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1};
  pass.insert(pass.end(), 16, 0x00);
  pass.insert(pass.end(), {0xE3, 0xA1});
  const struct {
    Bytes sent;
    long long micros;
  } cases[] = {
      {{0x17, 0x45, 0x0F, 0xE1, 0xE3}, 0},  // configuration and mode switches
      {{0xC1}, 1000},
      {{0x91, 0x81}, 2 * 65},
      {{0xE1, 0xFF, 0xE3, 0xE3}, 2 * 8 * 65},
      {pass, 1000 + 8 * 65 + 16 * 12 * 65},  // an accelerated byte: 4 bits of 3 slots
  };
  for (const auto& c : cases) {
    simserial::DS2480BEmulator emulator(Channel({kA, kB}));
    Session(emulator, {});
    emulator.TakeBusTime();
    emulator.Receive(c.sent.data(), c.sent.size());
    EXPECT_EQ(emulator.TakeBusTime().count(), c.micros) << HexBytes(c.sent);
    EXPECT_EQ(emulator.TakeBusTime().count(), 0);
  }
}

TEST(DS2480BEmulator, NoisyAnswerComesAgainAfterEachPowerOn) {
  simserial::AdapterFaults noisy;
  noisy.noisyAnswer = 2;
  simserial::DS2480BEmulator emulator(Channel({kA}), noisy);
  const Bytes resets{0xC1, 0xC1, 0xC1};
  for (int session = 0; session < 2; ++session) {
    emulator.PowerOn();
    EXPECT_EQ(HexBytes(Session(emulator, resets)), "CD 32 CD") << session;
  }
  // A break alone is no power-on: the count goes on.
  EXPECT_EQ(HexBytes(Session(emulator, resets)), "CD CD CD");
}

}  // namespace

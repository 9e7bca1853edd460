#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "onewire/DS2430AWriter.h"
#include "testing/Roms.h"
#include "testing/SimBusMaster.h"

namespace {

using Report = DS2430AWriter::Report;

const AbstractOneWireMaster::Device kRom = orvtest::MakeRom(0x14, 0x31);

std::vector<uint8_t> Bytes(std::size_t count, uint8_t first) {
  std::vector<uint8_t> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

const std::vector<uint8_t> kApp = Bytes(8, 0x40);
const std::vector<uint8_t> kMemory = Bytes(32, 0x80);
const std::vector<uint8_t> kOtherApp = Bytes(8, 0x10);

struct Recorder : DS2430AWriter::Listener {
  void WriteFinished(const Report& r) override {
    ++calls;
    report = r;
  }
  int calls = 0;
  Report report;
};

// Writes kApp/kMemory to one DS2430A on the simulated bus after `setUp` has
// shaped the part and the faults; returns the report's text.
struct WriteRun {
  explicit WriteRun(bool lock, const std::function<void(orvtest::SimBusMaster&)>& setUp = {},
                    uint8_t status = 0xFF, const std::vector<uint8_t>& app = {}) {
    chip = &master.AddDS2430A(kRom, status, app);
    if (setUp) setUp(master);
    auto writer = DS2430AWriter::Create(master, kRom, kApp, kMemory, lock, recorder);
    writer->Start();
  }
  std::string Text() const { return recorder.report.Text(kRom); }
  std::vector<uint8_t> Memory() const {
    return {chip->GetMemory().begin(), chip->GetMemory().end()};
  }
  std::vector<uint8_t> App() const {
    return {chip->GetApplication().begin(), chip->GetApplication().end()};
  }
  orvtest::SimBusMaster master;
  simdevice::DS2430A* chip = nullptr;
  Recorder recorder;
};

const std::string kPrefix = "Writing " + kRom.ToString() + " failed at ";

}  // namespace

TEST(DS2430AWriter, BlankPartIsProgrammedLockedAndVerified) {
  WriteRun run(true);
  ASSERT_EQ(1, run.recorder.calls);
  EXPECT_TRUE(run.recorder.report.ok);
  EXPECT_EQ("Wrote " + kRom.ToString() +
                ": memory programmed with the new contents; application register locked with the "
                "new contents (status FC)",
            run.Text());
  EXPECT_EQ(kMemory, run.Memory());
  EXPECT_EQ(kApp, run.App());
  EXPECT_EQ(0xFC, run.chip->GetStatus());
  // 3 reads, 2 scratchpad writes and a read, copy, verify, register write and
  // read, lock, status and register read; each read of the part's state
  // followed by a presence probe (a write and a read).
  EXPECT_EQ(19u, run.master.operationsRun);
}

TEST(DS2430AWriter, RegisterIsLeftAloneUnlessLockingWasAskedFor) {
  WriteRun run(false);
  EXPECT_EQ("Wrote " + kRom.ToString() +
                ": memory programmed with the new contents; application register untouched "
                "(status FF)",
            run.Text());
  EXPECT_EQ(std::vector<uint8_t>(8, 0xFF), run.App());
  EXPECT_EQ(0xFF, run.chip->GetStatus());
}

TEST(DS2430AWriter, LockedRegisterOnlyTheMemoryIsRewrittenAndOnlyWhenItMatches) {
  WriteRun same(true, {}, 0xFC, kApp);
  EXPECT_EQ("Wrote " + kRom.ToString() +
                ": memory programmed with the new contents; application register already locked "
                "with the new contents",
            same.Text());
  EXPECT_EQ(12u, same.master.operationsRun);

  // Locked with the new contents but status FE: hosts take only FC, so the
  // part is refused as one that can never be committed.
  WriteRun partly(true, {}, 0xFE, kApp);
  EXPECT_EQ(kPrefix +
                "read status: the status reads FE, not FC: the application register is locked "
                "but not committed, and hosts read only parts with status FC. Left on the "
                "device: memory unchanged; application register locked with the new contents, "
                "but not committed (status FE): hosts read only parts with status FC",
            partly.Text());
  EXPECT_EQ(5u, partly.master.operationsRun);

  WriteRun other(true, {}, 0xFC, kOtherApp);
  EXPECT_EQ(kPrefix +
                "read status: the application register is locked with other contents (10 11 12 "
                "13 14 15 16 17; the new contents begin 40 41 42 43 44 45 46 47). Left on the "
                "device: memory unchanged; application register locked with other contents",
            other.Text());
  EXPECT_EQ(std::vector<uint8_t>(32, 0xFF), other.Memory());
  EXPECT_EQ(5u, other.master.operationsRun);
}

// Each failure of the sequence: its step, its text, and what the part holds
// afterwards, as reported and as it really is.
TEST(DS2430AWriter, EachFailureIsNamedAndLeavesThePartAsReported) {
  const std::string allFF =
      "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF "
      "FF FF FF FF FF FF FF FF FF";
  const std::string memHex =
      "80 81 82 83 84 85 86 87 88 89 8A 8B 8C 8D 8E 8F 90 91 92 93 94 95 "
      "96 97 98 99 9A 9B 9C 9D 9E 9F";
  struct Case {
    std::function<void(orvtest::SimBusMaster&)> fault;
    std::string text;
    bool memoryProgrammed;
    uint8_t status;
  };
  const Case cases[] = {
      {[](auto& m) { m.failOperation = 2; },
       kPrefix + "read status: injected failure. Left on the device: memory unchanged; "
                 "application register untouched",
       false, 0xFF},
      {[](auto& m) { m.failOperation = 9; },
       kPrefix + "copy scratchpad: injected failure. Left on the device: memory unchanged; "
                 "application register untouched (status FF)",
       false, 0xFF},
      {[](auto& m) {
         m.failOperation = 9;
         m.failAfterRunning = true;
       },
       kPrefix + "copy scratchpad: injected failure. Left on the device: memory programmed with "
                 "the new contents; application register untouched (status FF)",
       true, 0xFF},
      {[](auto& m) { m.failOperation = 10; },
       kPrefix + "verify memory: injected failure. Left on the device: memory unknown (could not "
                 "be read back: read failed); application register untouched (status FF)",
       true, 0xFF},
      // No pause after the copy: the next reset interrupts the programming,
      // which leaves garbage.
      {[](auto& m) { m.idleAfterTransactions = false; },
       kPrefix +
           "verify memory: memory read back DA DA DE DE DA DA E6 E6 EA EA EE EE EA EA E6 "
           "E6 FA FA FE FE FA FA E6 E6 EA EA EE EE EA EA E6 E6, expected " +
           memHex +
           ". Left on the device: memory holds neither its old nor the new contents; "
           "application register untouched (status FF)",
       false, 0xFF},
      {[](auto& m) { m.dropAfterOperations = 5; },
       kPrefix + "write scratchpad: scratchpad read back " + allFF + ", expected " + memHex +
           " (all FF: is the device still on the bus?). Left on the device: memory unchanged; "
           "application register untouched (status FF)",
       false, 0xFF},
      // Gone from a bus that still answers: every read gives FF. Only the
      // presence probe tells, and what it could not prove is unknown.
      {[](auto& m) { m.dropAfterOperations = 3; },
       kPrefix + "read status: the device did not answer the presence probe after the read "
                 "(read back FF, expected 3C): it is no longer on the bus. Left on the device: "
                 "memory unchanged; application register untouched",
       false, 0xFF},
      {[](auto& m) { m.dropAfterOperations = 9; },
       kPrefix + "verify memory: the device did not answer the presence probe after the read "
                 "(read back FF, expected 3C): it is no longer on the bus. Left on the device: "
                 "memory unknown (could not be read back: device gone); application register "
                 "untouched (status FF)",
       true, 0xFF},
      {[](auto& m) { m.dropAfterOperations = 13; },
       kPrefix + "write application register: application register read back FF FF FF FF FF FF "
                 "FF FF, expected 40 41 42 43 44 45 46 47 (all FF: is the device still on the "
                 "bus?); nothing was locked. Left on the device: memory programmed with the new "
                 "contents; application register not locked (status FF)",
       true, 0xFF},
      {[](auto& m) { m.dropAfterOperations = 15; },
       kPrefix + "verify lock: the device did not answer the presence probe after the read (read "
                 "back FF, expected 3C): it is no longer on the bus. Left on the device: memory "
                 "programmed with the new contents; application register unknown (could not be "
                 "read back: device gone)",
       true, 0xFC},
      {[](auto& m) { m.failOperation = 15; },
       kPrefix + "lock application register: injected failure. Left on the device: memory "
                 "programmed with the new contents; application register not locked (status FF)",
       true, 0xFF},
      {[](auto& m) {
         m.failOperation = 15;
         m.failAfterRunning = true;
       },
       kPrefix + "lock application register: injected failure. Left on the device: memory "
                 "programmed with the new contents; application register locked with the new "
                 "contents (status FC)",
       true, 0xFC},
      {[](auto& m) { m.failOperation = 16; },
       kPrefix + "verify lock: injected failure. Left on the device: memory programmed with the "
                 "new contents; application register unknown (could not be read back: read failed)",
       true, 0xFC},
  };
  for (const Case& c : cases) {
    WriteRun run(true, c.fault);
    ASSERT_EQ(1, run.recorder.calls) << c.text;
    EXPECT_FALSE(run.recorder.report.ok);
    EXPECT_EQ(c.text, run.Text());
    if (c.text.find("neither") == std::string::npos) {
      EXPECT_EQ(c.memoryProgrammed ? kMemory : std::vector<uint8_t>(32, 0xFF), run.Memory())
          << c.text;
    }
    EXPECT_EQ(c.status, run.chip->GetStatus()) << c.text;
  }
}

TEST(DS2430AWriter, AMasterWithoutAnswerPauseGetsItsProgrammingPause) {
  orvtest::SimBusMaster master;
  const simdevice::DS2430A& chip = master.AddDS2430A(kRom);
  master.idleAfterTransactions = false;
  Recorder recorder;
  auto writer = DS2430AWriter::Create(master, kRom, kApp, kMemory, true, recorder);
  int pauses = 0;
  writer->SetProgrammingPause([&] {
    ++pauses;
    master.bus.Idle();
  });
  writer->Start();
  EXPECT_TRUE(recorder.report.ok) << recorder.report.Text(kRom);
  EXPECT_EQ(2, pauses);
  EXPECT_EQ(0xFC, chip.GetStatus());
}

TEST(DS2430AWriter, ADisturbedScratchpadIsWrittenOnceMoreThenGivenUp) {
  WriteRun once(true, [](auto& m) { m.corruptReplies = {8}; });
  EXPECT_TRUE(once.recorder.report.ok);
  EXPECT_EQ(22u, once.master.operationsRun);

  WriteRun twice(true, [](auto& m) { m.corruptReplies = {8, 11}; });
  EXPECT_EQ("write scratchpad", twice.recorder.report.step);
  EXPECT_EQ(Report::Memory::Unchanged, twice.recorder.report.memory);
  EXPECT_EQ(std::vector<uint8_t>(32, 0xFF), twice.Memory());
}

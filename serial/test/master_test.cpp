// The DS2480B master: its bytes on the wire against a scripted port, and its
// faults and threads against the emulated adapter.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "devicelink/ZorelQueryMaster.h"
#include "serial/DS2480BQueryMaster.h"
#include "serial/DS2480BProtocol.h"
#include "simdevice/SimDevice.h"
#include "simserial/DS2480BEmulator.h"
#include "simserial/EmulatedPort.h"
#include "simserial/PtyServer.h"
#include "teds/TEDSInterface.h"
#include "testing/EventLog.h"
#include "testing/QueryHost.h"
#include "testing/Recorders.h"
#include "testing/RelayAnswers.h"
#include "testing/Roms.h"
#include "testing/ScriptedSerialPort.h"
#include "testing/SimQuery.h"

namespace {

using namespace std::chrono_literals;
using Device = AbstractOneWireMaster::Device;
using orvtest::EventLog;

const DS2480BTiming kFast{20ms, 0ms};
const std::string kPrefix = "DS2480B on emu: ";

// The answer to an accelerated pass that meets only `rom`: its bits, no
// discrepancy anywhere.
std::vector<uint8_t> Alone(const Device& rom) {
  const ds2480b::SearchBlock block = ds2480b::SearchDirections(rom, 64);
  return std::vector<uint8_t>(block.begin(), block.end());
}

simdevice::ChannelConfig Bench(const std::vector<Device>& roms) {
  simdevice::ChannelConfig channel;
  for (const Device& rom : roms) {
    simdevice::BusDeviceConfig device;
    device.rom = rom;
    device.memory.fill(0x11);
    channel.devices.push_back(device);
  }
  return channel;
}

// A master on a port, with its bus listener logging.
struct Rig {
  explicit Rig(std::shared_ptr<SerialPort> port, DS2480BTiming timing = kFast)
      : master(std::move(port), "emu", timing) {
    master.AddListener(std::make_shared<orvtest::BusEvents>(log));
  }
  bool Ready() {
    master.Enable(true);
    return log.WaitFor("ready");
  }
  void Discover() { master.Discover(std::make_shared<orvtest::DiscoveryEvents>(log)); }
  // Submits a status read of `rom` as transaction `name`.
  std::shared_ptr<AbstractOneWireMaster::Transaction> ReadStatus(const std::string& name,
                                                                 const Device& rom) {
    listeners.push_back(std::make_unique<orvtest::TransactionEvents>(log, name));
    auto transaction = master.CreateTransaction(*listeners.back());
    transaction->AddOperation(std::make_shared<orvtest::OperationEvents>(
        log, name, rom, 0x66, std::vector<uint8_t>{0x00}, 1));
    transaction->Submit();
    return transaction;
  }
  EventLog log;
  std::vector<std::unique_ptr<orvtest::TransactionEvents>> listeners;
  DS2480BOneWireMaster master;
};

std::shared_ptr<simserial::EmulatedPort> Emulated(const simdevice::ChannelConfig& channel,
                                                  simserial::AdapterFaults faults = {}) {
  return std::make_shared<simserial::EmulatedPort>(
      std::make_shared<simserial::DS2480BEmulator>(channel, faults));
}

TEST(DS2480BWire, StartSearchAndReadAsEstablishedDriversDo) {
  // A ROM holding the byte E3, which must travel doubled in data mode.
  const Device rom(orvtest::WithCrc({0x14, 0xE3, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
  const std::vector<uint8_t> romOnWire =
      orvtest::Concat({{0x14, 0xE3, 0xE3}, {rom.begin() + 2, rom.end()}});
  auto port = std::make_shared<orvtest::ScriptedSerialPort>();
  port->ExpectBreak();
  port->Expect({0xC1}, {});  // the timing byte: no answer is awaited
  port->Expect({0xC1, 0x17, 0x45, 0x5B, 0x0F, 0x91, 0xC1},
               {0xCD, 0x16, 0x44, 0x5A, 0x00, 0x93, 0xCD});
  // One accelerated pass: no discrepancy left, so no second pass.
  port->Expect(
      orvtest::Concat(
          {{0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1}, std::vector<uint8_t>(16, 0x00), {0xE3, 0xA1}}),
      orvtest::Concat({{0xCD, 0xF0}, Alone(rom)}));
  // Match ROM and the status read, nothing more: the page checksum, not a
  // search pass per read, tells a complete read.
  port->Expect(orvtest::Concat({{0xC1, 0xE1, 0x55}, romOnWire, {0x66, 0x00, 0xFF, 0xE3}}),
               orvtest::Concat({{0xCD, 0x55}, {rom.begin(), rom.end()}, {0x66, 0x00, 0xFC}}));
  Rig rig(port);
  ASSERT_TRUE(rig.Ready());
  rig.Discover();
  ASSERT_TRUE(rig.log.WaitFor("discovered:"));
  rig.ReadStatus("t", rom);
  ASSERT_TRUE(rig.log.WaitFor("t finished"));
  EXPECT_EQ(rig.log.Lines(), (std::vector<std::string>{"ready", "discovered: " + rom.ToString(),
                                                       "t reply: FC", "t finished"}));
  EXPECT_EQ(port->Problems(), std::vector<std::string>{});
  EXPECT_EQ(port->Unused(), 0u);
}

TEST(DS2480BWire, SearchTakesOnePassPerDeviceAndFindsThemAll) {
  std::vector<Device> roms;
  for (uint8_t serial : {0x05, 0x01, 0x04, 0x80, 0x7F, 0x02, 0x03})
    roms.push_back(orvtest::MakeRom(0x14, serial));
  roms.push_back(orvtest::MakeRom(0x01, 0x05));  // a device of another family
  auto port = Emulated(Bench(roms));
  Rig rig(port);
  ASSERT_TRUE(rig.Ready());
  const std::size_t started = port->Writes();
  rig.Discover();
  ASSERT_TRUE(rig.log.WaitFor("discovered:"));
  EXPECT_EQ(port->Writes() - started, roms.size());
  const std::string found = rig.log.Lines().back();
  for (const Device& rom : roms)
    EXPECT_NE(found.find(rom.ToString()), std::string::npos) << rom.ToString();
}

struct FaultCase {
  const char* name;
  std::vector<Device> roms;
  simserial::AdapterFaults adapter;
  std::function<void(simdevice::ChannelConfig&)> deviceFaults;
  std::string expected;          // the log line that reports the fault
  bool leaveBeforeRead = false;  // the devices leave between search and read
};

TEST(DS2480BFaults, EveryFaultEndsInTimeWithItsText) {
  const Device a = orvtest::MakeRom(0x14, 0x01);
  const Device b = orvtest::MakeRom(0x14, 0x02);
  Device corrupted = a;
  corrupted[7] = uint8_t(~corrupted[7]);
  simserial::AdapterFaults silent, noisyStart, noisyRead, shorted;
  silent.silent = true;
  noisyStart.noisyAnswer = 1;          // the first reset's answer
  noisyRead.noisyAnswer = 7 + 18 + 2;  // start, one search pass, then the echo of Match ROM
  shorted.shorted = true;
  const auto none = [](simdevice::ChannelConfig&) {};
  const auto dropOff = [&a](bool atReadPhase) {
    return [&a, atReadPhase](simdevice::ChannelConfig& channel) {
      simdevice::DropOff drop;
      drop.rom = a;
      drop.atReadPhase = atReadPhase;
      channel.faults.dropOffs.push_back(drop);
    };
  };
  const std::vector<FaultCase> cases = {
      {"no adapter",
       {a},
       silent,
       none,
       "error: " + kPrefix + "no answer within 34 ms (wrong port, or the adapter is unplugged)"},
      {"line noise",
       {a},
       noisyStart,
       none,
       "error: " + kPrefix +
           "answer 0x32 does not fit command 0xC1 (wrong device on the port, or line noise)"},
      {"noise in a read",
       {a},
       noisyRead,
       none,
       "t error: " + kPrefix +
           "answer 0xAA does not fit command 0x55 (wrong device on the port, or line noise)"},
      {"shorted bus", {a}, shorted, none, "error: " + kPrefix + "the 1-Wire bus is shorted"},
      {"empty bus", {}, {}, none, "discovered:"},
      {"bad ROM CRC",
       {a},
       {},
       [&a](simdevice::ChannelConfig& c) { c.faults.corruptSearchCrc.push_back(a); },
       "discovery error: " + kPrefix + "ROM " + corrupted.ToString() +
           " found by the search fails its CRC-8 check"},
      // The only device of the transaction has gone: nothing to go on with.
      {"no presence",
       {a},
       {},
       none,
       "t error: " + kPrefix + "no presence pulse: no device on the bus to read device " +
           a.ToString(),
       true},
      {"device leaves at once",
       {a},
       {},
       dropOff(true),
       "t error: " + kPrefix + "device " + a.ToString() + " left the bus during the read"},
      {"device leaves",
       {a, b},
       {},
       dropOff(false),
       "t error: " + kPrefix + "device " + a.ToString() + " left the bus during the read"},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    simdevice::ChannelConfig channel = Bench(c.roms);
    c.deviceFaults(channel);
    auto port = Emulated(channel, c.adapter);
    Rig rig(port);
    rig.master.Enable(true);
    if (rig.log.WaitForAny({"ready", "error"}, 2s) && rig.log.Has("ready")) {
      rig.Discover();
      if (rig.log.WaitFor("discover", 2s) && rig.log.Has("discovered: ")) {
        for (auto& device : port->GetEmulator().GetBus().GetDevices()) {
          if (c.leaveBeforeRead) device->SetPresent(false);
        }
        rig.ReadStatus("t", a);
      }
    }
    EXPECT_TRUE(rig.log.WaitFor(c.expected, 2s)) << ::testing::PrintToString(rig.log.Lines());
    const std::vector<std::string> lines = rig.log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), lines.back()), 1);
  }
}

TEST(DS2480BFaults, PortThatCannotBeOpenedIsReportedAndTheMasterStaysEnabling) {
  EventLog log;  // outlives the master, whose thread writes to it
  DS2480BOneWireMaster master("/nonexistent/ttyS99", kFast);
  master.AddListener(std::make_shared<orvtest::BusEvents>(log));
  master.Enable(true);
  ASSERT_TRUE(log.WaitFor("error: DS2480B on /nonexistent/ttyS99: cannot open the serial port: "));
  EXPECT_TRUE(master.StartFailed());
  EXPECT_EQ(master.GetState(), AbstractOneWireMaster::Enabling);
}

TEST(DS2480BThreads, TransactionsRunInOrderEndOnceAndNotifyOnTheMastersThread) {
  const Device a = orvtest::MakeRom(0x14, 0x01);
  Rig rig(Emulated(Bench({a})));
  ASSERT_TRUE(rig.Ready());
  auto first = rig.ReadStatus("t1", a);
  rig.ReadStatus("t2", a);
  first->Submit();  // submitted twice: still one run, one end
  rig.ReadStatus("t3", a);
  ASSERT_TRUE(rig.log.WaitFor("t3 finished"));
  EXPECT_EQ(rig.log.Lines(),
            (std::vector<std::string>{"ready", "t1 reply: FC", "t1 finished", "t2 reply: FC",
                                      "t2 finished", "t3 reply: FC", "t3 finished"}));
  EXPECT_EQ(rig.log.Threads().size(), 1u);
  EXPECT_EQ(rig.log.Threads().count(std::this_thread::get_id()), 0u);
}

TEST(DS2480BThreads, DisableEndsTheExchangeUnderWayAndWhatWaitsAtOnce) {
  const Device a = orvtest::MakeRom(0x14, 0x01);
  auto port = std::make_shared<orvtest::ScriptedSerialPort>();
  port->ExpectBreak();
  port->Expect({0xC1}, {});
  port->Expect({0xC1, 0x17, 0x45, 0x5B, 0x0F, 0x91, 0xC1},
               {0xCD, 0x16, 0x44, 0x5A, 0x00, 0x93, 0xCD});
  Rig rig(port, DS2480BTiming{10s, 0ms});  // the search pass is never answered
  ASSERT_TRUE(rig.Ready());
  rig.Discover();
  rig.ReadStatus("t", a);
  std::this_thread::sleep_for(20ms);
  const auto before = std::chrono::steady_clock::now();
  rig.master.Enable(false);
  ASSERT_TRUE(rig.log.WaitFor("t error: " + kPrefix + "master disabled before the exchange ended"));
  EXPECT_TRUE(
      rig.log.WaitFor("discovery error: " + kPrefix + "master disabled before the exchange ended"));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_EQ(rig.log.Threads().count(std::this_thread::get_id()), 0u);

  rig.ReadStatus("late", a);
  EXPECT_TRUE(rig.log.WaitFor("late error: " + kPrefix + "master is disabled"));
}

TEST(DS2480BThreads, ShutdownDoesNotWaitForASilentAdapter) {
  simserial::AdapterFaults silent;
  silent.silent = true;
  Rig rig(Emulated(Bench({}), silent), DS2480BTiming{10s, 0ms});
  rig.master.Enable(true);
  std::this_thread::sleep_for(20ms);
  const auto before = std::chrono::steady_clock::now();
  rig.master.Shutdown();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
}

TEST(DS2480BWire, SwitchesTheBaudRateAndFallsBackTo9600WhenTheAdapterDoesNotFollow) {
  const Device a = orvtest::MakeRom(0x14, 0x01);
  simserial::AdapterFaults fixed;
  fixed.fixedBaud = true;
  struct Case {
    unsigned requested;
    simserial::AdapterFaults faults;
    unsigned used;
    std::vector<std::string> notes;
  };
  const std::string stays = kPrefix + "the adapter does not answer at ";
  const std::vector<Case> cases = {
      {9600, {}, 9600, {}},
      {19200, {}, 19200, {}},
      {57600, {}, 57600, {}},
      {115200, {}, 115200, {}},
      {115200, fixed, 9600, {stays + "115200 baud; going on at 9600 baud"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.requested);
    auto port = Emulated(Bench({a}), c.faults);
    Rig rig(port);
    std::vector<std::string> notes;  // written on the master's thread before Ready
    ASSERT_TRUE(rig.master.SetBaudRate(
        c.requested, [&notes](const std::string& note) { notes.push_back(note); }));
    ASSERT_TRUE(rig.Ready());
    EXPECT_EQ(rig.master.GetBaudRate(), c.used);
    EXPECT_EQ(port->GetEmulator().Baud(), c.used);
    EXPECT_EQ(notes, c.notes);
    rig.ReadStatus("t", a);
    EXPECT_TRUE(rig.log.WaitFor("t finished"));
    rig.master.Shutdown();
  }
  DS2480BOneWireMaster master("unused", kFast);
  EXPECT_FALSE(master.SetBaudRate(38400));
}

// A listener that ends the master from inside its notification, on the
// master's own thread: Shutdown, and destroy it too when `destroy` is set.
struct EndingListener : AbstractOneWireMaster::Transaction::Listener {
  void Finished() override { End("finished"); }
  void Error(const std::string&) override { End("error"); }
  void End(const std::string& how) {
    (*master)->Shutdown();
    if (destroy) master->reset();
    log.Add("t " + how + ", master ended");
  }
  EventLog log;
  std::unique_ptr<DS2480BOneWireMaster>* master = nullptr;
  bool destroy = false;
};

TEST(DS2480BThreads, AListenerMayShutDownTheMasterAndDestroyItOnItsOwnThread) {
  const Device a = orvtest::MakeRom(0x14, 0x01);
  // A thread that destroyed its master ends by itself, once the listener
  // has returned: the listener and its log outlive the test, and the
  // process too (never destroyed, so the thread's last signal to the log
  // cannot meet the log's destructor at exit).
  static auto* const endings = new std::deque<EndingListener>;
  for (const bool destroyOnItsThread : {false, true}) {
    SCOPED_TRACE(destroyOnItsThread);
    EndingListener& ending = endings->emplace_back();
    EventLog& log = ending.log;
    auto master = std::make_unique<DS2480BOneWireMaster>(Emulated(Bench({a})), "emu", kFast);
    ending.master = &master;
    ending.destroy = destroyOnItsThread;
    master->AddListener(std::make_shared<orvtest::BusEvents>(log));
    master->Enable(true);
    ASSERT_TRUE(log.WaitFor("ready"));
    auto transaction = master->CreateTransaction(ending);
    transaction->AddOperation(std::make_shared<orvtest::OperationEvents>(
        log, "t", a, 0x66, std::vector<uint8_t>{0x00}, 1));
    transaction->Submit();
    ASSERT_TRUE(log.WaitFor("t finished, master ended"));
    // Destroyed here, on the host's thread, when the listener did not.
    master.reset();
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"ready", "t reply: FC", "t finished, master ended"}));
  }
}

#if !defined(_WIN32)

TEST(DS2480BFaults, AnAdapterThatGoesAwayMidExchangeEndsItAtOnce) {
  // The adapter takes the start-up packet and never answers; then it goes.
  simserial::AdapterFaults silent;
  silent.silent = true;
  auto server = std::make_unique<simserial::PtyServer>(
      std::make_unique<simserial::DS2480BEmulator>(Bench({}), silent));
  std::string error;
  const std::string path = server->Open(error);
  ASSERT_FALSE(path.empty()) << error;
  std::atomic<bool> stop{false};
  std::thread serving([&server, &stop] { server->Serve(stop); });

  EventLog log;
  // The wait for an answer would outlast the log's wait by far.
  DS2480BOneWireMaster master(path, DS2480BTiming{60s, 0ms});
  master.AddListener(std::make_shared<orvtest::BusEvents>(log));
  master.Enable(true);
  std::this_thread::sleep_for(200ms);
  stop = true;
  serving.join();
  server.reset();  // the terminal hangs up
  EXPECT_TRUE(log.WaitFor("error: DS2480B on " + path + ": the adapter went away (", 5s))
      << ::testing::PrintToString(log.Lines());
  EXPECT_TRUE(master.StartFailed());
  master.Shutdown();
}

#endif

TEST(DS2480BThreads, HostCallsRaceTheMastersThreadSafely) {
  const Device a = orvtest::MakeRom(0x14, 0x01);
  Rig rig(Emulated(Bench({a, orvtest::MakeRom(0x14, 0x02)})));
  for (int round = 0; round < 5; ++round) {
    rig.master.Enable(true);
    rig.Discover();
    rig.ReadStatus("r" + std::to_string(round), a);
    if (round % 2 == 0) std::this_thread::sleep_for(1ms);
    rig.master.Enable(false);
  }
  // Every transaction ended once, one way or the other.
  for (int round = 0; round < 5; ++round) {
    const std::string name = "r" + std::to_string(round) + " ";
    ASSERT_TRUE(rig.log.WaitForAny({name + "finished", name + "error"})) << name;
  }
  rig.master.Shutdown();
  std::size_t ends = 0;
  for (const std::string& line : rig.log.Lines()) {
    ends +=
        line.find(" finished") != std::string::npos || line.find(" error: ") != std::string::npos;
  }
  std::size_t discoveryErrors = 0;
  for (const std::string& line : rig.log.Lines())
    discoveryErrors += line.rfind("discovery error", 0) == 0;
  EXPECT_EQ(ends - discoveryErrors, 5u);
}

TEST(DS2480BThreads, AnInterfaceMayGoAtAnyPointOfAQuery) {
  const simdevice::Bench bench = orvtest::SensorBench({0, 1, 2});
  simdevice::ChannelConfig channel = bench.channels[0];
  for (const auto& other : {bench.channels[1], bench.channels[2]}) {
    channel.devices.push_back(other.devices[0]);
  }
  Rig rig(Emulated(channel));
  for (int run = 0; run < 20; ++run) {
    auto host = std::make_shared<orvtest::QueryHost>();
    auto teds = std::make_unique<TEDSInterface>(rig.master);
    teds->AddListener(host);
    teds->AddCycleListener(host);
    teds->Query();
    std::this_thread::sleep_for(std::chrono::microseconds(100 * run));
    // Every other run the interface goes while the master is held off.
    if (run % 2 == 0) {
      rig.master.Serialized([&] { teds.reset(); });
    } else {
      teds.reset();
    }
    if (run % 3 == 0) rig.master.Enable(false);
  }
  // After a disable, which ends what the last interface left running, the
  // master serves a new interface in full.
  rig.master.Enable(false);
  auto host = std::make_shared<orvtest::QueryHost>();
  TEDSInterface teds(rig.master);
  teds.AddListener(host);
  teds.AddCycleListener(host);
  teds.Query();
  ASSERT_TRUE(host->WaitCycles(1));
  EXPECT_EQ(host->Transducers().size(), 3u);
  rig.master.Shutdown();
}

// ---- Line noise and departures in a whole query ---------------------------

const std::string kRepeatedSearch = "Search pass repeated: ROM CRC-8 check failed (repeat ";

// A search pass whose ROM fails its CRC-8 check is run again, at most twice;
// after that the discovery fails with the check's text.
TEST(DS2480BSearch, PassFailingItsCrcIsRepeatedTwiceBeforeTheDiscoveryFails) {
  const Device rom = orvtest::MakeRom(0x14, 0x01);
  Device corrupted = rom;
  corrupted[7] = uint8_t(~corrupted[7]);
  const std::vector<uint8_t> pass = orvtest::Concat(
      {{0xC1, 0xE1, 0xF0, 0xE3, 0xB1, 0xE1}, std::vector<uint8_t>(16, 0x00), {0xE3, 0xA1}});
  for (int noisy = 1; noisy <= 3; ++noisy) {
    SCOPED_TRACE(noisy);
    auto port = std::make_shared<orvtest::ScriptedSerialPort>();
    port->ExpectBreak();
    port->Expect({0xC1}, {});
    port->Expect({0xC1, 0x17, 0x45, 0x5B, 0x0F, 0x91, 0xC1},
                 {0xCD, 0x16, 0x44, 0x5A, 0x00, 0x93, 0xCD});
    for (int i = 0; i < noisy; ++i)
      port->Expect(pass, orvtest::Concat({{0xCD, 0xF0}, Alone(corrupted)}));
    if (noisy <= 2) port->Expect(pass, orvtest::Concat({{0xCD, 0xF0}, Alone(rom)}));
    Rig rig(port);
    ASSERT_TRUE(rig.Ready());
    auto log = std::make_shared<orvtest::DiscoveryLog>(&rig.master);
    rig.master.Serialized([&] {
      rig.master.Discover(log);
      rig.Discover();  // joins, for the event log to wait on
    });
    ASSERT_TRUE(rig.log.WaitFor("discover", 2s));
    rig.master.Shutdown();
    std::vector<std::string> notes;
    for (int i = 1; i <= std::min(noisy, 2); ++i)
      notes.push_back(kRepeatedSearch + std::to_string(i) + " of 2)");
    EXPECT_EQ(log->notes, notes);
    if (noisy <= 2) {
      EXPECT_EQ(log->found, std::vector<std::vector<Device>>{{rom}});
      EXPECT_TRUE(log->errors.empty());
    } else {
      EXPECT_EQ(log->errors,
                std::vector<std::string>{kPrefix + "ROM " + corrupted.ToString() +
                                         " found by the search fails its CRC-8 check"});
    }
    EXPECT_EQ(port->Problems(), std::vector<std::string>{});
    EXPECT_EQ(port->Unused(), 0u);
  }
}

// One query's texts after the device report, and the transducers found.
struct QueryResult {
  std::vector<std::string> texts;
  std::vector<std::string> transducers;
};

QueryResult Query(QueryMaster master) {
  const orvtest::QueryRecord record = orvtest::RunQuery(std::move(master));
  EXPECT_EQ(record.outcome, TEDSQuery::Outcome::Ended);
  QueryResult result{record.texts, record.transducers};
  // The relay's ready report comes first; a serial adapter has none.
  const auto found =
      std::find_if(result.texts.begin(), result.texts.end(),
                   [](const std::string& t) { return t.rfind("Transducers Found:", 0) == 0; });
  result.texts.erase(result.texts.begin(), found == result.texts.end() ? found : found + 1);
  return result;
}

QueryResult OverTheAdapter(const simdevice::ChannelConfig& channel) {
  return Query(MakeDS2480BQueryMaster(
      std::make_unique<DS2480BOneWireMaster>(Emulated(channel), "emu", kFast)));
}

QueryResult OverTheRelay(const simdevice::Bench& bench) {
  simdevice::SimAttachment sim(simdevice::SimDevice::Create(bench));
  return Query(MakeZorelQueryMaster(std::make_unique<ZorelOneWireMaster>(
      bench.name, bench.address, bench.channels[0].channel, ZorelDAQTEDSMode(1),
      std::chrono::milliseconds(0))));
}

// A DS2430A read has no CRC: noise in a memory read shows only in the page
// checksum. The query reads that sensor again, on either master, and reports
// its true TEDS; noise that does not go away leaves the bad verdict.
TEST(DS2480BQuery, NoisyMemoryReadIsReadAgainOnBothMasters) {
  simdevice::Bench bench = orvtest::SensorBench(std::size_t{2});
  const std::vector<simdevice::BusDeviceConfig>& devices = bench.channels[0].devices;
  const std::string first = Device(devices[0].rom).ToString();
  const std::string second = Device(devices[1].rom).ToString();
  const auto repeat = [&second](int n) {
    return "Memory read repeated: " + second + " page checksum failed (repeat " +
           std::to_string(n) + " of 2)";
  };
  const std::string good = "Compile: GOOD CHECKSUM", bad = "Compile: BAD CHECKSUM";
  struct Case {
    uint32_t noisyReads;
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {0, {good, good}},
      {1, {repeat(1), good, good}},
      {3, {repeat(1), repeat(2), good, bad}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.noisyReads);
    simdevice::NoisyReads noisy;
    noisy.rom = devices[1].rom;
    noisy.count = c.noisyReads;
    bench.channels[0].faults.noisyReads = {noisy};
    for (const QueryResult& result : {OverTheAdapter(bench.channels[0]), OverTheRelay(bench)}) {
      EXPECT_EQ(result.texts, c.texts);
      EXPECT_EQ(result.transducers, (std::vector<std::string>{first, second}));
    }
  }
}

// A sensor that leaves the bus after the search gets its text; the others are
// compiled and reported.
TEST(DS2480BQuery, SensorLeavingDuringTheReadCostsOnlyItself) {
  simdevice::Bench bench = orvtest::SensorBench(std::size_t{3});
  simdevice::ChannelConfig& channel = bench.channels[0];
  const Device gone(channel.devices[1].rom);
  simdevice::DropOff drop;
  drop.rom = channel.devices[1].rom;
  drop.atReadPhase = true;
  channel.faults.dropOffs = {drop};
  const QueryResult result = OverTheAdapter(channel);
  EXPECT_EQ(result.texts,
            (std::vector<std::string>{"Compile: GOOD CHECKSUM", "Compile: GOOD CHECKSUM",
                                      "OneWire Memory Error:" + kPrefix + "device " +
                                          gone.ToString() + " left the bus during the read"}));
  EXPECT_EQ(result.transducers,
            (std::vector<std::string>{Device(channel.devices[0].rom).ToString(),
                                      Device(channel.devices[2].rom).ToString()}));
}

}  // namespace

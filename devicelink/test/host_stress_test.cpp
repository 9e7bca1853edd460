// A host driving the whole chain the ways hosts misuse it, against the
// simulated device with poll pause 0: every run must end, every sensor must
// reach its own master's host, the next query must succeed, and (under the
// sanitizers) nothing may race, touch freed memory or leak.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "devicelink/ZorelQueryMaster.h"
#include "orvane/OrvaneBackend.h"
#include "relay/RelayProtocol.h"
#include "simdevice/SimDevice.h"
#include "teds/TEDSInterface.h"
#include "testing/QueryHost.h"

namespace {

using namespace std::chrono_literals;
using orvtest::QueryHost;

// Counts the requests the device library takes on.
class RequestCounter : public orvane::TrafficObserver {
 public:
  void Observe(const orvane::TrafficEvent& event) override {
    if (!event.response) ++requests;
  }
  std::atomic<unsigned> requests{0};
};

class HostStress : public ::testing::Test {
 protected:
  HostStress() : sim(simdevice::SimDevice::Create(orvtest::SensorBench({0}))) {
    orvane::AddTrafficObserver(counter);
  }
  ~HostStress() override { orvane::RemoveTrafficObserver(counter); }

  std::unique_ptr<ZorelOneWireMaster> MakeMaster(unsigned channel = 0) {
    return std::make_unique<ZorelOneWireMaster>(L"SIM-DAQ", 1, channel, ZorelDAQTEDSMode(1), 0ms);
  }
  // A whole query on a new master and interface reports the channel's sensor.
  void ExpectHealthyQuery() {
    const orvtest::QueryRecord record = orvtest::RunQuery(MakeZorelQueryMaster(MakeMaster()));
    ASSERT_EQ(record.outcome, TEDSQuery::Outcome::Ended);
    EXPECT_EQ(std::vector<std::string>{orvtest::SensorRomText(0)}, record.transducers);
  }
  // Waits until `count` requests were taken on, or the query has ended.
  void WaitForRequests(unsigned count, QueryHost& host) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (counter->requests < count && host.Cycles() == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::yield();
    }
  }

  simdevice::SimAttachment sim;
  const std::shared_ptr<RequestCounter> counter = std::make_shared<RequestCounter>();
};

TEST_F(HostStress, InterfaceThenMasterDestroyedAtAnyPointOfAQuery) {
  std::mt19937 random(11);
  for (int cut = 0; cut < 100; ++cut) {
    const unsigned requests = counter->requests + random() % 14;
    auto master = MakeMaster();
    auto teds = std::make_unique<TEDSInterface>(*master);
    const auto host = std::make_shared<QueryHost>();
    teds->AddListener(host);
    teds->AddCycleListener(host);
    teds->Query();
    WaitForRequests(requests, *host);
    // Every other run destroys the interface inside Serialized, which the
    // interface allows as well.
    if (cut % 2 == 0) {
      teds.reset();
    } else {
      master->Serialized([&] { teds.reset(); });
    }
    master.reset();
    // Answers still on their way belong to nobody now; let them pass before
    // the next master of the device starts.
    ASSERT_TRUE(orvane::Flush());
  }
  ExpectHealthyQuery();
}

TEST_F(HostStress, InterfacesAndListenersAddedWhileAQueryRuns) {
  auto master = MakeMaster();
  TEDSInterface teds(*master);
  const auto host = std::make_shared<QueryHost>();
  const auto late = std::make_shared<QueryHost>();
  teds.AddListener(host);
  teds.AddCycleListener(host);
  teds.Query();
  for (int i = 0; host->Cycles() == 0 && i < 100000; ++i) {
    TEDSInterface passing(*master);
    passing.AddListener(late);
    if (i < 20) teds.AddListener(late);
    teds.AddCycleListener(late);
    EXPECT_GE(1u, teds.GetTransducers().size());
    (void)teds.IsCycleRunning();
    (void)master->IsReady();
  }
  ASSERT_TRUE(host->WaitCycles(1));
  EXPECT_EQ(std::vector<std::string>{orvtest::SensorRomText(0)}, host->Transducers());
  teds.Query();  // the next query reports again
  ASSERT_TRUE(host->WaitCycles(2));
  EXPECT_EQ(2u, host->Transducers().size());
}

TEST_F(HostStress, QueryFromInsideEveryCallbackStartsNoSecondCycleUntilTheEnd) {
  auto master = MakeMaster();
  TEDSInterface teds(*master);
  bool again = true;  // only the callback thread touches it
  const auto host = std::make_shared<QueryHost>([&](QueryHost::Call call, std::size_t) {
    if (!again) return;
    if (call == QueryHost::Call::CycleEnded) again = false;
    teds.Query();
  });
  teds.AddListener(host);
  teds.AddCycleListener(host);
  teds.Query();
  // The Query from the first cycle's end starts the second; nothing else does.
  ASSERT_TRUE(host->WaitCycles(2));
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(2u, host->Cycles());
  EXPECT_EQ(std::vector<std::string>(2, orvtest::SensorRomText(0)), host->Transducers());
}

TEST_F(HostStress, ListenerThrowingAtAnyCallbackEndsTheCycleAndTheNextQueryWorks) {
  // A healthy query makes five calls: three texts, one transducer, the end.
  for (std::size_t at = 0; at < 5; ++at) {
    SCOPED_TRACE("throws at call " + std::to_string(at));
    auto master = MakeMaster();
    TEDSInterface teds(*master);
    const auto host = std::make_shared<QueryHost>([at](QueryHost::Call, std::size_t index) {
      if (index == at) throw std::runtime_error("host fault");
    });
    teds.AddListener(host);
    teds.AddCycleListener(host);
    teds.Query();
    ASSERT_TRUE(host->WaitCycles(1));
    ASSERT_TRUE(orvane::Flush());  // the report of a throwing CycleEnded follows it
    EXPECT_FALSE(teds.IsCycleRunning());
    const std::vector<std::string> texts = host->Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ("Query cycle ended by an exception: host fault", texts.back());

    teds.Query();
    ASSERT_TRUE(host->WaitCycles(2));
    EXPECT_EQ(orvtest::SensorRomText(0), host->Transducers().back());
  }
}

TEST(HostStressChannels, EightMastersOnOneDeviceQueriedAtOnceEachReportItsOwnSensor) {
  std::vector<unsigned> all;
  for (unsigned c = 0; c < ZorelOneWireMaster::CHANNEL_COUNT; ++c) all.push_back(c);
  simdevice::SimAttachment sim(simdevice::SimDevice::Create(orvtest::SensorBench(all)));
  std::vector<std::unique_ptr<ZorelOneWireMaster>> masters;
  std::vector<std::unique_ptr<TEDSInterface>> interfaces;
  std::vector<std::shared_ptr<QueryHost>> hosts;
  for (unsigned c : all) {
    masters.push_back(
        std::make_unique<ZorelOneWireMaster>(L"SIM-DAQ", 1, c, ZorelDAQTEDSMode(1), 0ms));
    interfaces.push_back(std::make_unique<TEDSInterface>(*masters.back()));
    hosts.push_back(std::make_shared<QueryHost>());
    interfaces.back()->AddListener(hosts.back());
    interfaces.back()->AddCycleListener(hosts.back());
  }
  for (int round = 1; round <= 2; ++round) {
    for (auto& teds : interfaces) teds->Query();
    for (unsigned c : all) {
      ASSERT_TRUE(hosts[c]->WaitCycles(round));
      EXPECT_EQ(std::vector<std::string>(round, orvtest::SensorRomText(c)),
                hosts[c]->Transducers())
          << "channel " << c;
    }
    // One master leaving service mode does not take the others out of it.
    masters[0]->Enable(false);
  }
}

// A master, its interface and its host, queried as one.
struct Station {
  Station(unsigned channel, std::chrono::milliseconds pause = 0ms)
      : master(std::make_unique<ZorelOneWireMaster>(L"SIM-DAQ", 1, channel, ZorelDAQTEDSMode(1),
                                                    pause)),
        teds(std::make_unique<TEDSInterface>(*master)),
        host(std::make_shared<QueryHost>()) {
    teds->AddListener(host);
    teds->AddCycleListener(host);
  }
  std::unique_ptr<ZorelOneWireMaster> master;
  std::unique_ptr<TEDSInterface> teds;
  std::shared_ptr<QueryHost> host;
};

TEST(HostStressChannels, TwoOrThreeMastersOnOneChannelTakeTurnsAndEachReadsTheSensor) {
  simdevice::SimAttachment sim(simdevice::SimDevice::Create(orvtest::SensorBench({0})));
  for (std::size_t count : {2u, 3u}) {
    SCOPED_TRACE(std::to_string(count) + " masters");
    std::vector<std::unique_ptr<Station>> stations;
    for (std::size_t i = 0; i < count; ++i) stations.push_back(std::make_unique<Station>(0));
    for (auto& station : stations) station->teds->Query();
    // The first holds the channel while it stays enabled; the others wait,
    // sending nothing, and take it in turn once the holder is disabled.
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_TRUE(stations[i]->host->WaitCycles(1));
      ASSERT_TRUE(orvane::Flush());
      for (std::size_t later = i + 1; later < count; ++later) {
        EXPECT_EQ(0u, stations[later]->host->Cycles());
      }
      EXPECT_EQ(std::vector<std::string>{orvtest::SensorRomText(0)},
                stations[i]->host->Transducers());
      EXPECT_EQ(3u, stations[i]->host->Texts().size()) << stations[i]->host->Texts().back();
      stations[i]->master->Enable(false);
    }
  }
}

// Counts the requests the device library takes on.
class Requests : public orvane::TrafficObserver {
 public:
  void Observe(const orvane::TrafficEvent& event) override {
    if (!event.response) ++count;
  }
  std::atomic<unsigned> count{0};
};

TEST(HostStressChannels, AnswerDroppedByADetachWedgesNoLaterQueryOfTheDevice) {
  const auto device = simdevice::SimDevice::Create(orvtest::SensorBench({0, 1}));
  const auto requests = std::make_shared<Requests>();
  orvane::AddTrafficObserver(requests);
  Station neighbour(1);  // keeps the device's records alive throughout
  // The device is detached while it delays the answer to the query's k-th
  // request: that answer and the queued requests are dropped.
  for (unsigned k = 1; k <= 6; ++k) {
    SCOPED_TRACE("detached during request " + std::to_string(k));
    ASSERT_TRUE(device->Attach());
    device->SetResponseDelay(200ms);
    {
      Station cut(0);
      const unsigned before = requests->count;
      cut.teds->Query();
      const auto deadline = std::chrono::steady_clock::now() + 20s;
      while (requests->count < before + k && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      ASSERT_TRUE(device->Detach());
      cut.master->Enable(false);  // its query is over (it timed out)
      if (k % 2 == 0) {  // also gone before the next query
        cut.teds.reset();
        cut.master.reset();
      }
    }
    ASSERT_TRUE(device->Attach());
    device->SetResponseDelay(0ms);
    Station next(0);
    next.teds->Query();
    ASSERT_TRUE(next.host->WaitCycles(1, 10s));
    EXPECT_EQ(std::vector<std::string>{orvtest::SensorRomText(0)}, next.host->Transducers());
    neighbour.teds->Query();
    ASSERT_TRUE(neighbour.host->WaitCycles(k, 10s));
    EXPECT_EQ(orvtest::SensorRomText(1), neighbour.host->Transducers().back());
    neighbour.master->Enable(false);
    next.master->Enable(false);
    ASSERT_TRUE(orvane::Flush());
    ASSERT_TRUE(device->Detach());
  }
  orvane::RemoveTrafficObserver(requests);
}

// Where a query is cut short in the exchange of one block of relay commands:
// the block has gone out, the device has confirmed it (its read still due),
// or the read has gone out.
enum class Cut { BlockSent, BlockConfirmed, ReadSent };

// Tells when the query on channel 0 has reached the cut in its n-th block.
class CutPoint : public orvane::TrafficObserver {
 public:
  CutPoint(Cut cut, unsigned block) : cut(cut), block(block) {}
  void Observe(const orvane::TrafficEvent& event) override {
    const bool write = event.kind == orvane::TrafficKind::TEDSWrite;
    if (!write && event.kind != orvane::TrafficKind::TEDSRead) return;
    std::lock_guard<std::mutex> guard(mutex);
    if (reached) return;
    if (write && !event.response && !RelayProtocol::IsPollBlock(event.bytes) && ++blocks == block) {
      blockSequence = event.sequence;
    }
    if (blocks < block) return;
    switch (cut) {
      case Cut::BlockSent: reached = true; break;
      case Cut::BlockConfirmed: reached = write && event.response && event.sequence == blockSequence; break;
      case Cut::ReadSent: reached = !write && !event.response; break;
    }
    if (reached) changed.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> guard(mutex);
    return changed.wait_for(guard, 20s, [this] { return reached; });
  }

 private:
  const Cut cut;
  const unsigned block;
  std::mutex mutex;
  std::condition_variable changed;
  unsigned blocks = 0;
  uint64_t blockSequence = 0;
  bool reached = false;
};

// A query cut short leaves the relay's answer to its last block unread. The
// next query on the channel (the same master queried again after a stop, a
// new one after a destroy, or one waiting in line while the cut one ran into
// its time-out) must not take that answer for its own: it reports the sensor
// with the texts of a query that ran alone.
TEST(HostStressChannels, QueryCutShortAtAnyStepOfAnExchangeLeavesNoStaleAnswerToTheNext) {
  enum class Abandon { Stop, Destroy, TimeOut };
  const auto device = simdevice::SimDevice::Create(orvtest::SensorBench({0}));
  simdevice::SimAttachment sim(device);
  std::vector<std::string> alone;
  {
    Station reference(0);
    reference.teds->Query();
    ASSERT_TRUE(reference.host->WaitCycles(1));
    alone = reference.host->Texts();
    reference.master->Enable(false);
  }
  for (Abandon abandon : {Abandon::Stop, Abandon::Destroy, Abandon::TimeOut}) {
    for (Cut cut : {Cut::BlockSent, Cut::BlockConfirmed, Cut::ReadSent}) {
      for (unsigned block : {1u, 2u}) {  // the configuration, the first search
        SCOPED_TRACE("abandon " + std::to_string(static_cast<int>(abandon)) + ", cut " +
                     std::to_string(static_cast<int>(cut)) + ", block " + std::to_string(block));
        auto cutShort = std::make_unique<Station>(0, 10ms);
        std::unique_ptr<Station> next;
        // Slow answers and a poll pause give each step a moment to be cut in.
        const auto cutQuery = [&] {
          device->SetResponseDelay(10ms);
          const auto point = std::make_shared<CutPoint>(cut, block);
          orvane::AddTrafficObserver(point);
          cutShort->teds->Query();
          if (abandon == Abandon::TimeOut) {
            next = std::make_unique<Station>(0);
            next->teds->Query();  // waits in line for the channel
          }
          const bool reached = point->Wait();
          device->SetResponseDelay(0ms);
          orvane::RemoveTrafficObserver(point);
          return reached;
        };
        ASSERT_TRUE(cutQuery());
        if (abandon == Abandon::Stop) {
          // Once more on the same master: its query reads the first stale
          // answer away and is cut short in the same place.
          cutShort->master->Enable(false);
          ASSERT_TRUE(orvane::Flush());
          ASSERT_FALSE(cutShort->teds->IsCycleRunning());
          ASSERT_TRUE(cutQuery());
        }
        switch (abandon) {
          case Abandon::Stop:
            cutShort->master->Enable(false);
            ASSERT_TRUE(orvane::Flush());
            ASSERT_FALSE(cutShort->teds->IsCycleRunning());
            next = std::move(cutShort);
            next->host = std::make_shared<QueryHost>();
            next->teds->AddListener(next->host);
            next->teds->AddCycleListener(next->host);
            next->teds->Query();
            break;
          case Abandon::Destroy:
            cutShort.reset();
            next = std::make_unique<Station>(0);
            next->teds->Query();
            break;
          case Abandon::TimeOut:
            cutShort->master->Enable(false);  // as a run's time-out does
            break;
        }
        ASSERT_TRUE(next->host->WaitCycles(1, 10s));
        EXPECT_EQ(std::vector<std::string>{orvtest::SensorRomText(0)}, next->host->Transducers());
        EXPECT_EQ(alone, next->host->Texts());
        next->master->Enable(false);
        next.reset();
        cutShort.reset();
        ASSERT_TRUE(orvane::Flush());
      }
    }
  }
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "orvane/Orvane.h"
#include "orvane/OrvaneBackend.h"

// The delivery rules: answers on the library's own thread, in request order,
// never from inside SendCommand; nothing reaches a removed listener, observer
// or device. Every test uses its own device name, since the library is one
// per process.

namespace {

using namespace std::chrono_literals;

OrvaneCommands Write(uint8_t tag) {
  return OrvaneCommands(
      std::make_shared<GCCCommandZorelTEDSWriteRequest>(uint8_t{1}, std::vector<uint8_t>{tag}));
}

uint8_t TagOf(const OrvaneCommands& entry) {
  auto* read = dynamic_cast<GCCCommandZorelTEDSReadResponse*>(entry.GetCommand().get());
  return read != nullptr && !read->GetData().empty() ? read->GetData()[0] : 0;
}

// Answers each write with one read response carrying the written bytes.
class EchoBackend : public orvane::DeviceBackend {
 public:
  std::function<void()> onRequest;  // runs inside HandleRequest

  std::vector<OrvaneCommands> HandleRequest(const std::wstring&, unsigned int,
                                            const OrvaneCommands& request) override {
    handled++;
    if (onRequest) onRequest();
    auto* write = dynamic_cast<GCCCommandZorelTEDSWriteRequest*>(request.GetCommand().get());
    if (write == nullptr) return {};
    return {OrvaneCommands(std::make_shared<GCCCommandZorelTEDSReadResponse>(
        write->GetChannelMask(), write->GetData()))};
  }
  std::atomic<int> handled{0};
};

struct Delivery {
  std::thread::id thread;
  unsigned int address;
  uint64_t sequence;
  uint8_t tag;
};

class RecordingListener : public orvane::StreamListener {
 public:
  std::function<void(const Delivery&)> onDelivery;  // runs inside the callback

  void ReceivedCommands(const std::wstring&, unsigned int address, uint64_t sequence,
                        const std::shared_ptr<std::vector<OrvaneCommands>>& commands) override {
    Delivery d{std::this_thread::get_id(), address, sequence,
               commands && !commands->empty() ? TagOf(commands->front()) : uint8_t{0}};
    if (onDelivery) onDelivery(d);
    std::lock_guard<std::mutex> lock(mutex);
    deliveries.push_back(d);
    cv.notify_all();
  }

  std::vector<Delivery> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return deliveries;
  }

  bool WaitFor(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, 10s, [&] { return deliveries.size() >= count; });
  }

 private:
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Delivery> deliveries;
};

// A one-shot signal between threads.
class Latch {
 public:
  void Set() {
    std::lock_guard<std::mutex> lock(mutex);
    set = true;
    cv.notify_all();
  }
  bool Wait(std::chrono::milliseconds timeout = 10s) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, timeout, [&] { return set; });
  }
  bool IsSet() {
    std::lock_guard<std::mutex> lock(mutex);
    return set;
  }

 private:
  std::mutex mutex;
  std::condition_variable cv;
  bool set = false;
};

// A device and a listener under one name, removed at the end of the test.
struct Bench {
  explicit Bench(const std::wstring& name, unsigned int address = 1)
      : name(name), address(address) {
    EXPECT_TRUE(orvane::AttachDevice(name, address, backend));
    orvane::ConnectionAddListener(listener, name);
  }
  ~Bench() {
    orvane::ConnectionRemoveListener(listener, name);
    orvane::DetachDevice(name, address);
  }
  std::wstring name;
  unsigned int address;
  std::shared_ptr<EchoBackend> backend = std::make_shared<EchoBackend>();
  std::shared_ptr<RecordingListener> listener = std::make_shared<RecordingListener>();
};

TEST(Delivery, AnswersArriveOnTheLibraryThreadInRequestOrder) {
  Bench bench(L"order");
  for (int i = 1; i <= 100; ++i) ASSERT_TRUE(orvane::SendCommand(L"order", Write(i), 1));
  ASSERT_TRUE(bench.listener->WaitFor(100));
  const auto deliveries = bench.listener->Get();
  ASSERT_EQ(deliveries.size(), 100u);
  for (std::size_t i = 0; i < deliveries.size(); ++i) {
    EXPECT_EQ(deliveries[i].tag, i + 1);
    EXPECT_EQ(deliveries[i].address, 1u);
    EXPECT_NE(deliveries[i].thread, std::this_thread::get_id());
    EXPECT_EQ(deliveries[i].thread, deliveries[0].thread);
    if (i > 0) {
      EXPECT_GT(deliveries[i].sequence, deliveries[i - 1].sequence);
    }
  }
}

TEST(Delivery, ConcurrentSendersKeepTheirOwnOrder) {
  Bench bench(L"senders");
  auto sender = [](uint8_t first) {
    for (uint8_t i = 0; i < 50; ++i) orvane::SendCommand(L"senders", Write(first + i), 1);
  };
  std::thread a(sender, 1);
  std::thread b(sender, 101);
  a.join();
  b.join();
  ASSERT_TRUE(bench.listener->WaitFor(100));
  uint8_t lastA = 0, lastB = 100;
  uint64_t lastSequence = 0;
  for (const Delivery& d : bench.listener->Get()) {
    uint8_t& last = d.tag <= 100 ? lastA : lastB;
    EXPECT_EQ(d.tag, last + 1);
    last = d.tag;
    EXPECT_GT(d.sequence, lastSequence);
    lastSequence = d.sequence;
  }
}

TEST(Delivery, NeverFromInsideSendCommand) {
  Bench bench(L"nested");
  // From the host: the device is asked only after SendCommand has returned
  // (a synchronous library would wait here for ten seconds and fail).
  Latch sendReturned;
  std::atomic<bool> askedAfterReturn{false};
  bench.backend->onRequest = [&] { askedAfterReturn = sendReturned.Wait(); };
  ASSERT_TRUE(orvane::SendCommand(L"nested", Write(1), 1));
  sendReturned.Set();
  ASSERT_TRUE(bench.listener->WaitFor(1));
  EXPECT_TRUE(askedAfterReturn);
  bench.backend->onRequest = nullptr;

  // From a callback: the answer comes after the callback has returned.
  std::atomic<bool> inCallback{false};
  std::atomic<bool> nestedSeenInsideCallback{false};
  std::atomic<bool> sentFromCallback{false};
  bench.listener->onDelivery = [&](const Delivery& d) {
    if (inCallback) nestedSeenInsideCallback = true;
    if (d.tag != 2) return;
    inCallback = true;
    sentFromCallback = orvane::SendCommand(L"nested", Write(3), 1);
    inCallback = false;
  };
  ASSERT_TRUE(orvane::SendCommand(L"nested", Write(2), 1));
  ASSERT_TRUE(bench.listener->WaitFor(3));
  EXPECT_TRUE(sentFromCallback);
  EXPECT_FALSE(nestedSeenInsideCallback);
}

TEST(Delivery, UnknownDeviceOrAddressGetsFalseAndNothing) {
  Bench bench(L"known", 5);
  EXPECT_FALSE(orvane::SendCommand(L"unknown", Write(1), 5));
  EXPECT_FALSE(orvane::SendCommand(L"known", Write(1), 6));
  EXPECT_FALSE(orvane::SendCommand(L"Known", Write(1), 5));
  EXPECT_TRUE(orvane::SendCommand(L"known", Write(7), 5));
  ASSERT_TRUE(orvane::Flush());
  const auto deliveries = bench.listener->Get();
  ASSERT_EQ(deliveries.size(), 1u);
  EXPECT_EQ(deliveries[0].tag, 7);
  EXPECT_EQ(bench.backend->handled, 1);
}

TEST(Delivery, ListenersHearOnlyTheirDeviceName) {
  Bench a(L"name-a");
  Bench b(L"name-b");
  auto both = std::make_shared<RecordingListener>();
  orvane::ConnectionAddListener(both, L"name-a");
  orvane::ConnectionAddListener(both, L"name-a");  // a second registration changes nothing
  orvane::ConnectionAddListener(both, L"name-b");
  orvane::SendCommand(L"name-a", Write(1), 1);
  orvane::SendCommand(L"name-b", Write(2), 1);
  ASSERT_TRUE(orvane::Flush());
  ASSERT_EQ(a.listener->Get().size(), 1u);
  EXPECT_EQ(a.listener->Get()[0].tag, 1);
  ASSERT_EQ(b.listener->Get().size(), 1u);
  EXPECT_EQ(b.listener->Get()[0].tag, 2);
  EXPECT_EQ(both->Get().size(), 2u);
  orvane::ConnectionRemoveListener(both, L"name-a");
  orvane::ConnectionRemoveListener(both, L"name-b");
}

TEST(Delivery, RemovalWaitsForTheRunningCallbackAndStopsDelivery) {
  Bench bench(L"remove-wait");
  Latch entered, release, removeReturned;
  std::atomic<bool> callbackFinished{false};
  bench.listener->onDelivery = [&](const Delivery&) {
    entered.Set();
    release.Wait();
    callbackFinished = true;
  };
  ASSERT_TRUE(orvane::SendCommand(L"remove-wait", Write(1), 1));
  ASSERT_TRUE(entered.Wait());

  std::atomic<bool> finishedWhenRemoved{false};
  std::thread remover([&] {
    orvane::ConnectionRemoveListener(bench.listener, L"remove-wait");
    finishedWhenRemoved = callbackFinished.load();
    removeReturned.Set();
  });
  // While the callback is held, removal must not return.
  EXPECT_FALSE(removeReturned.Wait(50ms));
  release.Set();
  remover.join();
  EXPECT_TRUE(finishedWhenRemoved);

  orvane::SendCommand(L"remove-wait", Write(2), 1);
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(bench.listener->Get().size(), 1u);
}

TEST(Delivery, RemovalFromInsideTheCallbackDoesNotDeadlock) {
  Bench bench(L"remove-self");
  auto second = std::make_shared<RecordingListener>();
  orvane::ConnectionAddListener(second, L"remove-self");
  // The first listener removes itself and the second one from its callback;
  // neither may be called again, not even for the response being delivered.
  bench.listener->onDelivery = [&](const Delivery&) {
    orvane::ConnectionRemoveListener(bench.listener, L"remove-self");
    orvane::ConnectionRemoveListener(second, L"remove-self");
  };
  orvane::SendCommand(L"remove-self", Write(1), 1);
  orvane::SendCommand(L"remove-self", Write(2), 1);
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(bench.listener->Get().size(), 1u);
  EXPECT_TRUE(second->Get().empty());
}

TEST(Delivery, ThrowingListenerDoesNotStopTheLibrary) {
  Bench bench(L"throwing");
  auto thrower = std::make_shared<RecordingListener>();
  thrower->onDelivery = [](const Delivery&) { throw std::runtime_error("listener fault"); };
  orvane::ConnectionAddListener(thrower, L"throwing");
  orvane::SendCommand(L"throwing", Write(1), 1);
  orvane::SendCommand(L"throwing", Write(2), 1);
  ASSERT_TRUE(bench.listener->WaitFor(2));
  orvane::ConnectionRemoveListener(thrower, L"throwing");
}

TEST(Delivery, DetachDropsQueuedRequestsAndWaitsForTheRunningOne) {
  auto backend = std::make_shared<EchoBackend>();
  auto listener = std::make_shared<RecordingListener>();
  ASSERT_TRUE(orvane::AttachDevice(L"detach", 1, backend));
  EXPECT_FALSE(orvane::AttachDevice(L"detach", 1, std::make_shared<EchoBackend>()));
  orvane::ConnectionAddListener(listener, L"detach");
  Latch entered, release, detached;
  backend->onRequest = [&] {
    entered.Set();
    release.Wait();
  };
  orvane::SendCommand(L"detach", Write(1), 1);
  orvane::SendCommand(L"detach", Write(2), 1);
  ASSERT_TRUE(entered.Wait());
  std::thread detacher([&] {
    EXPECT_TRUE(orvane::DetachDevice(L"detach", 1));
    detached.Set();
  });
  EXPECT_FALSE(detached.Wait(50ms));
  release.Set();
  detacher.join();
  ASSERT_TRUE(orvane::Flush());
  // The answer of the running request and the queued request are dropped.
  EXPECT_EQ(backend->handled, 1);
  EXPECT_TRUE(listener->Get().empty());
  EXPECT_FALSE(orvane::SendCommand(L"detach", Write(3), 1));
  EXPECT_FALSE(orvane::DetachDevice(L"detach", 1));
  orvane::ConnectionRemoveListener(listener, L"detach");
}

TEST(Delivery, DetachFromInsideTheBackend) {
  auto backend = std::make_shared<EchoBackend>();
  backend->onRequest = [] { orvane::DetachDevice(L"detach-self", 1); };
  ASSERT_TRUE(orvane::AttachDevice(L"detach-self", 1, backend));
  orvane::SendCommand(L"detach-self", Write(1), 1);
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(backend->handled, 1);
  EXPECT_FALSE(orvane::SendCommand(L"detach-self", Write(2), 1));
}

class RecordingObserver : public orvane::TrafficObserver {
 public:
  void Observe(const orvane::TrafficEvent& event) override {
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back(event);
  }
  std::vector<orvane::TrafficEvent> Get() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }

 private:
  std::mutex mutex;
  std::vector<orvane::TrafficEvent> events;
};

TEST(Delivery, ObserverSeesEachRequestBeforeItsResponses) {
  Bench bench(L"observed", 3);
  auto observer = std::make_shared<RecordingObserver>();
  orvane::AddTrafficObserver(observer);
  orvane::SendCommand(L"observed", Write(0x42), 3);
  orvane::SendCommand(
      L"observed",
      OrvaneCommands(std::make_shared<ServiceSetOperatingModeRequest>(ServiceOperatingMode::TEDS)),
      3);
  ASSERT_TRUE(orvane::Flush());
  orvane::RemoveTrafficObserver(observer);
  orvane::SendCommand(L"observed", Write(0x43), 3);
  ASSERT_TRUE(orvane::Flush());

  std::vector<orvane::TrafficEvent> events;
  for (const auto& e : observer->Get()) {
    if (e.device == L"observed") events.push_back(e);
  }
  // Write request, its read response, then the service request (no answer).
  ASSERT_EQ(events.size(), 3u);
  EXPECT_FALSE(events[0].response);
  EXPECT_EQ(events[0].kind, orvane::TrafficKind::TEDSWrite);
  EXPECT_EQ(events[0].bytes, std::vector<uint8_t>{0x42});
  EXPECT_EQ(events[0].address, 3u);
  EXPECT_TRUE(events[1].response);
  EXPECT_EQ(events[1].kind, orvane::TrafficKind::TEDSRead);
  EXPECT_EQ(events[1].sequence, events[0].sequence);
  EXPECT_EQ(events[1].bytes, std::vector<uint8_t>{0x42});
  EXPECT_EQ(events[2].kind, orvane::TrafficKind::ServiceMode);
  EXPECT_EQ(events[2].mode, 4);
}

TEST(Delivery, FlushOnTheCallbackThreadRefusesToWaitForItself) {
  Bench bench(L"flush");
  std::atomic<int> flushResult{-1};
  bench.listener->onDelivery = [&](const Delivery&) { flushResult = orvane::Flush(1s) ? 1 : 0; };
  orvane::SendCommand(L"flush", Write(1), 1);
  ASSERT_TRUE(bench.listener->WaitFor(1));
  EXPECT_EQ(flushResult, 0);
}

}  // namespace

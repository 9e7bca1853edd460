#include "simdevice/SimDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "orvane/Orvane.h"
#include "orvane/OrvaneBackend.h"

// The simulated device behind the device library, driven by requests as the
// device-link master sends them and answered on the library's thread.

namespace simdevice {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const Bytes kConfigBlock = {0x84, 0x05, 0x00, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x85};

class Collector : public orvane::StreamListener {
 public:
  void ReceivedCommands(const std::wstring&, unsigned int, uint64_t,
                        const std::shared_ptr<std::vector<OrvaneCommands>>& commands) override {
    std::lock_guard<std::mutex> lock(mutex);
    for (const OrvaneCommands& entry : *commands) received.push_back(entry.GetCommand());
    cv.notify_all();
  }
  // The next response, waiting for it if needed.
  std::shared_ptr<OrvaneCommand> Next() {
    std::unique_lock<std::mutex> lock(mutex);
    if (!cv.wait_for(lock, 10s, [&] { return taken < received.size(); })) return nullptr;
    return received[taken++];
  }
  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex);
    return received.size();
  }

 private:
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::shared_ptr<OrvaneCommand>> received;
  std::size_t taken = 0;
};

// A simulated device attached under a name of its own, with a listener.
class Rig {
 public:
  explicit Rig(Bench bench, const std::wstring& name) {
    bench.name = name;
    device = SimDevice::Create(bench);
    attachment = std::make_unique<SimAttachment>(device);
    EXPECT_TRUE(attachment->IsAttached());
    orvane::ConnectionAddListener(collector, name);
  }
  ~Rig() {
    orvane::ConnectionRemoveListener(collector, device->GetName());
    attachment.reset();
  }

  template <typename Response>
  std::shared_ptr<Response> Ask(OrvaneCommand* request) {
    EXPECT_TRUE(orvane::SendCommand(device->GetName(),
                                    OrvaneCommands(std::shared_ptr<OrvaneCommand>(request)),
                                    device->GetAddress()));
    auto response = std::dynamic_pointer_cast<Response>(collector->Next());
    EXPECT_NE(response, nullptr);
    return response;
  }
  bool ServiceMode(ServiceOperatingMode mode) {
    auto r = Ask<ServiceSetOperatingModeResponse>(new ServiceSetOperatingModeRequest(mode));
    return r && r->GetSuccess();
  }
  bool SetMode(uint8_t mask, ZorelDAQTEDSMode mode = ZorelDAQTEDSMode::Class1) {
    auto r =
        Ask<GCCCommandZorelTEDSSetModeResponse>(new GCCCommandZorelTEDSSetModeRequest(mask, mode));
    return r && r->GetSuccess() && r->GetChannelMask() == mask;
  }
  bool Write(uint8_t mask, const Bytes& data) {
    auto r = Ask<GCCCommandZorelTEDSWriteResponse>(new GCCCommandZorelTEDSWriteRequest(mask, data));
    return r && r->GetSuccess();
  }
  std::shared_ptr<GCCCommandZorelTEDSReadResponse> Read(uint8_t mask) {
    return Ask<GCCCommandZorelTEDSReadResponse>(new GCCCommandZorelTEDSReadRequest(mask));
  }
  void Handshake(uint8_t mask) {
    EXPECT_TRUE(SetMode(mask));
    EXPECT_TRUE(ServiceMode(ServiceOperatingMode::TEDS));
  }

  std::shared_ptr<SimDevice> device;
  std::shared_ptr<Collector> collector = std::make_shared<Collector>();

 private:
  std::unique_ptr<SimAttachment> attachment;
};

Bench TwoRelays() {
  Bench bench = DefaultBench();
  ChannelConfig second;
  second.channel = 3;
  second.relay.protocol = "P3";
  bench.channels.push_back(second);
  return bench;
}

TEST(SimDevice, HandshakeThenRelayRoundTrip) {
  Rig rig(DefaultBench(), L"sim-roundtrip");
  // No TEDS traffic before the channel's mode and the service mode are set.
  EXPECT_FALSE(rig.Write(0x01, kConfigBlock));
  EXPECT_FALSE(rig.Read(0x01)->GetSuccess());
  EXPECT_TRUE(rig.SetMode(0x01));
  EXPECT_EQ(rig.device->GetTEDSMode(0), ZorelDAQTEDSMode::Class1);
  EXPECT_FALSE(rig.Write(0x01, kConfigBlock));
  EXPECT_TRUE(rig.ServiceMode(ServiceOperatingMode::TEDS));
  EXPECT_EQ(rig.device->GetOperatingMode(), ServiceOperatingMode::TEDS);

  EXPECT_TRUE(rig.Write(0x01, kConfigBlock));
  auto answer = rig.Read(0x01);
  ASSERT_NE(answer, nullptr);
  EXPECT_TRUE(answer->GetSuccess());
  ASSERT_GE(answer->GetData().size(), 5u);
  EXPECT_EQ(Bytes(answer->GetData().begin(), answer->GetData().begin() + 5),
            (Bytes{0x84, 0x00, 0x05, 0x01, 0xFF}));
  EXPECT_TRUE(rig.Read(0x01)->GetData().empty());  // nothing pending any more

  // Leaving service mode stops the traffic again.
  EXPECT_TRUE(rig.ServiceMode(ServiceOperatingMode::Normal));
  EXPECT_FALSE(rig.Write(0x01, kConfigBlock));
}

TEST(SimDevice, ReadsTheDefaultSensorThroughTheRelay) {
  Rig rig(DefaultBench(), L"sim-sensor");
  rig.Handshake(0x01);
  const Bytes transaction = {0x00, 0x08, 0x14, 0x3A, 0x7F, 0x1B, 0x05, 0x00, 0x00,
                             0xB6, 0x82, 0x0A, 0x03, 0x22, 0xF0, 0x00, 0x85};
  ASSERT_TRUE(rig.Write(0x01, transaction));
  const Bytes data = rig.Read(0x01)->GetData();
  ASSERT_EQ(data.size(), 10u + 2 + 2 + 34);
  EXPECT_EQ(data[10], 0x82);
  EXPECT_EQ(data[11], 0x00);
  EXPECT_EQ(data[14], 0xF0);
  EXPECT_EQ(data[16], 0x6F);  // memory byte 0: the page checksum
  EXPECT_EQ(data[17], 0x64);
}

TEST(SimDevice, WritesGoToEverySelectedRelayReadsToOne) {
  Rig rig(TwoRelays(), L"sim-channels");
  rig.Handshake(0x09);
  ASSERT_TRUE(rig.Write(0x09, {0x07, 0x00, 0x85}));
  EXPECT_EQ(rig.Read(0x09)->GetData(),
            (Bytes{0x07, 0x0D, '1', 'W', '-', 'R', 'E', 'L', 'A', 'Y', ' ', '1', '.', '0', 0x00}));
  EXPECT_EQ(rig.Read(0x08)->GetData(), (Bytes{0x07, 0x03, 'P', '3', 0x00}));

  // A channel in TEDS mode without a relay swallows the bytes.
  EXPECT_TRUE(rig.SetMode(0x20));
  EXPECT_TRUE(rig.Write(0x20, kConfigBlock));
  auto nothing = rig.Read(0x20);
  EXPECT_TRUE(nothing->GetSuccess());
  EXPECT_TRUE(nothing->GetData().empty());

  // No channel selected, an unknown mode: refused.
  EXPECT_FALSE(rig.Write(0x00, kConfigBlock));
  auto r = rig.Ask<GCCCommandZorelTEDSSetModeResponse>(
      new GCCCommandZorelTEDSSetModeRequest(0x01, ZorelDAQTEDSMode(9)));
  EXPECT_FALSE(r->GetSuccess());
  EXPECT_EQ(rig.device->GetTEDSMode(0), ZorelDAQTEDSMode::Class1);
}

TEST(SimDevice, RefusalFaults) {
  Bench bench = TwoRelays();
  bench.refuseServiceMode = true;
  bench.channels[0].refuseWrites = true;
  bench.channels[0].writesBeforeRefusal = 1;
  bench.channels[1].refuseSetMode = true;
  bench.checkModes = false;
  Rig rig(bench, L"sim-refusals");
  EXPECT_FALSE(rig.ServiceMode(ServiceOperatingMode::TEDS));
  EXPECT_EQ(rig.device->GetOperatingMode(), ServiceOperatingMode::Normal);
  EXPECT_FALSE(rig.SetMode(0x08));
  EXPECT_FALSE(rig.SetMode(0x09));  // one refusing channel fails the whole request
  EXPECT_EQ(rig.device->GetTEDSMode(0), ZorelDAQTEDSMode::Off);
  // Without the mode checks traffic flows; the second write is refused.
  EXPECT_TRUE(rig.Write(0x01, kConfigBlock));
  EXPECT_FALSE(rig.Write(0x01, kConfigBlock));
  EXPECT_TRUE(rig.Write(0x08, kConfigBlock));
}

TEST(SimDevice, NonRequestsGetNoAnswer) {
  Rig rig(DefaultBench(), L"sim-ignored");
  const std::wstring& name = rig.device->GetName();
  orvane::SendCommand(
      name, OrvaneCommands(std::make_shared<GCCCommandZorelTEDSWriteResponse>(1, true)), 1);
  orvane::SendCommand(name, OrvaneCommands(std::make_shared<GCCCommand>(false)), 1);
  orvane::SendCommand(name, OrvaneCommands(), 1);
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(rig.collector->Count(), 0u);
}

TEST(SimDevice, ResponseDelayGoesThroughTheInjectedSleeper) {
  Rig rig(DefaultBench(), L"sim-delay");
  std::mutex mutex;
  std::vector<std::chrono::milliseconds> waits;
  rig.device->SetSleeper([&](std::chrono::milliseconds d) {
    std::lock_guard<std::mutex> lock(mutex);
    waits.push_back(d);
  });
  EXPECT_TRUE(rig.SetMode(0x01));  // no delay by default
  rig.device->SetResponseDelay(250ms);
  EXPECT_TRUE(rig.ServiceMode(ServiceOperatingMode::TEDS));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(waits, std::vector<std::chrono::milliseconds>{250ms});
}

TEST(SimDevice, DetachCutsAResponseDelayShortAndDropsItsAnswer) {
  // A host that gives up on a slow device must not wait for its answer.
  auto device = SimDevice::Create(DefaultBench());
  ASSERT_TRUE(device->Attach());
  auto collector = std::make_shared<Collector>();
  orvane::ConnectionAddListener(collector, device->GetName());
  device->SetResponseDelay(std::chrono::hours(1));
  ASSERT_TRUE(orvane::SendCommand(
      device->GetName(),
      OrvaneCommands(std::make_shared<ServiceSetOperatingModeRequest>(ServiceOperatingMode::TEDS)),
      device->GetAddress()));
  EXPECT_FALSE(orvane::Flush(20ms));  // the device is waiting
  EXPECT_TRUE(device->Detach());      // returns at once instead of after the hour
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(collector->Count(), 0u);
  orvane::ConnectionRemoveListener(collector, device->GetName());
}

TEST(SimDevice, ConcurrentSendersAndInspection) {
  // A poll thread and the callback thread send at once while the host looks
  // at the device, as with the device-link master.
  Rig rig(DefaultBench(), L"sim-concurrent");
  rig.Handshake(0x01);
  const std::wstring name = rig.device->GetName();
  std::thread poller([&] {
    for (int i = 0; i < 50; ++i) {
      orvane::SendCommand(
          name, OrvaneCommands(std::make_shared<GCCCommandZorelTEDSReadRequest>(uint8_t{1})), 1);
    }
  });
  for (int i = 0; i < 50; ++i) {
    orvane::SendCommand(name,
                        OrvaneCommands(std::make_shared<GCCCommandZorelTEDSWriteRequest>(
                            uint8_t{1}, Bytes{0x84, 0x85})),
                        1);
    EXPECT_EQ(rig.device->GetOperatingMode(), ServiceOperatingMode::TEDS);
  }
  poller.join();
  ASSERT_TRUE(orvane::Flush());
  EXPECT_EQ(rig.collector->Count(), 2u + 100u);  // the handshake, then one answer each
  std::size_t left = 0;
  rig.device->WithRelay(0, [&](RelayEmulator& relay) { left = relay.GetPendingSize(); });
  EXPECT_EQ(left % 2, 0u);  // whole 84 00 answers only
}

}  // namespace
}  // namespace simdevice

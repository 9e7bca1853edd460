// The pseudo-terminal server: the rate each byte was written at, and the
// host's break, as a real line carries them, however late the server reads.
#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#include "simserial/PtyServer.h"
#include "testing/Roms.h"
#include "testing/ScriptedSerialPort.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One step of the host. While the server is paused, what the host writes
// waits unread, as it does for a server the machine is too busy to run.
struct Step {
  enum Op { Write, Baud, Break, Discard, Pause, Serve, Expect } op;
  Bytes bytes;        // Write: sent; Expect: the answer awaited
  unsigned baud = 0;  // Baud: the host port's new rate
};
Step W(Bytes bytes) { return {Step::Write, std::move(bytes)}; }
Step Rate(unsigned baud) { return {Step::Baud, {}, baud}; }
Step E(Bytes answer) { return {Step::Expect, std::move(answer)}; }
const Step kBreak{Step::Break, {}};
const Step kDiscard{Step::Discard, {}};
const Step kPause{Step::Pause, {}};
const Step kServe{Step::Serve, {}};

class Served {
 public:
  explicit Served(simserial::AdapterFaults faults) {
    simdevice::ChannelConfig channel;
    simdevice::BusDeviceConfig device;
    device.rom = orvtest::WithCrc({0x14, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    channel.devices.push_back(device);
    server = std::make_unique<simserial::PtyServer>(
        std::make_unique<simserial::DS2480BEmulator>(channel, faults));
    std::string path;
    const Status opened = server->Open(path);
    EXPECT_TRUE(opened) << opened.Why();
    Serve();
    const Status hosted = OpenSerialPort(path, host);
    EXPECT_TRUE(hosted) << hosted.Why();
  }
  ~Served() { Pause(); }
  void Serve() {
    if (!thread.joinable()) thread = std::thread([this] { server->Serve(stop); });
  }
  void Pause() {
    if (!thread.joinable()) return;
    stop = true;
    thread.join();
    stop = false;
  }
  // What arrives: as many bytes as awaited, then nothing more for a while.
  Bytes Read(std::size_t count) {
    Bytes got(count + 1);
    std::size_t n = 0;
    std::size_t r = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (n < count && std::chrono::steady_clock::now() < deadline) {
      if (!host->Read(got.data() + n, got.size() - n, std::chrono::milliseconds(50), r)) break;
      n += r;
    }
    if (host->Read(got.data() + n, got.size() - n, std::chrono::milliseconds(150), r)) n += r;
    got.resize(n);
    return got;
  }

  std::unique_ptr<simserial::PtyServer> server;
  std::unique_ptr<SerialPort> host;

 private:
  std::atomic<bool> stop{false};
  std::thread thread;
};

TEST(PtyServer, TakesEachByteAtTheRateInForceWhenTheHostWroteIt) {
  simserial::AdapterFaults fixed;
  fixed.fixedBaud = true;
  // The start: timing byte, then a reset answered with a presence pulse.
  const Bytes start{0xC1, 0xC1};
  const Bytes presence{0xCD};
  struct Case {
    const char* what;
    simserial::AdapterFaults faults;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"switch to 115200 and the rate read wait together",
       {},
       {W(start), E(presence), kPause, W({0x77}), Rate(115200), kDiscard, W({0x0F}), kServe,
        E({0x06})}},
      {"the switch waits until the host has changed its rate",
       {},
       {W(start), E(presence), kPause, W({0x77}), Rate(115200), kServe, W({0x0F}), E({0x06})}},
      {"switch to 57600 read at once",
       {},
       {W(start), E(presence), W({0x75}), Rate(57600), W({0x0F}), E({0x04})}},
      // The change's answer at 9600 is lost on a host at 115200 by then,
      // and the read at 115200 is noise to it.
      {"an adapter that stays at 9600",
       fixed,
       {W(start), E(presence), kPause, W({0x77}), Rate(115200), kDiscard, W({0x0F}), kServe,
        E({})}},
      {"a break takes the adapter back to 9600",
       {},
       {W(start), E(presence), W({0x77}), Rate(115200), W({0x0F}), E({0x06}), Rate(9600), kBreak,
        W(start), E(presence)}},
      {"a break waiting with the bytes after it",
       {},
       {W(start), E(presence), W({0x77}), Rate(115200), W({0x0F}), E({0x06}), kPause, Rate(9600),
        kBreak, W(start), kServe, E(presence)}},
      {"a break leaves data mode",
       {},
       {W(start), E(presence), W({0xE1, 0x33}), E({0x33}), kBreak, W(start), E(presence)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Served served(c.faults);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& step = c.steps[i];
      switch (step.op) {
        case Step::Write:
          ASSERT_TRUE(served.host->Write(step.bytes.data(), step.bytes.size()));
          break;
        case Step::Baud:
          ASSERT_TRUE(served.host->SetBaud(step.baud));
          break;
        case Step::Break:
          served.host->SendBreak();
          break;
        case Step::Discard:
          served.host->DiscardInput();
          break;
        case Step::Pause:
          served.Pause();
          break;
        case Step::Serve:
          served.Serve();
          break;
        case Step::Expect:
          EXPECT_EQ(orvtest::HexBytes(served.Read(step.bytes.size())),
                    orvtest::HexBytes(step.bytes))
              << "step " << i;
          break;
      }
    }
  }
}

}  // namespace

#endif

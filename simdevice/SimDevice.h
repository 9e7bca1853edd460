#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "orvane/Orvane.h"
#include "orvane/OrvaneBackend.h"
#include "simdevice/Bench.h"
#include "simdevice/RelayEmulator.h"

namespace simdevice {

// The simulated data-acquisition device behind the device library: eight TEDS
// channels (mask bits 0 to 7), each with the relay of its bench channel if it
// has one. It answers
// - the service operating mode request (device-wide),
// - the TEDS set-mode request (every selected channel takes the mode),
// - the TEDS write request (the bytes go to every selected channel's relay;
//   a channel without relay swallows them),
// - the TEDS read request (what the relay of the lowest selected channel that
//   has one delivers to one read; empty when it has nothing),
// each with the matching response and its success flag, at once unless the
// bench asks for a response delay. Anything else gets no answer.
//
// All state is guarded by one lock, so tests may look at it from any thread.
class SimDevice : public orvane::DeviceBackend, public std::enable_shared_from_this<SimDevice> {
 public:
  using Sleeper = std::function<void(std::chrono::milliseconds)>;

  static std::shared_ptr<SimDevice> Create(const Bench& bench);
  ~SimDevice() override;

  const std::wstring& GetName() const;
  unsigned int GetAddress() const;

  // Attaches this device to the device library under its name and address,
  // or detaches it; false when that fails (the place is taken, or it was not
  // attached).
  bool Attach();
  // A response delay under way is cut short (its answer is not delivered).
  bool Detach();

  // How a response delay is waited; by default the calling thread waits
  // until the delay has passed or the device is detached.
  void SetSleeper(const Sleeper& sleeper);
  void SetResponseDelay(std::chrono::milliseconds delay);

  ServiceOperatingMode GetOperatingMode() const;
  ZorelDAQTEDSMode GetTEDSMode(unsigned channel) const;
  // Runs `action` on the relay of `channel` (if it has one) under the lock.
  void WithRelay(unsigned channel, const std::function<void(RelayEmulator&)>& action);

  std::vector<OrvaneCommands> HandleRequest(const std::wstring& device, unsigned int address,
                                            const OrvaneCommands& request) override;

 private:
  struct Channel {
    Channel();
    ZorelDAQTEDSMode mode;
    std::unique_ptr<RelayEmulator> relay;
    bool refuseSetMode;
    bool refuseWrites;
    uint32_t writesBeforeRefusal;
    uint32_t writesAccepted;
  };

  explicit SimDevice(const Bench& bench);

  std::shared_ptr<OrvaneCommand> Answer(const OrvaneCommand& request);
  std::shared_ptr<OrvaneCommand> SetOperatingMode(const ServiceSetOperatingModeRequest& request);
  std::shared_ptr<OrvaneCommand> SetTEDSMode(const GCCCommandZorelTEDSSetModeRequest& request);
  std::shared_ptr<OrvaneCommand> Write(const GCCCommandZorelTEDSWriteRequest& request);
  std::shared_ptr<OrvaneCommand> Read(const GCCCommandZorelTEDSReadRequest& request);
  // TEDS traffic is allowed on these channels (see Bench::checkModes).
  bool ModesAllowTraffic(uint8_t channelMask) const;

  const std::wstring name;
  const unsigned int address;
  const bool checkModes;
  const bool refuseServiceMode;

  mutable std::mutex mutex;
  std::array<Channel, 8> channels;
  ServiceOperatingMode operatingMode;
  std::chrono::milliseconds responseDelay;
  Sleeper sleeper;  // empty: the default wait
  std::condition_variable detachWake;
  bool detaching = false;
};

// Keeps a simulated device attached for its own lifetime.
class SimAttachment {
 public:
  explicit SimAttachment(std::shared_ptr<SimDevice> device);
  ~SimAttachment();
  SimAttachment(const SimAttachment&) = delete;
  SimAttachment& operator=(const SimAttachment&) = delete;

  bool IsAttached() const;
  SimDevice& GetDevice() const;

 private:
  std::shared_ptr<SimDevice> device;
  bool attached;
};

}  // namespace simdevice

#include "simdevice/SimDevice.h"

#include <thread>

namespace simdevice {

namespace {

bool ValidOperatingMode(ServiceOperatingMode mode) {
  return static_cast<uint8_t>(mode) <= static_cast<uint8_t>(ServiceOperatingMode::TEDS);
}

bool ValidTEDSMode(ZorelDAQTEDSMode mode) {
  return static_cast<uint8_t>(mode) <= static_cast<uint8_t>(ZorelDAQTEDSMode::Class2);
}

bool Selected(uint8_t channelMask, unsigned channel) { return ((channelMask >> channel) & 1) != 0; }

}  // namespace

SimDevice::Channel::Channel()
    : mode(ZorelDAQTEDSMode::Off),
      refuseSetMode(false),
      refuseWrites(false),
      writesBeforeRefusal(0),
      writesAccepted(0) {}

std::shared_ptr<SimDevice> SimDevice::Create(const Bench& bench) {
  // make_shared cannot reach the private constructor.
  return std::shared_ptr<SimDevice>(new SimDevice(bench));
}

SimDevice::SimDevice(const Bench& bench)
    : name(bench.name),
      address(bench.address),
      checkModes(bench.checkModes),
      refuseServiceMode(bench.refuseServiceMode),
      operatingMode(ServiceOperatingMode::Normal),
      responseDelay(bench.responseDelayMs) {
  for (const ChannelConfig& config : bench.channels) {
    if (config.channel >= channels.size()) continue;
    Channel& channel = channels[config.channel];
    channel.relay = MakeRelay(config);
    channel.refuseSetMode = config.refuseSetMode;
    channel.refuseWrites = config.refuseWrites;
    channel.writesBeforeRefusal = config.writesBeforeRefusal;
  }
}

SimDevice::~SimDevice() = default;

const std::wstring& SimDevice::GetName() const { return name; }
unsigned int SimDevice::GetAddress() const { return address; }

bool SimDevice::Attach() { return orvane::AttachDevice(name, address, shared_from_this()); }
bool SimDevice::Detach() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    detaching = true;
  }
  detachWake.notify_all();
  // Waits for a request being handled, which the wake above ends quickly.
  const bool detached = orvane::DetachDevice(name, address);
  std::lock_guard<std::mutex> lock(mutex);
  detaching = false;
  return detached;
}

void SimDevice::SetSleeper(const Sleeper& value) {
  std::lock_guard<std::mutex> lock(mutex);
  sleeper = value;
}

void SimDevice::SetResponseDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex);
  responseDelay = delay;
}

ServiceOperatingMode SimDevice::GetOperatingMode() const {
  std::lock_guard<std::mutex> lock(mutex);
  return operatingMode;
}

ZorelDAQTEDSMode SimDevice::GetTEDSMode(unsigned channel) const {
  std::lock_guard<std::mutex> lock(mutex);
  return channel < channels.size() ? channels[channel].mode : ZorelDAQTEDSMode::Off;
}

void SimDevice::WithRelay(unsigned channel, const std::function<void(RelayEmulator&)>& action) {
  std::lock_guard<std::mutex> lock(mutex);
  if (channel < channels.size() && channels[channel].relay) action(*channels[channel].relay);
}

std::vector<OrvaneCommands> SimDevice::HandleRequest(const std::wstring&, unsigned int,
                                                     const OrvaneCommands& request) {
  const std::shared_ptr<OrvaneCommand> command = request.GetCommand();
  if (!command || request.GetIsResponse()) return {};
  std::unique_lock<std::mutex> lock(mutex);
  const Sleeper sleep = sleeper;
  const std::chrono::milliseconds delay = responseDelay;
  if (delay.count() > 0 && sleep) {
    // Waited outside the lock, so that the device can still be looked at.
    lock.unlock();
    sleep(delay);
    lock.lock();
  } else if (delay.count() > 0) {
    // The wait releases the lock; a detach ends it, and the library drops
    // the answer of a device detached meanwhile.
    if (detachWake.wait_for(lock, delay, [this] { return detaching; })) return {};
  }
  std::shared_ptr<OrvaneCommand> response = Answer(*command);
  if (!response) return {};
  return {OrvaneCommands(response)};
}

std::shared_ptr<OrvaneCommand> SimDevice::Answer(const OrvaneCommand& request) {
  if (auto* service = dynamic_cast<const ServiceSetOperatingModeRequest*>(&request)) {
    return SetOperatingMode(*service);
  }
  if (auto* setMode = dynamic_cast<const GCCCommandZorelTEDSSetModeRequest*>(&request)) {
    return SetTEDSMode(*setMode);
  }
  if (auto* write = dynamic_cast<const GCCCommandZorelTEDSWriteRequest*>(&request)) {
    return Write(*write);
  }
  if (auto* read = dynamic_cast<const GCCCommandZorelTEDSReadRequest*>(&request)) {
    return Read(*read);
  }
  return nullptr;
}

std::shared_ptr<OrvaneCommand> SimDevice::SetOperatingMode(
    const ServiceSetOperatingModeRequest& request) {
  const ServiceOperatingMode mode = request.GetMode();
  const bool success = !refuseServiceMode && ValidOperatingMode(mode);
  if (success) operatingMode = mode;
  return std::make_shared<ServiceSetOperatingModeResponse>(mode, success);
}

std::shared_ptr<OrvaneCommand> SimDevice::SetTEDSMode(
    const GCCCommandZorelTEDSSetModeRequest& request) {
  const uint8_t mask = request.GetChannelMask();
  bool success = mask != 0 && ValidTEDSMode(request.GetMode());
  for (unsigned c = 0; c < channels.size(); ++c) {
    if (Selected(mask, c) && channels[c].refuseSetMode) success = false;
  }
  if (success) {
    for (unsigned c = 0; c < channels.size(); ++c) {
      if (Selected(mask, c)) channels[c].mode = request.GetMode();
    }
  }
  return std::make_shared<GCCCommandZorelTEDSSetModeResponse>(mask, success);
}

bool SimDevice::ModesAllowTraffic(uint8_t channelMask) const {
  if (!checkModes) return true;
  if (operatingMode != ServiceOperatingMode::TEDS) return false;
  for (unsigned c = 0; c < channels.size(); ++c) {
    if (Selected(channelMask, c) && channels[c].mode == ZorelDAQTEDSMode::Off) return false;
  }
  return true;
}

std::shared_ptr<OrvaneCommand> SimDevice::Write(const GCCCommandZorelTEDSWriteRequest& request) {
  const uint8_t mask = request.GetChannelMask();
  bool success = mask != 0 && ModesAllowTraffic(mask);
  for (unsigned c = 0; c < channels.size(); ++c) {
    const Channel& channel = channels[c];
    if (Selected(mask, c) && channel.refuseWrites &&
        channel.writesAccepted >= channel.writesBeforeRefusal) {
      success = false;
    }
  }
  if (success) {
    for (unsigned c = 0; c < channels.size(); ++c) {
      if (!Selected(mask, c)) continue;
      ++channels[c].writesAccepted;
      if (channels[c].relay) channels[c].relay->ReceiveInbound(request.GetData());
    }
  }
  return std::make_shared<GCCCommandZorelTEDSWriteResponse>(mask, success);
}

std::shared_ptr<OrvaneCommand> SimDevice::Read(const GCCCommandZorelTEDSReadRequest& request) {
  const uint8_t mask = request.GetChannelMask();
  if (mask == 0 || !ModesAllowTraffic(mask)) {
    return std::make_shared<GCCCommandZorelTEDSReadResponse>(mask, std::vector<uint8_t>(), false);
  }
  for (unsigned c = 0; c < channels.size(); ++c) {
    if (Selected(mask, c) && channels[c].relay) {
      return std::make_shared<GCCCommandZorelTEDSReadResponse>(mask,
                                                               channels[c].relay->ReadOutbound());
    }
  }
  return std::make_shared<GCCCommandZorelTEDSReadResponse>(mask, std::vector<uint8_t>());
}

SimAttachment::SimAttachment(std::shared_ptr<SimDevice> device)
    : device(std::move(device)), attached(this->device && this->device->Attach()) {}

SimAttachment::~SimAttachment() {
  if (attached) device->Detach();
}

bool SimAttachment::IsAttached() const { return attached; }
SimDevice& SimAttachment::GetDevice() const { return *device; }

}  // namespace simdevice

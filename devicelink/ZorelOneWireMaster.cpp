#include "devicelink/ZorelOneWireMaster.h"

#include <stdexcept>

#include "orvane/Utils.h"

namespace {

constexpr uint8_t kServiceGroup = 1;
constexpr uint8_t kServiceModeResponseType = 11;
constexpr uint8_t kGCCGroup = 7;
constexpr uint8_t kGCCVersion = 2;
constexpr uint32_t kGCCVendor = 12;
constexpr uint8_t kTEDSClass = 8;
constexpr uint8_t kTEDSSetMode = 0;
constexpr uint8_t kTEDSWrite = 1;
constexpr uint8_t kTEDSRead = 2;
const ServiceOperatingMode kTEDSServiceMode = ServiceOperatingMode(4);
const ServiceOperatingMode kNormalServiceMode = ServiceOperatingMode(0);

uint8_t ChannelMask(unsigned int channel) {
  if (channel >= ZorelOneWireMaster::CHANNEL_COUNT) {
    throw std::invalid_argument("TEDS channel " + std::to_string(channel) +
                                " does not exist: channels are 0 to 7");
  }
  return static_cast<uint8_t>(1u << channel);
}

}  // namespace

constexpr std::chrono::milliseconds ZorelOneWireMaster::DEFAULT_POLL_PAUSE;

void ZorelOneWireMaster::ResponseListener::ReceivedCommands(
    const std::wstring& device, unsigned int address, uint64_t /*sequence*/,
    const std::shared_ptr<std::vector<OrvaneCommands>>& commands) {
  if (device != master->device || address != master->address || !commands) return;
  master->Dispatch(*commands);
}

ZorelOneWireMaster::ZorelOneWireMaster(const std::wstring& device, unsigned int address,
                                       unsigned int channel, const ZorelDAQTEDSMode& mode,
                                       std::chrono::milliseconds pollPause)
    : responseListener(std::make_shared<ResponseListener>(this)),
      device(device),
      address(address),
      channelMask(ChannelMask(channel)),
      tedsMode(mode),
      pollPause(pollPause) {
  orvane::ConnectionAddListener(responseListener, device);
}

ZorelOneWireMaster::~ZorelOneWireMaster() { Shutdown(); }

void ZorelOneWireMaster::Shutdown() {
  if (shutDown) return;
  shutDown = true;
  // After this no response reaches the master, so no poll thread starts.
  orvane::ConnectionRemoveListener(responseListener, device);
  {
    std::lock_guard<std::mutex> guard(pollMutex);
    stopping = true;
  }
  pollWake.notify_all();
  std::lock_guard<std::recursive_mutex> guard(lock);
  JoinPollThread();
}

// ---- Response dispatch ------------------------------------------------------

void ZorelOneWireMaster::Dispatch(const std::vector<OrvaneCommands>& commands) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  for (const OrvaneCommands& entry : commands) {
    if (!entry.GetIsResponse()) continue;
    const std::shared_ptr<OrvaneCommand> command = entry.GetCommand();
    if (!command) continue;
    const auto group = static_cast<uint8_t>(command->GetGroup());
    if (group == kServiceGroup && command->GetType() == kServiceModeResponseType) {
      // Only the answer to this enabling's mode 4 request counts: the answer
      // to the mode 0 request of a disable that arrives after the next
      // Enable(true) must not pass for it.
      const auto* response = dynamic_cast<const ServiceSetOperatingModeResponse*>(command.get());
      if (response && response->GetSuccess() && serviceModeRequested &&
          response->GetMode() == kTEDSServiceMode) {
        serviceModeSet = true;
      }
      Process();
    } else if (group == kGCCGroup) {
      DispatchGCC(*command);
    }
  }
}

void ZorelOneWireMaster::DispatchGCC(const OrvaneCommand& command) {
  const auto* gcc = dynamic_cast<const GCCCommand*>(&command);
  if (!gcc || gcc->GetVersion() != kGCCVersion || gcc->GetVendorID() != kGCCVendor) return;
  const auto* zorel = dynamic_cast<const GCCCommandZorel*>(gcc);
  if (!zorel || zorel->GetCommandClass() != kTEDSClass) return;
  switch (zorel->GetOperation()) {
    case kTEDSSetMode: {
      const auto* response = dynamic_cast<const GCCCommandZorelTEDSSetModeResponse*>(zorel);
      if (response && response->GetSuccess()) tedsModeSet = true;
      Process();
      break;
    }
    case kTEDSWrite: {
      const auto* response = dynamic_cast<const GCCCommandZorelTEDSWriteResponse*>(zorel);
      if (response && response->GetSuccess()) SentInbound();
      break;
    }
    case kTEDSRead: {
      const auto* response = dynamic_cast<const GCCCommandZorelTEDSReadResponse*>(zorel);
      if (response) ReceiveOutbound(response->GetData());
      break;
    }
    default:
      break;
  }
}

// ---- Life cycle -------------------------------------------------------------

void ZorelOneWireMaster::Enable(bool enable) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  switch (state) {
    case Disabled:
      if (!enable) return;
      tedsModeSet = false;
      serviceModeRequested = false;
      serviceModeSet = false;
      SendSetTEDSMode(tedsMode);
      RemoteOneWireMaster::Enable(true);
      return;
    case Enabling:
    case Ready:
      if (enable) return;
      // The relay part drops its queued and in-flight work (telling their
      // owners) while the state still says what it was.
      RemoteOneWireMaster::Enable(false);
      SendSetServiceOperatingMode(kNormalServiceMode);
      tedsModeSet = false;
      serviceModeRequested = false;
      serviceModeSet = false;
      state = Disabled;
      return;
    default:
      RemoteOneWireMaster::Enable(enable);
      return;
  }
}

void ZorelOneWireMaster::Discover(const std::shared_ptr<DiscoveryListener>& listener) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  RemoteOneWireMaster::Discover(listener);
}

void ZorelOneWireMaster::Process() {
  switch (state) {
    case Disabled:
      return;
    case Enabling:
      if (!tedsModeSet) return;
      if (!serviceModeSet) {
        if (!serviceModeRequested) {
          serviceModeRequested = true;
          SendSetServiceOperatingMode(kTEDSServiceMode);
        }
        return;
      }
      RemoteOneWireMaster::Process();
      return;
    default:
      RemoteOneWireMaster::Process();
      return;
  }
}

// ---- Relay byte round trip --------------------------------------------------

void ZorelOneWireMaster::SendInbound(const std::vector<uint8_t>& data) {
  RemoteOneWireMaster::SendInbound(data);
  SendInboundRequest(data);
}

void ZorelOneWireMaster::SentInbound() {
  RemoteOneWireMaster::SentInbound();
  JoinPollThread();
  StartPollThread();
}

void ZorelOneWireMaster::StartPollThread() {
  pollThread = std::make_shared<std::thread>(&ZorelOneWireMaster::PollThreadMain, this);
}

void ZorelOneWireMaster::JoinPollThread() {
  if (!pollThread) return;
  // A poll thread still waiting belongs to a round trip that is over (the
  // master was disabled or shut down meanwhile): wake it so that it ends
  // without sending a stale read, and without waiting for the master's lock,
  // which the caller holds.
  {
    std::lock_guard<std::mutex> guard(pollMutex);
    joining = true;
  }
  pollWake.notify_all();
  if (pollThread->joinable()) pollThread->join();
  pollThread.reset();
  std::lock_guard<std::mutex> guard(pollMutex);
  joining = false;
}

void ZorelOneWireMaster::PollThreadMain() {
  {
    std::unique_lock<std::mutex> guard(pollMutex);
    if (pollWake.wait_for(guard, pollPause, [this] { return stopping || joining; })) return;
  }
  SendOutboundRequest();
}

// ---- Requests ---------------------------------------------------------------

bool ZorelOneWireMaster::Send(const std::shared_ptr<OrvaneCommand>& command, const char* what) {
  if (orvane::SendCommand(device, OrvaneCommands(command), address)) return true;
  ReportRefused(what);
  return false;
}

void ZorelOneWireMaster::ReportRefused(const char* what) {
  Error(std::string("The device library refused the ") + what + " request for device " +
        orvane::utils::wstr2str(device) + " at address " + std::to_string(address));
}

void ZorelOneWireMaster::SendSetServiceOperatingMode(const ServiceOperatingMode& mode) {
  Send(std::make_shared<ServiceSetOperatingModeRequest>(mode), "service operating mode");
}

void ZorelOneWireMaster::SendSetTEDSMode(const ZorelDAQTEDSMode& mode) {
  Send(std::make_shared<GCCCommandZorelTEDSSetModeRequest>(channelMask, mode), "TEDS set-mode");
}

void ZorelOneWireMaster::SendInboundRequest(const std::vector<uint8_t>& data) {
  Send(std::make_shared<GCCCommandZorelTEDSWriteRequest>(channelMask, data), "TEDS write");
}

void ZorelOneWireMaster::SendOutboundRequest() {
  // Runs on the poll thread. A refused read is reported under the master's
  // lock, unless the master is shutting down and about to join this thread.
  const auto request = std::make_shared<GCCCommandZorelTEDSReadRequest>(channelMask);
  if (orvane::SendCommand(device, OrvaneCommands(request), address)) return;
  std::unique_lock<std::recursive_mutex> guard(lock, std::defer_lock);
  while (!guard.try_lock()) {
    {
      std::unique_lock<std::mutex> poll(pollMutex);
      if (pollWake.wait_for(poll, std::chrono::milliseconds(1),
                            [this] { return stopping || joining; })) {
        return;
      }
    }
  }
  ReportRefused("TEDS read");
}

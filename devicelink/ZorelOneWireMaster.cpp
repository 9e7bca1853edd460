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
  serializer = &ZorelOneWireMaster::SerializeEntry;
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
      if (response && serviceModeRequested && response->GetMode() == kTEDSServiceMode) {
        if (response->GetSuccess()) {
          serviceModeSet = true;
        } else if (state == Enabling) {
          // The master cannot come up; say so rather than wait in silence.
          handshakeRefused = true;
          Error("The device refused service operating mode 4 (TEDS) for device " + DeviceText());
        }
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
      if (response && response->GetSuccess()) {
        tedsModeSet = true;
      } else if (response && state == Enabling && !tedsModeSet) {
        handshakeRefused = true;
        Error("The device refused the TEDS set-mode request for " + ChannelText());
      }
      Process();
      break;
    }
    case kTEDSWrite: {
      const auto* response = dynamic_cast<const GCCCommandZorelTEDSWriteResponse*>(zorel);
      if (!response) break;
      if (response->GetSuccess()) {
        SentInbound();
      } else {
        // No read follows a refused write: give the transfer up so that its
        // owner hears and the master goes on.
        AbortTransfer("The device refused the TEDS write request for " + ChannelText());
      }
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
      handshakeRefused = false;
      tedsModeSet = false;
      serviceModeRequested = false;
      serviceModeSet = false;
      SendSetTEDSMode(tedsMode);
      RemoteOneWireMaster::Enable(true);
      return;
    default:
      if (enable) {
        if (state == Searching) RemoteOneWireMaster::Enable(true);
        return;
      }
      // The relay part drops its queued and in-flight work, telling their
      // owners, while the state still says what it was; it also ends a
      // running search.
      RemoteOneWireMaster::Enable(false);
      if (state != Disabled) return;
      SendSetServiceOperatingMode(kNormalServiceMode);
      tedsModeSet = false;
      serviceModeRequested = false;
      serviceModeSet = false;
      return;
  }
}

void ZorelOneWireMaster::Discover(const std::shared_ptr<DiscoveryListener>& listener) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  RemoteOneWireMaster::Discover(listener);
}

void ZorelOneWireMaster::SerializeEntry(AbstractOneWireMaster& master,
                                        const std::function<void()>& action) {
  ZorelOneWireMaster& self = static_cast<ZorelOneWireMaster&>(master);
  std::lock_guard<std::recursive_mutex> guard(self.lock);
  action();
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

bool ZorelOneWireMaster::Send(const std::shared_ptr<OrvaneCommand>& command) {
  return orvane::SendCommand(device, OrvaneCommands(command), address);
}

std::string ZorelOneWireMaster::RefusedText(const char* what) const {
  return std::string("The device library refused the ") + what + " request for device " +
         DeviceText();
}

void ZorelOneWireMaster::RefuseHandshake(const char* what) {
  // The master cannot come up; the flag is set before the report so that a
  // host that looks at it from inside the report sees it.
  handshakeRefused = true;
  Error(RefusedText(what));
}

std::string ZorelOneWireMaster::DeviceText() const {
  return orvane::utils::wstr2str(device) + " at address " + std::to_string(address);
}

std::string ZorelOneWireMaster::ChannelText() const {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "channel mask 0x";
  text += digits[channelMask >> 4];
  text += digits[channelMask & 15];
  return text + " of device " + DeviceText();
}

void ZorelOneWireMaster::SendSetServiceOperatingMode(const ServiceOperatingMode& mode) {
  const char* what = "service operating mode";
  if (Send(std::make_shared<ServiceSetOperatingModeRequest>(mode))) return;
  if (mode == kTEDSServiceMode) {
    RefuseHandshake(what);
  } else {
    Error(RefusedText(what));
  }
}

void ZorelOneWireMaster::SendSetTEDSMode(const ZorelDAQTEDSMode& mode) {
  const char* what = "TEDS set-mode";
  if (!Send(std::make_shared<GCCCommandZorelTEDSSetModeRequest>(channelMask, mode))) {
    RefuseHandshake(what);
  }
}

void ZorelOneWireMaster::SendInboundRequest(const std::vector<uint8_t>& data) {
  const char* what = "TEDS write";
  if (!Send(std::make_shared<GCCCommandZorelTEDSWriteRequest>(channelMask, data))) {
    // The block never left: the transfer cannot be answered.
    AbortTransfer(RefusedText(what));
  }
}

void ZorelOneWireMaster::SendOutboundRequest() {
  // Runs on the poll thread. A refused read is handled under the master's
  // lock, unless the master is shutting down or joining this thread, which
  // it does while holding that lock.
  const char* what = "TEDS read";
  if (Send(std::make_shared<GCCCommandZorelTEDSReadRequest>(channelMask))) return;
  std::unique_lock<std::recursive_mutex> guard(lock, std::defer_lock);
  while (!guard.try_lock()) {
    std::unique_lock<std::mutex> poll(pollMutex);
    if (pollWake.wait_for(poll, std::chrono::milliseconds(1),
                          [this] { return stopping || joining; })) {
      return;
    }
  }
  AbortTransfer(RefusedText(what));
}

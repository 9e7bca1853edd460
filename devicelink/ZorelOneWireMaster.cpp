#include "devicelink/ZorelOneWireMaster.h"

#include <stdexcept>

#include "serial/LibraryUnload.h"
#include "teds/TEDSText.h"
#include "text/HexText.h"

namespace {

const ServiceOperatingMode kTEDSServiceMode = ServiceOperatingMode(4);

uint8_t ChannelMask(unsigned int channel) {
  if (channel >= ZorelOneWireMaster::CHANNEL_COUNT) {
    throw std::invalid_argument("TEDS channel " + std::to_string(channel) +
                                " does not exist: channels are 0 to 7");
  }
  return static_cast<uint8_t>(1u << channel);
}

}  // namespace

constexpr std::chrono::milliseconds ZorelOneWireMaster::DEFAULT_POLL_PAUSE;

ZorelOneWireMaster::ZorelOneWireMaster(const std::wstring& device, unsigned int address,
                                       unsigned int channel, const ZorelDAQTEDSMode& mode,
                                       std::chrono::milliseconds pollPause,
                                       std::shared_ptr<Clock> clock)
    : device(device),
      address(address),
      channelMask(ChannelMask(channel)),
      tedsMode(mode),
      pollPause(pollPause),
      clock(clock ? std::move(clock) : Clock::Steady()) {
  serializer = &ZorelOneWireMaster::SerializeEntry;
  link = DeviceLink::Join(device, this);
}

ZorelOneWireMaster::~ZorelOneWireMaster() { Shutdown(); }

void ZorelOneWireMaster::Shutdown() {
  if (serial::LibraryUnloading()) {
    // At process exit the callback thread and the poll thread were ended
    // wherever they stood, maybe holding the master's lock; on unloading a
    // thread cannot end before the loader is done. Nothing is waited for,
    // and the poll thread's object is kept for good, unjoined, so that its
    // destructor does not end the process.
    if (pollThread && pollThread->joinable()) new std::thread(std::move(*pollThread));
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (shutDown) return;
    shutDown = true;
  }
  // After this no answer reaches the master, so no poll thread starts. Not
  // under the master's lock: an answer being delivered holds it.
  link->Leave(this);
  {
    std::lock_guard<std::mutex> guard(pollMutex);
    stopping = true;
  }
  pollWake.notify_all();
  std::lock_guard<std::recursive_mutex> guard(lock);
  JoinPollThread();
}

// ---- Answers ----------------------------------------------------------------

void ZorelOneWireMaster::Answered(const DeviceLink::Request& request,
                                  const OrvaneCommand& command) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  // An answer to a request made before the latest disable belongs to work
  // that is over: the late answer to a mode 0 request, a write confirmed or
  // bytes read for a dropped transfer.
  if (request.enabling != enabling.load()) return;
  switch (request.kind) {
    case DeviceLink::Kind::ServiceMode:
      // Only the answer to this enabling's mode 4 request counts.
      if (request.tedsServiceMode) AnsweredServiceMode(command);
      return;
    case DeviceLink::Kind::SetMode:
      AnsweredSetMode(command);
      return;
    case DeviceLink::Kind::Write:
      AnsweredWrite(command);
      return;
    case DeviceLink::Kind::Read:
      if (const auto* response = dynamic_cast<const GCCCommandZorelTEDSReadResponse*>(&command)) {
        if (draining) {
          Drained(response->GetData());
        } else {
          ReceiveOutbound(response->GetData());
        }
      }
      return;
  }
}

void ZorelOneWireMaster::AnsweredServiceMode(const OrvaneCommand& command) {
  const auto* response = dynamic_cast<const ServiceSetOperatingModeResponse*>(&command);
  if (response && response->GetSuccess()) {
    serviceModeSet = true;
  } else if (response && state == Enabling) {
    // The master cannot come up; say so rather than wait in silence.
    handshakeRefused = true;
    Error("The device refused service operating mode 4 (TEDS) for device " + DeviceText());
  }
  Process();
}

void ZorelOneWireMaster::AnsweredSetMode(const OrvaneCommand& command) {
  const auto* response = dynamic_cast<const GCCCommandZorelTEDSSetModeResponse*>(&command);
  if (response && response->GetSuccess()) {
    tedsModeSet = true;
  } else if (response && state == Enabling && !tedsModeSet) {
    handshakeRefused = true;
    Error("The device refused the TEDS set-mode request for " + ChannelText());
  }
  Process();
}

void ZorelOneWireMaster::AnsweredWrite(const OrvaneCommand& command) {
  const auto* response = dynamic_cast<const GCCCommandZorelTEDSWriteResponse*>(&command);
  if (!response) return;
  if (response->GetSuccess()) {
    SentInbound();
  } else {
    // No read follows a refused write: give the transfer up so that its
    // owner hears and the master goes on.
    AbortTransfer("The device refused the TEDS write request for " + ChannelText());
  }
}

// ---- Life cycle -------------------------------------------------------------

void ZorelOneWireMaster::Enable(bool enable) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  if (state == Disabled) {
    if (!enable || shutDown) return;
    ++enabling;
    handshakeRefused = false;
    tedsModeSet = false;
    serviceModeRequested = false;
    serviceModeSet = false;
    drainChecked = false;
    draining = false;
    // Another master on this channel: wait for it, sending nothing; the link
    // sends the set-mode request once the channel is this master's.
    if (link->Claim(this)) SendSetTEDSMode(tedsMode);
    RemoteOneWireMaster::Enable(true);
    return;
  }
  if (enable) {
    if (state == Searching) RemoteOneWireMaster::Enable(true);
    return;
  }
  // The device leaves service mode 4 and the flags are reset before anybody
  // hears of the disable: an owner that enables again from its error report
  // starts a complete new handshake after the mode 0 request. Mode 0 is
  // device-wide, so it waits for the last enabled master of the device.
  // The query is over: records of its requests expire, so that one the
  // device library dropped cannot take a later answer. The link sends mode 0
  // when this was the last enabled master of the device (a master that only
  // waited for its channel sent nothing and leaves the mode alone), then
  // hands the channel to the next master waiting for it, so that an owner
  // that enables again from its report below queues behind that one.
  // Answers still on their way belong to this enabling and are dropped; the
  // enabling ends before the channel is handed on, so that a read still due
  // for it is not sent after the next holder's requests (DeviceLink::Send).
  ++enabling;
  link->Expire(this);
  if (!link->Disable(this)) Error(RefusedText("service operating mode"));
  tedsModeSet = false;
  serviceModeRequested = false;
  serviceModeSet = false;
  drainChecked = false;
  draining = false;
  // The relay part drops its queued and in-flight work, telling their
  // owners, while the state still says what it was; it also ends a running
  // search.
  RemoteOneWireMaster::Enable(false);
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
      if (Drain()) return;
      RemoteOneWireMaster::Process();
      return;
    default:
      RemoteOneWireMaster::Process();
      return;
  }
}

// ---- Relay byte round trip --------------------------------------------------

bool ZorelOneWireMaster::Drain() {
  if (draining) return true;
  if (drainChecked) return false;
  drainChecked = true;
  // Only when an exchange on the channel was cut short: a query that ran to
  // its end read every answer, and its successor reads nothing extra.
  if (link->UnreadAnswers(this) == 0) return false;
  draining = true;
  drainReadsLeft = POLL_BUDGET;
  SchedulePoll();
  return true;
}

void ZorelOneWireMaster::Drained(const std::vector<uint8_t>& bytes) {
  // The bytes answer a block this master did not send; they are dropped.
  // An answer may still be on its way in the relay: it gets the same number
  // of reads as a transfer of this master would.
  if (!bytes.empty()) drainReadsLeft = POLL_BUDGET;
  if (link->UnreadAnswers(this) > 0 && --drainReadsLeft > 0) {
    SchedulePoll();
    return;
  }
  link->ForgetUnreadAnswers(this);
  draining = false;
  Process();
}

void ZorelOneWireMaster::SendInbound(const std::vector<uint8_t>& data) {
  RemoteOneWireMaster::SendInbound(data);
  SendInboundRequest(data);
}

void ZorelOneWireMaster::SentInbound() {
  RemoteOneWireMaster::SentInbound();
  SchedulePoll();
}

void ZorelOneWireMaster::SchedulePoll() {
  const DueRead due{clock->Now() + pollPause, enabling.load()};
  {
    std::lock_guard<std::mutex> guard(pollMutex);
    if (stopping) return;
    dueReads.push_back(due);
    // A poll thread still at work takes this read on after its own: every
    // confirmed write is followed by exactly one read, also when writes
    // overlap.
    if (pollRunning) return;
    pollRunning = true;
  }
  JoinPollThread();  // one that has ended
  pollThread = std::make_shared<std::thread>(&ZorelOneWireMaster::PollThreadMain, this);
}

void ZorelOneWireMaster::JoinPollThread() {
  if (!pollThread) return;
  if (pollThread->joinable()) pollThread->join();
  pollThread.reset();
}

void ZorelOneWireMaster::PollThreadMain() {
  for (;;) {
    DueRead due;
    {
      std::unique_lock<std::mutex> guard(pollMutex);
      if (dueReads.empty() ||
          clock->WaitUntil(guard, pollWake, dueReads.front().at, [this] { return stopping; })) {
        pollRunning = false;
        return;
      }
      due = dueReads.front();
      dueReads.pop_front();
    }
    SendOutboundRequest(due.ofEnabling);
  }
}

// ---- Requests ---------------------------------------------------------------

bool ZorelOneWireMaster::Send(DeviceLink::Kind kind, const std::shared_ptr<OrvaneCommand>& command,
                              uint64_t ofEnabling, bool tedsServiceMode, bool answerDue) {
  const uint8_t mask = kind == DeviceLink::Kind::ServiceMode ? 0 : channelMask;
  return link->Send(DeviceLink::Request{this, ofEnabling, kind, tedsServiceMode, mask, answerDue},
                    address, command);
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
  return TEDSText::WideToUtf8(device) + " at address " + std::to_string(address);
}

std::string ZorelOneWireMaster::ChannelText() const {
  return "channel mask 0x" + orvtext::HexByte(channelMask) + " of device " + DeviceText();
}

void ZorelOneWireMaster::SendSetServiceOperatingMode(const ServiceOperatingMode& mode) {
  const char* what = "service operating mode";
  if (Send(DeviceLink::Kind::ServiceMode, std::make_shared<ServiceSetOperatingModeRequest>(mode),
           enabling.load(), mode == kTEDSServiceMode)) {
    return;
  }
  if (mode == kTEDSServiceMode) {
    RefuseHandshake(what);
  } else {
    Error(RefusedText(what));
  }
}

void ZorelOneWireMaster::SendSetTEDSMode(const ZorelDAQTEDSMode& mode) {
  const char* what = "TEDS set-mode";
  if (!Send(DeviceLink::Kind::SetMode,
            std::make_shared<GCCCommandZorelTEDSSetModeRequest>(channelMask, mode),
            enabling.load())) {
    RefuseHandshake(what);
  }
}

void ZorelOneWireMaster::SendInboundRequest(const std::vector<uint8_t>& data) {
  const char* what = "TEDS write";
  if (!Send(DeviceLink::Kind::Write,
            std::make_shared<GCCCommandZorelTEDSWriteRequest>(channelMask, data),
            enabling.load(), false, !RelayProtocol::IsPollBlock(data))) {
    // The block never left: the transfer cannot be answered.
    AbortTransfer(RefusedText(what));
  }
}

void ZorelOneWireMaster::SendOutboundRequest(uint64_t ofEnabling) {
  // Runs on the poll thread. A refused read is handled under the master's
  // lock, unless the master is shutting down, which joins this thread while
  // holding that lock.
  const char* what = "TEDS read";
  if (Send(DeviceLink::Kind::Read, std::make_shared<GCCCommandZorelTEDSReadRequest>(channelMask),
           ofEnabling)) {
    return;
  }
  std::unique_lock<std::recursive_mutex> guard(lock, std::defer_lock);
  while (!guard.try_lock()) {
    std::unique_lock<std::mutex> poll(pollMutex);
    if (pollWake.wait_for(poll, std::chrono::milliseconds(1), [this] { return stopping; })) {
      return;
    }
  }
  // A read of an earlier enabling has no transfer left to give up.
  if (ofEnabling == enabling.load()) AbortTransfer(RefusedText(what));
}

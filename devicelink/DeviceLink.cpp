#include "devicelink/DeviceLink.h"

#include <algorithm>

#include "devicelink/ZorelOneWireMaster.h"

namespace {

// Hands the device library's calls to the link while the link exists.
class LinkListener : public orvane::StreamListener {
 public:
  explicit LinkListener(std::weak_ptr<DeviceLink> link) : link(std::move(link)) {}
  void ReceivedCommands(const std::wstring& /*device*/, unsigned int address,
                        uint64_t /*sequence*/,
                        const std::shared_ptr<std::vector<OrvaneCommands>>& commands) override {
    if (!commands) return;
    if (const std::shared_ptr<DeviceLink> alive = link.lock()) alive->Received(address, *commands);
  }

 private:
  const std::weak_ptr<DeviceLink> link;
};

// Links by device name. Never destroyed: masters may outlive static
// destruction (a host's own statics), and the map must still be there.
std::mutex& RegistryMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}

std::map<std::wstring, std::weak_ptr<DeviceLink>>& Registry() {
  static auto* registry = new std::map<std::wstring, std::weak_ptr<DeviceLink>>();
  return *registry;
}

// Unread relay answers per device name, address and channel mask. Kept
// apart from the links: a link goes with its last master, but what its
// relays still hold is there for the next master of the device.
std::mutex& UnreadMutex() {
  static std::mutex* mutex = new std::mutex();
  return *mutex;
}
// Guarded by UnreadMutex, which is taken inside the link's lock, never
// around it.
uint32_t& Unread(const std::wstring& device, unsigned int address, uint8_t mask) {
  static auto* unread =
      new std::map<std::wstring, std::map<std::pair<unsigned int, uint8_t>, uint32_t>>();
  return (*unread)[device][std::make_pair(address, mask)];
}

}  // namespace

// Whether a record may be forgotten while its answer may still come. A TEDS
// answer names its channel and a late one finds no record of it; a mode 4
// answer at worst tells another master early what its own answer will say.
// A mode 0 record stays to take its answer, which could pass for the answer
// to a mode 4 request; if the device library dropped it, the next answer
// that says mode 4 shows it (see TakeOwner).
bool DeviceLink::Expendable(const Request& request) {
  return request.kind != Kind::ServiceMode || request.tedsServiceMode;
}

DeviceLink::DeviceLink(const std::wstring& device) : device(device) {}

DeviceLink::~DeviceLink() {
  // Waits for a call of the listener under way on the callback thread (which
  // holds no handle to this link once it has failed to lock it).
  orvane::ConnectionRemoveListener(listener, device);
  std::lock_guard<std::mutex> guard(RegistryMutex());
  auto found = Registry().find(device);
  if (found != Registry().end() && found->second.expired()) Registry().erase(found);
}

std::shared_ptr<DeviceLink> DeviceLink::Join(const std::wstring& device,
                                             ZorelOneWireMaster* member) {
  std::lock_guard<std::mutex> registryGuard(RegistryMutex());
  std::shared_ptr<DeviceLink> link = Registry()[device].lock();
  if (!link) {
    link.reset(new DeviceLink(device));
    link->listener = std::make_shared<LinkListener>(link);
    Registry()[device] = link;
    orvane::ConnectionAddListener(link->listener, device);
  }
  std::lock_guard<std::mutex> guard(link->mutex);
  link->members.insert(member);
  link->keepAlive.reset();  // the member holds it now
  return link;
}

void DeviceLink::Leave(ZorelOneWireMaster* member) {
  std::unique_lock<std::mutex> guard(mutex);
  members.erase(member);
  enabled.erase(member);
  HandOver(member);
  if (members.empty()) {
    // Nobody is left to be confused by an answer. Forget what is on its way
    // rather than wait for it: the device library drops the requests of a
    // device detached meanwhile, and a record that is never answered would
    // take the answer of a later master's request.
    pending.clear();
    // A write of relay commands still on its way leaves an answer in the
    // relay for the next master of its channel to read away; the link stays
    // (registered) to count it until the device has answered that write.
    KeepWhileUnconfirmed();
  }
  DropExpendable(member);
  for (auto& byAddress : pending) {
    for (Request& request : byAddress.second) {
      if (request.owner == member) request.owner = nullptr;
    }
  }
  // An answer being handed to the master on this very thread is the caller
  // itself.
  idle.wait(guard, [&] {
    return std::none_of(calls.begin(), calls.end(), [&](const auto& call) {
      return call.first == member && call.second != std::this_thread::get_id();
    });
  });
}

bool DeviceLink::Send(const Request& request, unsigned int address,
                      const std::shared_ptr<OrvaneCommand>& command) {
  // Recording and sending in one step keeps the records in request order
  // when several masters (and their poll threads) send at once.
  std::lock_guard<std::mutex> guard(mutex);
  // A master that has left (it is shutting down) sends nothing more: an
  // answer would find it gone. There is nobody to tell, so say it went.
  if (members.count(request.owner) == 0) return true;
  // A read due for an enabling that is over would take an answer the relay
  // holds for whoever uses the channel next; its own answer would be
  // dropped anyway. Checked here, under the lock the hand-over of the
  // channel takes, so that no such read follows the next holder's requests.
  if (request.kind == Kind::Read && request.enabling != request.owner->enabling.load()) return true;
  return SendLocked(request, address, command);
}

bool DeviceLink::SendLocked(const Request& request, unsigned int address,
                            const std::shared_ptr<OrvaneCommand>& command) {
  std::deque<Request>& queue = pending[address];
  queue.push_back(request);
  if (!orvane::SendCommand(device, OrvaneCommands(command), address)) {
    queue.pop_back();
    return false;
  }
  if (request.kind == Kind::Write) {
    unconfirmed[ChannelKey(address, request.channelMask)].push_back(request.answerDue);
  }
  return true;
}

void DeviceLink::CountAnswer(unsigned int address, Kind kind, const OrvaneCommand& command) {
  if (kind == Kind::Write) {
    // The device answers the writes of a channel in the order they were
    // made: this answers the oldest one. A block of relay commands that the
    // relay took leaves an answer there.
    const auto* write = dynamic_cast<const GCCCommandZorelTEDSWriteResponse*>(&command);
    if (!write) return;
    auto found = unconfirmed.find(ChannelKey(address, write->GetChannelMask()));
    if (found == unconfirmed.end() || found->second.empty()) return;
    const bool answerDue = found->second.front();
    found->second.pop_front();
    if (members.empty()) KeepWhileUnconfirmed();
    if (!answerDue || !write->GetSuccess()) return;
    std::lock_guard<std::mutex> unreadGuard(UnreadMutex());
    ++Unread(device, address, write->GetChannelMask());
    return;
  }
  if (kind != Kind::Read) return;
  // A read that brings bytes has taken the oldest answer the relay held.
  const auto* read = dynamic_cast<const GCCCommandZorelTEDSReadResponse*>(&command);
  if (!read || read->GetData().empty()) return;
  std::lock_guard<std::mutex> unreadGuard(UnreadMutex());
  uint32_t& unread = Unread(device, address, read->GetChannelMask());
  if (unread > 0) --unread;
}

void DeviceLink::KeepWhileUnconfirmed() {
  const bool due = std::any_of(unconfirmed.begin(), unconfirmed.end(), [](const auto& channel) {
    return std::find(channel.second.begin(), channel.second.end(), true) != channel.second.end();
  });
  if (!due) {
    // Callers hold a handle of their own, so this is never the last.
    keepAlive.reset();
  } else if (!keepAlive) {
    keepAlive = shared_from_this();
  }
}

uint32_t DeviceLink::UnreadAnswers(const ZorelOneWireMaster* member) {
  std::lock_guard<std::mutex> guard(mutex);
  // Asked once the member's handshake is done: the device has answered every
  // earlier write of the channel by then, so a write still unanswered was
  // dropped (its device was detached) and the relay never took it.
  unconfirmed.erase(ChannelKey(member->GetAddress(), member->GetChannelMask()));
  std::lock_guard<std::mutex> unreadGuard(UnreadMutex());
  return Unread(device, member->GetAddress(), member->GetChannelMask());
}

void DeviceLink::ForgetUnreadAnswers(const ZorelOneWireMaster* member) {
  std::lock_guard<std::mutex> unreadGuard(UnreadMutex());
  Unread(device, member->GetAddress(), member->GetChannelMask()) = 0;
}

bool DeviceLink::Claim(ZorelOneWireMaster* member) {
  std::lock_guard<std::mutex> guard(mutex);
  const unsigned int address = member->GetAddress();
  const uint8_t mask = member->GetChannelMask();
  Channel& channel = channels[ChannelKey(address, mask)];
  if (channel.holder && channel.holder != member) {
    if (std::find(channel.waiting.begin(), channel.waiting.end(), member) ==
        channel.waiting.end()) {
      channel.waiting.push_back(member);
    }
    return false;
  }
  channel.holder = member;
  enabled.insert(member);
  // What earlier work left on the channel will not be answered to anybody
  // who still waits for it: the records of masters gone, and those of an
  // enabling that is over. An answer still on its way comes before the
  // answer to the holder's first request, and then finds no record.
  auto found = pending.find(address);
  if (found != pending.end()) {
    std::deque<Request>& queue = found->second;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const Request& r) {
                                 return r.channelMask == mask &&
                                        (!r.owner || r.enabling != r.owner->enabling.load());
                               }),
                queue.end());
  }
  return true;
}

bool DeviceLink::Disable(ZorelOneWireMaster* member) {
  std::lock_guard<std::mutex> guard(mutex);
  bool sent = true;
  // Mode 0 is device-wide: only the last enabled master takes the device
  // back to it, and before the next master of the channel starts.
  if (enabled.erase(member) == 1 && enabled.empty() && members.count(member) == 1) {
    sent = SendLocked(Request{member, member->enabling.load(), Kind::ServiceMode, false, 0, false},
                      member->GetAddress(),
                      std::make_shared<ServiceSetOperatingModeRequest>(ServiceOperatingMode(0)));
  }
  HandOver(member);
  return sent;
}

void DeviceLink::Expire(ZorelOneWireMaster* member) {
  std::lock_guard<std::mutex> guard(mutex);
  DropExpendable(member);
}

void DeviceLink::DropExpendable(const ZorelOneWireMaster* member) {
  for (auto& byAddress : pending) {
    std::deque<Request>& queue = byAddress.second;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [member](const Request& r) {
                                 return r.owner == member && Expendable(r);
                               }),
                queue.end());
  }
}

bool DeviceLink::Waiting(const ZorelOneWireMaster* member) {
  std::lock_guard<std::mutex> guard(mutex);
  auto found = channels.find(ChannelKey(member->GetAddress(), member->GetChannelMask()));
  if (found == channels.end()) return false;
  const std::deque<ZorelOneWireMaster*>& line = found->second.waiting;
  return std::find(line.begin(), line.end(), member) != line.end();
}

void DeviceLink::HandOver(ZorelOneWireMaster* member) {
  const unsigned int address = member->GetAddress();
  const uint8_t mask = member->GetChannelMask();
  auto found = channels.find(ChannelKey(address, mask));
  if (found == channels.end()) return;
  Channel& channel = found->second;
  channel.waiting.erase(std::remove(channel.waiting.begin(), channel.waiting.end(), member),
                        channel.waiting.end());
  if (channel.holder != member) return;
  channel.holder = nullptr;
  while (!channel.waiting.empty()) {
    ZorelOneWireMaster* next = channel.waiting.front();
    channel.waiting.pop_front();
    // The next master's handshake starts here, as its own Enable would start
    // it: its set-mode request, under its current enabling. Its answer
    // reaches the master, which goes on from there.
    const Request request{next, next->enabling.load(), Kind::SetMode, false, mask, false};
    if (SendLocked(request, address,
                   std::make_shared<GCCCommandZorelTEDSSetModeRequest>(mask, next->tedsMode))) {
      channel.holder = next;
      enabled.insert(next);
      return;
    }
    // The device library refused it (the device is gone): that master cannot
    // come up; the channel goes on down the line.
    next->handshakeRefused = true;
  }
  channels.erase(found);
}

bool DeviceLink::KindOf(const OrvaneCommand& command, Kind& kind) {
  const OrvaneCommandGroups group = command.GetGroup();
  if (group == OrvaneCommandGroups::Service) {
    kind = Kind::ServiceMode;
    return command.GetType() == ServiceSetOperatingModeResponse::TYPE;
  }
  if (group != OrvaneCommandGroups::GCC) return false;
  const auto* gcc = dynamic_cast<const GCCCommand*>(&command);
  if (!gcc || gcc->GetVersion() != GCCCommand::VERSION ||
      gcc->GetVendorID() != GCCCommand::VENDOR_ID) {
    return false;
  }
  const auto* zorel = dynamic_cast<const GCCCommandZorel*>(gcc);
  if (!zorel || zorel->GetCommandClass() != GCCCommandZorel::CLASS_TEDS) return false;
  switch (zorel->GetOperation()) {
    case GCCCommandZorel::TEDS_SET_MODE:
      kind = Kind::SetMode;
      return true;
    case GCCCommandZorel::TEDS_WRITE:
      kind = Kind::Write;
      return true;
    case GCCCommandZorel::TEDS_READ:
      kind = Kind::Read;
      return true;
    default:
      return false;
  }
}

namespace {

// The channel mask a TEDS answer names; false when the answer is not one of
// the three response classes (its channel is then unknown).
bool ChannelOf(const OrvaneCommand& command, uint8_t& mask) {
  if (const auto* set = dynamic_cast<const GCCCommandZorelTEDSSetModeResponse*>(&command)) {
    mask = set->GetChannelMask();
  } else if (const auto* write = dynamic_cast<const GCCCommandZorelTEDSWriteResponse*>(&command)) {
    mask = write->GetChannelMask();
  } else if (const auto* read = dynamic_cast<const GCCCommandZorelTEDSReadResponse*>(&command)) {
    mask = read->GetChannelMask();
  } else {
    return false;
  }
  return true;
}

// A service answer that says mode 4 cannot answer a mode 0 request. (One
// that says 0 may come from a library that does not fill the mode in.)
bool SaysTEDSMode(const OrvaneCommand& command) {
  const auto* response = dynamic_cast<const ServiceSetOperatingModeResponse*>(&command);
  return response && response->GetMode() == ServiceOperatingMode::TEDS;
}

}  // namespace

bool DeviceLink::TakeOwner(unsigned int address, Kind kind, const OrvaneCommand& command,
                           Request& request) {
  auto found = pending.find(address);
  if (found == pending.end()) return false;
  std::deque<Request>& queue = found->second;
  uint8_t mask = 0;
  const bool named = kind != Kind::ServiceMode && ChannelOf(command, mask);
  const bool mode4 = kind == Kind::ServiceMode && SaysTEDSMode(command);
  for (std::size_t i = 0; i < queue.size();) {
    const Request& candidate = queue[i];
    if (candidate.kind != kind || (named && candidate.channelMask != mask)) {
      ++i;
      continue;
    }
    if (mode4 && !candidate.tedsServiceMode) {
      // That mode 0 request was dropped: its answer would have come first.
      queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    request = candidate;
    queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(i));
    return request.owner != nullptr;
  }
  return false;  // nobody here asked: not ours
}

void DeviceLink::Received(unsigned int address, const std::vector<OrvaneCommands>& commands) {
  for (const OrvaneCommands& entry : commands) {
    if (!entry.GetIsResponse()) continue;
    const std::shared_ptr<OrvaneCommand> command = entry.GetCommand();
    Kind kind;
    if (!command || !KindOf(*command, kind)) continue;
    Request request{};
    {
      std::lock_guard<std::mutex> guard(mutex);
      CountAnswer(address, kind, *command);
      if (!TakeOwner(address, kind, *command, request)) continue;
      calls.emplace_back(request.owner, std::this_thread::get_id());
    }
    Deliver(request, *command);
  }
}

void DeviceLink::Deliver(const Request& request, const OrvaneCommand& command) {
  // No lock of the link is held while the master works: it sends requests.
  try {
    request.owner->Answered(request, command);
  } catch (...) {
    // The callback thread must go on serving; the master reports its own
    // failures, and nothing else may leave into the device library.
  }
  std::lock_guard<std::mutex> guard(mutex);
  const auto call = std::make_pair(request.owner, std::this_thread::get_id());
  calls.erase(std::find(calls.begin(), calls.end(), call));
  idle.notify_all();
}

#include "devicelink/DeviceLink.h"

#include <algorithm>

#include "devicelink/ZorelOneWireMaster.h"

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

}  // namespace

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
  return link;
}

void DeviceLink::Leave(ZorelOneWireMaster* member) {
  std::unique_lock<std::mutex> guard(mutex);
  members.erase(member);
  enabled.erase(member);
  if (members.empty()) {
    // Nobody is left to be confused by an answer. Forget what is on its way
    // rather than wait for it: the device library drops the requests of a
    // device detached meanwhile, and a record that is never answered would
    // take the answer of a later master's request.
    pending.clear();
  }
  for (auto& byAddress : pending) {
    for (std::deque<Request>& queue : byAddress.second) {
      for (Request& request : queue) {
        if (request.owner == member) request.owner = nullptr;
      }
    }
  }
  // On the delivering thread the delivery is the caller itself.
  if (deliveringThread == std::this_thread::get_id()) return;
  idle.wait(guard, [&] { return delivering != member; });
}

bool DeviceLink::Send(const Request& request, unsigned int address,
                      const std::shared_ptr<OrvaneCommand>& command) {
  // Recording and sending in one step keeps the queues in request order when
  // several masters (and their poll threads) send at once.
  std::lock_guard<std::mutex> guard(mutex);
  // A master that has left (it is shutting down) sends nothing more: an
  // answer would find it gone. There is nobody to tell, so say it went.
  if (members.count(request.owner) == 0) return true;
  std::deque<Request>& queue = pending[address][static_cast<std::size_t>(request.kind)];
  queue.push_back(request);
  if (orvane::SendCommand(device, OrvaneCommands(command), address)) return true;
  queue.pop_back();
  return false;
}

bool DeviceLink::SetEnabled(ZorelOneWireMaster* member, bool on) {
  std::lock_guard<std::mutex> guard(mutex);
  if (on) {
    enabled.insert(member);
  } else {
    enabled.erase(member);
  }
  return enabled.empty() || (enabled.size() == 1 && enabled.count(member) == 1);
}

bool DeviceLink::KindOf(const OrvaneCommand& command, Kind& kind) {
  const auto group = static_cast<uint8_t>(command.GetGroup());
  if (group == kServiceGroup) {
    kind = Kind::ServiceMode;
    return command.GetType() == kServiceModeResponseType;
  }
  if (group != kGCCGroup) return false;
  const auto* gcc = dynamic_cast<const GCCCommand*>(&command);
  if (!gcc || gcc->GetVersion() != kGCCVersion || gcc->GetVendorID() != kGCCVendor) return false;
  const auto* zorel = dynamic_cast<const GCCCommandZorel*>(gcc);
  if (!zorel || zorel->GetCommandClass() != kTEDSClass) return false;
  switch (zorel->GetOperation()) {
    case kTEDSSetMode:
      kind = Kind::SetMode;
      return true;
    case kTEDSWrite:
      kind = Kind::Write;
      return true;
    case kTEDSRead:
      kind = Kind::Read;
      return true;
    default:
      return false;
  }
}

bool DeviceLink::TakeOwner(unsigned int address, Kind kind, Request& request) {
  auto found = pending.find(address);
  if (found == pending.end()) return false;
  std::deque<Request>& queue = found->second[static_cast<std::size_t>(kind)];
  if (queue.empty()) return false;  // nobody here asked: not ours
  request = queue.front();
  queue.pop_front();
  return request.owner != nullptr;
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
      if (!TakeOwner(address, kind, request)) continue;
      delivering = request.owner;
      deliveringThread = std::this_thread::get_id();
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
  delivering = nullptr;
  deliveringThread = std::thread::id();
  idle.notify_all();
}

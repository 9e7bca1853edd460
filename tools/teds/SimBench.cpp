#include "tools/teds/SimBench.h"

#include <mutex>
#include <ostream>
#include <sstream>
#include <vector>

#include "orvane/OrvaneBackend.h"
#include "relay/RelayProtocol.h"
#include "simdevice/SimDevice.h"
#include "text/HexText.h"

namespace {

// The relay command that opens a block tells what the block is for.
const char* PhaseOf(const std::vector<uint8_t>& block) {
  if (block.empty()) return "relay";
  switch (block[0]) {
    case RelayProtocol::CMD_RESET: return "configuration";
    case RelayProtocol::CMD_DATA_SEARCH_STATE:
    case RelayProtocol::CMD_ML_RESET: return "search";
    case RelayProtocol::CMD_DATA_ID: return "reading";
    default: return "relay";
  }
}

}  // namespace

std::string TrafficNote(const orvane::TrafficEvent& event, unsigned int pollMs,
                        std::string& phase) {
  std::ostringstream note;
  const char* outcome = event.success ? "done" : "refused";
  switch (event.kind) {
    case orvane::TrafficKind::ServiceMode:
      note << "handshake: service operating mode " << unsigned(event.mode);
      if (event.response) note << ' ' << outcome;
      else note << " requested";
      break;
    case orvane::TrafficKind::TEDSSetMode:
      note << "handshake: TEDS mode ";
      if (event.response) note << outcome;
      else note << unsigned(event.mode) << " requested for channel mask 0x"
                << orvtext::HexByte(event.channelMask);
      break;
    case orvane::TrafficKind::TEDSWrite:
      if (event.response) {
        if (event.success) return std::string();
        note << phase << ": the device refused the write";
        break;
      }
      if (RelayProtocol::IsPollBlock(event.bytes)) {
        note << phase << ": polling the relay again";
      } else {
        phase = PhaseOf(event.bytes);
        note << phase << ": transfer sent (" << event.bytes.size() << " bytes)";
      }
      break;
    case orvane::TrafficKind::TEDSRead:
      if (!event.response) {
        note << phase << ": waiting for the relay's answer (" << pollMs << " ms pause)";
      } else if (!event.success) {
        note << phase << ": the device refused the read";
      } else if (event.bytes.empty()) {
        note << phase << ": the relay has no answer yet";
      } else {
        note << phase << ": answer received (" << event.bytes.size() << " bytes)";
      }
      break;
    default:
      return std::string();
  }
  return note.str();
}

// Progress notes from the device library's traffic to one device.
class SimBench::Progress : public orvane::TrafficObserver {
 public:
  Progress(std::ostream& err, const std::wstring& device, unsigned int address,
           unsigned int pollMs)
      : err(err), device(device), address(address), pollMs(pollMs) {}

  void Observe(const orvane::TrafficEvent& event) override {
    if (event.device != device || event.address != address) return;
    const std::string note = TrafficNote(event, pollMs, phase);
    if (note.empty()) return;
    std::lock_guard<std::mutex> guard(mutex);
    err << "teds: " << note << '\n';
    err.flush();
  }

 private:
  std::ostream& err;
  const std::wstring device;
  const unsigned int address;
  const unsigned int pollMs;
  std::mutex mutex;
  std::string phase = "relay";  // touched on the callback thread only
};

TrafficObserving::TrafficObserving(std::shared_ptr<orvane::TrafficObserver> observer)
    : observer(std::move(observer)) {
  orvane::AddTrafficObserver(this->observer);
}

TrafficObserving::~TrafficObserving() { orvane::RemoveTrafficObserver(observer); }

SimBench::SimBench() = default;
// The notes stop before the device is detached.
SimBench::~SimBench() = default;

bool SimBench::Load(bool builtIn, const std::string& path, const char* who, std::ostream& err) {
  if (!builtIn && path.empty()) {
    err << who << ": --bench: no file name given (leave out --bench for the built-in bench)\n";
    return false;
  }
  try {
    std::vector<std::string> warnings;
    bench = builtIn ? simdevice::DefaultBench() : simdevice::LoadBench(path, &warnings);
    for (const std::string& warning : warnings) err << who << ": warning: " << warning << '\n';
    return true;
  } catch (const std::exception& e) {
    err << who << ": " << e.what() << '\n';
    return false;
  }
}

DeviceTarget SimBench::Defaults() const {
  DeviceTarget target;
  target.device = bench.name;
  target.address = bench.address;
  if (!bench.channels.empty()) target.channel = bench.channels[0].channel;
  return target;
}

bool SimBench::Attach() {
  device = simdevice::SimDevice::Create(bench);
  attachment = std::make_unique<simdevice::SimAttachment>(device);
  return attachment->IsAttached();
}

void SimBench::NoteTraffic(std::ostream& err, const DeviceTarget& target, unsigned int pollMs) {
  registration = std::make_unique<TrafficObserving>(
      std::make_shared<Progress>(err, target.device, target.address, pollMs));
}

simdevice::SimDevice& SimBench::Device() { return *device; }

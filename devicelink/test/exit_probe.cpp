// A module whose static objects end a query that is still under way when the
// process exits, as a host's DLL may: the poll thread of a master waits its
// pause and the device library's callback thread is inside a device that
// never answers. On Windows, exit ends those threads before this module's
// static destructors run under the loader lock; destroying the master and
// detaching the devices must then neither wait for the threads nor end the
// process. exit_host runs it.
#include <windows.h>

#include <chrono>
#include <memory>
#include <vector>

#include "devicelink/ZorelOneWireMaster.h"
#include "orvane/OrvaneBackend.h"
#include "simdevice/BenchReader.h"
#include "simdevice/SimDevice.h"
#include "teds/TEDSInterface.h"

namespace {

const wchar_t kStuck[] = L"STUCK";
const DWORD kSettleMs = 60000;

// Holds the callback thread for good once it asks. Plain Windows events: the
// thread is ended while it waits, and must then hold no lock of the runtime
// (a first wait on a C++ condition variable allocates).
class StuckBackend : public orvane::DeviceBackend {
 public:
  StuckBackend()
      : entered(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        never(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  std::vector<OrvaneCommands> HandleRequest(const std::wstring&, unsigned int,
                                            const OrvaneCommands&) override {
    SetEvent(entered);
    for (;;) WaitForSingleObject(never, INFINITE);
  }
  const HANDLE entered;
  const HANDLE never;
};

// Sees the relay's first write confirmed: its read is due after the pause.
class WriteWatch : public orvane::TrafficObserver {
 public:
  WriteWatch() : confirmed(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  void Observe(const orvane::TrafficEvent& event) override {
    if (event.response && event.kind == orvane::TrafficKind::TEDSWrite) SetEvent(confirmed);
  }
  const HANDLE confirmed;
};

struct Query {
  std::shared_ptr<simdevice::SimDevice> device;
  std::unique_ptr<ZorelOneWireMaster> master;
  std::unique_ptr<TEDSInterface> teds;

  ~Query() {
    teds.reset();
    master.reset();
    if (device) device->Detach();
    orvane::DetachDevice(kStuck, 1);
  }
} query;

}  // namespace

extern "C" __declspec(dllexport) int exit_probe_start() {
  query.device = simdevice::SimDevice::Create(simdevice::DefaultBench());
  if (!query.device->Attach()) return 1;
  const auto watch = std::make_shared<WriteWatch>();
  orvane::AddTrafficObserver(watch);
  query.master = std::make_unique<ZorelOneWireMaster>(L"SIM-DAQ", 1, 0, ZorelDAQTEDSMode(1),
                                                      std::chrono::seconds(600));
  query.teds = std::make_unique<TEDSInterface>(*query.master);
  query.teds->Query();
  if (WaitForSingleObject(watch->confirmed, kSettleMs) != WAIT_OBJECT_0) return 2;
  orvane::RemoveTrafficObserver(watch);
  // The confirmation has reached the master, which has started its poll
  // thread; the pause lets that thread reach its wait (exit must not end it
  // inside the runtime's allocator, whose lock the destructors need).
  if (!orvane::Flush(std::chrono::milliseconds(kSettleMs))) return 3;
  Sleep(500);

  const auto stuck = std::make_shared<StuckBackend>();
  if (!orvane::AttachDevice(kStuck, 1, stuck)) return 4;
  const OrvaneCommands request(
      std::make_shared<ServiceSetOperatingModeRequest>(ServiceOperatingMode(0)));
  if (!orvane::SendCommand(kStuck, request, 1)) return 5;
  return WaitForSingleObject(stuck->entered, kSettleMs) == WAIT_OBJECT_0 ? 0 : 6;
}

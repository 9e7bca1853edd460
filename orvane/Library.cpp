#include <algorithm>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "orvane/Orvane.h"
#include "orvane/OrvaneBackend.h"

#if defined(_WIN32)
#include <windows.h>
#endif

// The library's dispatcher: one queue of requests and one callback thread that
// hands each request to its device, shows it and its answers to the traffic
// observers, and delivers the answers to the listeners of the device name.
//
// Every user call (backend, observer, listener) runs on the callback thread
// with the lock released. `running` names the object being called, so that a
// removal from another thread can wait for that call to end; the registration
// is checked again under the lock right before every call, so that nothing
// reaches an object once its removal has returned.

namespace orvane {

StreamListener::StreamListener() = default;
StreamListener::~StreamListener() = default;
void StreamListener::StatusUpdate(const std::wstring&, unsigned int, int) {}
void StreamListener::Received(const std::wstring&, unsigned int, const std::vector<uint8_t>&) {}
void StreamListener::ReceivedCommands(const std::wstring&, unsigned int, uint64_t,
                                      const std::shared_ptr<std::vector<OrvaneCommands>>&) {}
void StreamListener::SendConfig(const std::wstring&, unsigned int) {}
void StreamListener::SendCommand(const std::wstring&, unsigned int, const OrvaneCommands&) {}
void StreamListener::ProgressUpdate(const std::wstring&, unsigned int, unsigned int) {}
void StreamListener::ReceivedServiceResponse(const std::wstring&, unsigned int,
                                             const std::shared_ptr<OrvaneCommand>&) {}

DeviceBackend::DeviceBackend() = default;
DeviceBackend::~DeviceBackend() = default;
TrafficObserver::TrafficObserver() = default;
TrafficObserver::~TrafficObserver() = default;

TrafficEvent::TrafficEvent()
    : response(false),
      sequence(0),
      address(0),
      kind(TrafficKind::Other),
      channelMask(0),
      mode(0),
      success(true) {}

namespace {

// Fills kind, channel mask, mode, success and bytes from the command.
void Classify(const OrvaneCommand* command, TrafficEvent& event) {
  if (command == nullptr) return;
  if (auto* r = dynamic_cast<const ServiceSetOperatingModeRequest*>(command)) {
    event.kind = TrafficKind::ServiceMode;
    event.mode = static_cast<uint8_t>(r->GetMode());
  } else if (auto* s = dynamic_cast<const ServiceSetOperatingModeResponse*>(command)) {
    event.kind = TrafficKind::ServiceMode;
    event.mode = static_cast<uint8_t>(s->GetMode());
    event.success = s->GetSuccess();
  } else if (auto* m = dynamic_cast<const GCCCommandZorelTEDSSetModeRequest*>(command)) {
    event.kind = TrafficKind::TEDSSetMode;
    event.channelMask = m->GetChannelMask();
    event.mode = static_cast<uint8_t>(m->GetMode());
  } else if (auto* n = dynamic_cast<const GCCCommandZorelTEDSSetModeResponse*>(command)) {
    event.kind = TrafficKind::TEDSSetMode;
    event.channelMask = n->GetChannelMask();
    event.success = n->GetSuccess();
  } else if (auto* w = dynamic_cast<const GCCCommandZorelTEDSWriteRequest*>(command)) {
    event.kind = TrafficKind::TEDSWrite;
    event.channelMask = w->GetChannelMask();
    event.bytes = w->GetData();
  } else if (auto* x = dynamic_cast<const GCCCommandZorelTEDSWriteResponse*>(command)) {
    event.kind = TrafficKind::TEDSWrite;
    event.channelMask = x->GetChannelMask();
    event.success = x->GetSuccess();
  } else if (auto* q = dynamic_cast<const GCCCommandZorelTEDSReadRequest*>(command)) {
    event.kind = TrafficKind::TEDSRead;
    event.channelMask = q->GetChannelMask();
  } else if (auto* a = dynamic_cast<const GCCCommandZorelTEDSReadResponse*>(command)) {
    event.kind = TrafficKind::TEDSRead;
    event.channelMask = a->GetChannelMask();
    event.success = a->GetSuccess();
    event.bytes = a->GetData();
  }
}

struct Request {
  uint64_t sequence;
  std::wstring device;
  unsigned int address;
  OrvaneCommands commands;
};

using DeviceKey = std::pair<std::wstring, unsigned int>;

// True once the process is ending under the callback thread: on Windows,
// when ExitProcess has ended every other thread and the loader runs the DLLs'
// detach code (static destructors of DLLs, under the loader lock). The
// callback thread is gone then, perhaps in the middle of a call and holding
// the lock, so a removal must neither lock nor wait for it, nor join it.
// Looked up on every call: a lazily built static would take the runtime's
// lock for statics, which an ended thread may hold.
bool ProcessIsEnding() {
#if defined(_WIN32)
  using Query = BOOLEAN(WINAPI*)();
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress");
  if (found == nullptr) return false;
  return reinterpret_cast<Query>(reinterpret_cast<void (*)()>(found))() != 0;
#else
  return false;
#endif
}

class Library {
 public:
  // Never destroyed: a process may end with devices still attached, so
  // nothing may depend on static destruction joining the callback thread.
  // The thread runs only while a device is attached (requests are queued
  // only for attached devices): a thread still parked or ending at process
  // exit can keep the process from ending (seen on Windows, where exit kills
  // it wherever it stands).
  static Library& Get() {
    static Library* library = new Library();
    return *library;
  }

  bool Attach(const DeviceKey& key, const std::shared_ptr<DeviceBackend>& backend) {
    if (!backend) return false;
    std::lock_guard<std::mutex> lock(mutex);
    if (!devices.emplace(key, backend).second) return false;
    if (!worker.joinable()) {
      worker = std::thread(&Library::Run, this, generation);
    }
    return true;
  }

  bool Detach(const DeviceKey& key) {
    // Nothing is delivered any more, and the thread that would be waited for
    // is gone.
    if (ProcessIsEnding()) return true;
    std::unique_lock<std::mutex> lock(mutex);
    auto found = devices.find(key);
    if (found == devices.end()) return false;
    const void* backend = found->second.get();
    devices.erase(found);
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [&](const Request& r) {
                                 return r.device == key.first && r.address == key.second;
                               }),
                queue.end());
    doneCv.notify_all();
    WaitFor(lock, backend);
    if (devices.empty()) StopWorker(lock);
    return true;
  }

  void AddListener(const std::shared_ptr<StreamListener>& listener, const std::wstring& device) {
    if (!listener) return;
    std::lock_guard<std::mutex> lock(mutex);
    auto& list = listeners[device];
    if (std::find(list.begin(), list.end(), listener) == list.end()) list.push_back(listener);
  }

  void RemoveListener(const std::shared_ptr<StreamListener>& listener, const std::wstring& device) {
    if (!listener || ProcessIsEnding()) return;
    std::unique_lock<std::mutex> lock(mutex);
    auto found = listeners.find(device);
    if (found == listeners.end()) return;
    auto& list = found->second;
    list.erase(std::remove(list.begin(), list.end(), listener), list.end());
    if (list.empty()) listeners.erase(found);
    WaitFor(lock, listener.get());
  }

  void AddObserver(const std::shared_ptr<TrafficObserver>& observer) {
    if (!observer) return;
    std::lock_guard<std::mutex> lock(mutex);
    if (std::find(observers.begin(), observers.end(), observer) == observers.end()) {
      observers.push_back(observer);
    }
  }

  void RemoveObserver(const std::shared_ptr<TrafficObserver>& observer) {
    if (!observer || ProcessIsEnding()) return;
    std::unique_lock<std::mutex> lock(mutex);
    observers.erase(std::remove(observers.begin(), observers.end(), observer), observers.end());
    WaitFor(lock, observer.get());
  }

  bool Send(const std::wstring& device, const OrvaneCommands& commands, unsigned int address) {
    std::lock_guard<std::mutex> lock(mutex);
    if (devices.find(DeviceKey(device, address)) == devices.end()) return false;
    queue.push_back(Request{++lastSequence, device, address, commands});
    workCv.notify_one();
    return true;
  }

  bool Flush(std::chrono::milliseconds timeout) {
    if (ProcessIsEnding()) return false;
    std::unique_lock<std::mutex> lock(mutex);
    if (OnWorker()) return false;
    const uint64_t last = lastSequence;
    return doneCv.wait_for(lock, timeout, [&] {
      return (queue.empty() || queue.front().sequence > last) &&
             (processing == 0 || processing > last);
    });
  }

 private:
  Library() = default;

  // True on a callback thread, also on one that StopWorker has let go of and
  // that is still finishing its last call.
  static bool OnWorker() { return onCallbackThread; }

  // Waits while the callback thread is inside a call of `target`. On the
  // callback thread that call is the caller itself (or none), so it returns.
  void WaitFor(std::unique_lock<std::mutex>& lock, const void* target) {
    if (OnWorker()) return;
    doneCv.wait(lock, [&] { return running != target; });
  }

  // Runs `body` on `target` with the lock released, if `registered` still
  // holds. Exceptions of user code end that call only: the callback thread
  // must keep serving the other devices and listeners.
  template <typename Registered, typename Body>
  void Call(std::unique_lock<std::mutex>& lock, const void* target, Registered registered,
            Body body) {
    if (!registered()) return;
    running = target;
    lock.unlock();
    try {
      body();
    } catch (...) {
    }
    lock.lock();
    running = nullptr;
    doneCv.notify_all();
  }

  // The last device is gone: the callback thread ends, and a later Attach
  // starts a new one. It is joined here, not left to end on its own: a
  // thread still ending when the process exits can keep the process from
  // ending (seen on Windows, where exit kills it wherever it stands, even
  // inside the runtime's thread shutdown). Only the callback thread itself,
  // detaching the last device from a callback, lets go of it instead.
  void StopWorker(std::unique_lock<std::mutex>& lock) {
    if (!worker.joinable()) return;
    const bool onWorker = OnWorker();
    ++generation;
    std::thread ending = std::move(worker);
    workCv.notify_all();
    if (onWorker) {
      ending.detach();
      return;
    }
    lock.unlock();
    ending.join();
    lock.lock();
  }

  // Serves requests until StopWorker ends this thread's generation.
  void Run(uint64_t ownGeneration) {
    onCallbackThread = true;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      workCv.wait(lock, [&] { return !queue.empty() || ownGeneration != generation; });
      if (ownGeneration != generation) return;
      Request request = std::move(queue.front());
      queue.pop_front();
      processing = request.sequence;
      Handle(lock, request);
      processing = 0;
      doneCv.notify_all();
    }
  }

  void Handle(std::unique_lock<std::mutex>& lock, const Request& request) {
    const DeviceKey key(request.device, request.address);
    auto found = devices.find(key);
    if (found == devices.end()) return;
    const std::shared_ptr<DeviceBackend> backend = found->second;
    auto attached = [&] {
      auto now = devices.find(key);
      return now != devices.end() && now->second == backend;
    };

    Observe(lock, MakeEvent(request, request.commands, false));

    std::vector<OrvaneCommands> answers;
    Call(lock, backend.get(), attached, [&] {
      answers = backend->HandleRequest(request.device, request.address, request.commands);
    });
    // A device detached while it was answering sends nothing more.
    if (answers.empty() || !attached()) return;

    for (const OrvaneCommands& answer : answers) Observe(lock, MakeEvent(request, answer, true));
    Deliver(lock, request, std::make_shared<std::vector<OrvaneCommands>>(std::move(answers)));
  }

  static TrafficEvent MakeEvent(const Request& request, const OrvaneCommands& entry,
                                bool response) {
    TrafficEvent event;
    event.response = response;
    event.sequence = request.sequence;
    event.device = request.device;
    event.address = request.address;
    event.command = entry.GetCommand();
    Classify(event.command.get(), event);
    return event;
  }

  void Observe(std::unique_lock<std::mutex>& lock, const TrafficEvent& event) {
    const std::vector<std::shared_ptr<TrafficObserver>> snapshot = observers;
    for (const auto& observer : snapshot) {
      Call(
          lock, observer.get(),
          [&] {
            return std::find(observers.begin(), observers.end(), observer) != observers.end();
          },
          [&] { observer->Observe(event); });
    }
  }

  void Deliver(std::unique_lock<std::mutex>& lock, const Request& request,
               const std::shared_ptr<std::vector<OrvaneCommands>>& answers) {
    auto found = listeners.find(request.device);
    if (found == listeners.end()) return;
    const std::vector<std::shared_ptr<StreamListener>> snapshot = found->second;
    for (const auto& listener : snapshot) {
      Call(
          lock, listener.get(),
          [&] {
            auto now = listeners.find(request.device);
            return now != listeners.end() &&
                   std::find(now->second.begin(), now->second.end(), listener) != now->second.end();
          },
          [&] {
            listener->ReceivedCommands(request.device, request.address, request.sequence, answers);
          });
    }
  }

  std::mutex mutex;
  std::condition_variable workCv;  // a request was queued
  std::condition_variable doneCv;  // a call or a request ended, or requests were dropped
  std::deque<Request> queue;
  std::map<DeviceKey, std::shared_ptr<DeviceBackend>> devices;
  std::map<std::wstring, std::vector<std::shared_ptr<StreamListener>>> listeners;
  std::vector<std::shared_ptr<TrafficObserver>> observers;
  const void* running = nullptr;  // object the callback thread is calling
  uint64_t lastSequence = 0;      // number of the latest request
  uint64_t processing = 0;        // number of the request being handled, 0 when idle
  std::thread worker;
  uint64_t generation = 0;  // bumped each time the callback thread is told to end
  static thread_local bool onCallbackThread;
};

thread_local bool Library::onCallbackThread = false;

}  // namespace

void ConnectionAddListener(const std::shared_ptr<StreamListener>& listener,
                           const std::wstring& device) {
  Library::Get().AddListener(listener, device);
}

void ConnectionRemoveListener(const std::shared_ptr<StreamListener>& listener,
                              const std::wstring& device) {
  Library::Get().RemoveListener(listener, device);
}

bool SendCommand(const std::wstring& device, const OrvaneCommands& commands, unsigned int address) {
  return Library::Get().Send(device, commands, address);
}

bool AttachDevice(const std::wstring& device, unsigned int address,
                  const std::shared_ptr<DeviceBackend>& backend) {
  return Library::Get().Attach(DeviceKey(device, address), backend);
}

bool DetachDevice(const std::wstring& device, unsigned int address) {
  return Library::Get().Detach(DeviceKey(device, address));
}

void AddTrafficObserver(const std::shared_ptr<TrafficObserver>& observer) {
  Library::Get().AddObserver(observer);
}

void RemoveTrafficObserver(const std::shared_ptr<TrafficObserver>& observer) {
  Library::Get().RemoveObserver(observer);
}

bool Flush(std::chrono::milliseconds timeout) { return Library::Get().Flush(timeout); }

}  // namespace orvane

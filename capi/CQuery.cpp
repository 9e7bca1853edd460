// Queries for C hosts, through the device-link master or a DS2480B serial
// adapter: a handle owns the master and the interface and turns what the
// interface reports into C records for the host's callbacks and for a
// blocking run.
#include <chrono>
#include <functional>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "capi/CError.h"
#include "capi/CResults.h"
#include "capi/orvane_teds.h"
#include "devicelink/ZorelOneWireMaster.h"
#include "serial/DS2480BOneWireMaster.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSText.h"
#include "teds/TEDSTransducer.h"

namespace {

struct Callbacks {
  orvane_teds_transducer_callback onTransducer = nullptr;
  orvane_teds_text_callback onText = nullptr;
  orvane_teds_ended_callback onEnded = nullptr;
  void* user = nullptr;
};

// What one blocking run gathers.
struct Gathered {
  std::vector<std::string> texts;
  std::vector<std::shared_ptr<const capi::TransducerBox>> transducers;
};

// Receives the interface's reports on the device library's callback thread
// (or on the host's thread inside Query), hands them to the host's callbacks
// and to a waiting run, and tells when the query has ended.
class Reporter : public TEDSInterface::Listener, public TEDSInterface::CycleListener {
 public:
  // `stalled` tells whether the master can no longer come up.
  explicit Reporter(std::function<bool()> stalled) : stalled(std::move(stalled)) {}

  void SetCallbacks(const Callbacks& next) {
    // Taking the callback lock waits for a callback under way to return.
    std::lock_guard<std::recursive_mutex> guard(callbackLock);
    callbacks = next;
  }

  // How a blocking run ended.
  enum class Outcome { Ended, TimedOut, Stopped, Destroyed };

  // Marks the handle as running; false when it already was. `closed` is set
  // when the handle is being destroyed (nothing starts any more).
  bool Begin(Gathered* gather, bool& closed) {
    std::lock_guard<std::mutex> guard(mutex);
    closed = destroyed;
    if (destroyed || running) return false;
    running = true;
    interrupt = Outcome::Ended;
    gathered = gather;
    return true;
  }
  // Waits until the query ends, `timeout` passes, or a stop or destroy on
  // another thread interrupts the wait. Gathering goes on (the clean-up's
  // texts belong to the result) until EndGathering.
  Outcome Wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mutex);
    const bool woken = idle.wait_for(guard, timeout, [this] {
      return !running || interrupt != Outcome::Ended;
    });
    if (interrupt != Outcome::Ended) return interrupt;
    return woken ? Outcome::Ended : Outcome::TimedOut;
  }
  void EndGathering(const Gathered* mine) {
    std::lock_guard<std::mutex> guard(mutex);
    if (gathered == mine) gathered = nullptr;
  }
  // A stop (or, for good, a destroy): the query counts as ended now, so its
  // clean-up calls no ended callback, and a run waiting on another thread
  // wakes and says why.
  void Interrupt(Outcome why) {
    std::lock_guard<std::mutex> guard(mutex);
    if (why == Outcome::Destroyed) destroyed = true;
    if (!running) return;
    if (gathered && interrupt == Outcome::Ended) interrupt = why;
    running = false;
    idle.notify_all();
  }
  void Finish() {
    std::lock_guard<std::mutex> guard(mutex);
    running = false;
    idle.notify_all();
  }
  void TransducerFound(const TEDSTransducer& transducer) override {
    const auto box = std::make_shared<const capi::TransducerBox>(transducer);
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (gathered) gathered->transducers.push_back(box);
    }
    std::lock_guard<std::recursive_mutex> guard(callbackLock);
    if (!callbacks.onTransducer) return;
    capi::CallbackScope scope;
    callbacks.onTransducer(callbacks.user, &box->c);
  }

  void Error(const std::string& message) override {
    const std::string text = TEDSText::ToUtf8(message);
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (gathered) gathered->texts.push_back(text);
    }
    {
      std::lock_guard<std::recursive_mutex> guard(callbackLock);
      if (callbacks.onText) {
        capi::CallbackScope scope;
        callbacks.onText(callbacks.user, text.c_str());
      }
    }
    // A refused handshake (or a serial adapter that failed to start) leaves
    // the master Enabling: no cycle will start, so the query has ended here.
    if (stalled()) End(0);
  }

  void CycleEnded(std::size_t transducersReported) override { End(transducersReported); }

 private:
  void End(std::size_t reported) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (!running) return;
      running = false;
      idle.notify_all();
    }
    std::lock_guard<std::recursive_mutex> guard(callbackLock);
    if (!callbacks.onEnded) return;
    capi::CallbackScope scope;
    callbacks.onEnded(callbacks.user, reported);
  }

  const std::function<bool()> stalled;
  // Held while a host callback runs; recursive so that a callback may set
  // the callbacks of its own handle.
  std::recursive_mutex callbackLock;
  Callbacks callbacks;
  std::mutex mutex;  // guards running, gathered, interrupt and destroyed
  std::condition_variable idle;
  bool running = false;
  Gathered* gathered = nullptr;
  Outcome interrupt = Outcome::Ended;  // Ended: not interrupted
  bool destroyed = false;
};

}  // namespace

// One of the two masters; `bus` is the one in use.
struct orvane_teds_query {
  std::unique_ptr<ZorelOneWireMaster> master;
  std::unique_ptr<DS2480BOneWireMaster> serial;
  AbstractOneWireMaster* bus = nullptr;
  std::function<bool()> stalled;
  std::function<bool()> waitingForChannel;  // another handle holds the channel
  std::function<void()> shutdown;
  std::unique_ptr<TEDSInterface> teds;
  std::shared_ptr<Reporter> reporter;
  // The calls under way on the handle; destroy waits for them to leave.
  std::mutex callsMutex;
  std::condition_variable callsIdle;
  unsigned calls = 0;
  bool destroying = false;
};

namespace {

orvane_teds_status Refuse(const char* function, const char* problem) {
  return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(function) + ": " + problem);
}

orvane_teds_status RefuseInCallback(const char* function) {
  return capi::Fail(ORVANE_TEDS_BUSY, std::string(function) +
                                          ": not allowed inside a query callback (it would wait "
                                          "for the thread that runs the callback)");
}

// Counts a call on the handle for as long as it lives, so that destroy on
// another thread waits for it; `entered` is false once destroy has begun.
class CallOn {
 public:
  explicit CallOn(orvane_teds_query& query) : query(query) {
    std::lock_guard<std::mutex> guard(query.callsMutex);
    entered = !query.destroying;
    if (entered) ++query.calls;
  }
  ~CallOn() {
    if (!entered) return;
    std::lock_guard<std::mutex> guard(query.callsMutex);
    --query.calls;
    query.callsIdle.notify_all();
  }
  CallOn(const CallOn&) = delete;
  CallOn& operator=(const CallOn&) = delete;
  bool entered = false;

 private:
  orvane_teds_query& query;
};

orvane_teds_status RefuseDestroyed(const char* function) {
  return capi::Fail(ORVANE_TEDS_DESTROYED,
                    std::string(function) + ": the handle is being destroyed on another thread");
}

// Lets the device go back to its normal mode; ends a cycle still under way.
void Disable(orvane_teds_query& query) {
  query.bus->Enable(false);
  query.reporter->Finish();
}

// Starts one query cycle. A master whose handshake the device refused (or
// whose adapter failed to start) stays Enabling until it is disabled, so it
// is disabled first to try afresh.
void Query(orvane_teds_query& query) {
  if (query.stalled()) query.bus->Enable(false);
  query.teds->Query();
}

// Puts the interface and the reporter on the handle's master.
void Attach(orvane_teds_query& handle) {
  handle.reporter = std::make_shared<Reporter>(handle.stalled);
  handle.teds = std::make_unique<TEDSInterface>(*handle.bus);
  handle.teds->AddListener(handle.reporter);
  handle.teds->AddCycleListener(handle.reporter);
}

}  // namespace

extern "C" {

orvane_teds_status orvane_teds_query_create(const char* device, uint32_t address,
                                            uint32_t channel, uint32_t teds_mode,
                                            uint32_t poll_pause_ms, orvane_teds_query** query) {
  static const char kName[] = "orvane_teds_query_create";
  return capi::Guard(kName, [&] {
    if (!query) return Refuse(kName, "query is null");
    *query = nullptr;
    if (!device) return Refuse(kName, "device is null");
    std::wstring name;
    if (!TEDSText::Utf8ToWide(device, name)) return Refuse(kName, "device is not valid UTF-8");
    if (name.empty()) return Refuse(kName, "device is empty");
    if (teds_mode > 255) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(kName) + ": teds_mode " +
                                                          std::to_string(teds_mode) +
                                                          " is not a TEDS mode (0 to 255)");
    }
    auto handle = std::make_unique<orvane_teds_query>();
    try {
      handle->master = std::make_unique<ZorelOneWireMaster>(
          name, address, channel, ZorelDAQTEDSMode(static_cast<uint8_t>(teds_mode)),
          std::chrono::milliseconds(poll_pause_ms));
    } catch (const std::invalid_argument& e) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(kName) + ": " + e.what());
    }
    ZorelOneWireMaster* const link = handle->master.get();
    handle->bus = link;
    handle->stalled = [link] { return link->HandshakeRefused(); };
    handle->waitingForChannel = [link] { return link->WaitingForChannel(); };
    handle->shutdown = [link] { link->Shutdown(); };
    Attach(*handle);
    *query = handle.release();
    return ORVANE_TEDS_OK;
  });
}

orvane_teds_status orvane_teds_query_create_serial(const char* port, orvane_teds_query** query) {
  static const char kName[] = "orvane_teds_query_create_serial";
  return capi::Guard(kName, [&] {
    if (!query) return Refuse(kName, "query is null");
    *query = nullptr;
    if (!port) return Refuse(kName, "port is null");
    if (*port == '\0') return Refuse(kName, "port is empty");
    auto handle = std::make_unique<orvane_teds_query>();
    handle->serial = std::make_unique<DS2480BOneWireMaster>(port);
    DS2480BOneWireMaster* const adapter = handle->serial.get();
    handle->bus = adapter;
    handle->stalled = [adapter] { return adapter->StartFailed(); };
    handle->waitingForChannel = [] { return false; };
    handle->shutdown = [adapter] { adapter->Shutdown(); };
    Attach(*handle);
    *query = handle.release();
    return ORVANE_TEDS_OK;
  });
}

orvane_teds_status orvane_teds_query_create_serial_baud(const char* port, uint32_t baud,
                                                       orvane_teds_query** query) {
  static const char kName[] = "orvane_teds_query_create_serial_baud";
  return capi::Guard(kName, [&] {
    if (!query) return Refuse(kName, "query is null");
    *query = nullptr;
    if (baud != 9600 && baud != 19200 && baud != 57600 && baud != 115200) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT,
                        std::string(kName) + ": baud " + std::to_string(baud) +
                            " is not a rate of the adapter (9600, 19200, 57600, 115200)");
    }
    const orvane_teds_status status = orvane_teds_query_create_serial(port, query);
    if (status == ORVANE_TEDS_OK) (*query)->serial->SetBaudRate(baud);
    return status;
  });
}

orvane_teds_status orvane_teds_query_set_callbacks(orvane_teds_query* query,
                                                   orvane_teds_transducer_callback on_transducer,
                                                   orvane_teds_text_callback on_text,
                                                   orvane_teds_ended_callback on_ended,
                                                   void* user) {
  static const char kName[] = "orvane_teds_query_set_callbacks";
  return capi::Guard(kName, [&] {
    if (!query) return Refuse(kName, "query is null");
    CallOn call(*query);
    if (!call.entered) return RefuseDestroyed(kName);
    Callbacks callbacks;
    callbacks.onTransducer = on_transducer;
    callbacks.onText = on_text;
    callbacks.onEnded = on_ended;
    callbacks.user = user;
    query->reporter->SetCallbacks(callbacks);
    return ORVANE_TEDS_OK;
  });
}

orvane_teds_status orvane_teds_query_start(orvane_teds_query* query) {
  static const char kName[] = "orvane_teds_query_start";
  return capi::Guard(kName, [&] {
    if (!query) return Refuse(kName, "query is null");
    if (capi::InsideCallback()) return RefuseInCallback(kName);
    CallOn call(*query);
    if (!call.entered) return RefuseDestroyed(kName);
    bool closed = false;
    if (!query->reporter->Begin(nullptr, closed)) {
      if (closed) return RefuseDestroyed(kName);
      return capi::Fail(ORVANE_TEDS_BUSY, std::string(kName) + ": a query is already running");
    }
    Query(*query);
    return ORVANE_TEDS_OK;
  });
}

orvane_teds_status orvane_teds_query_stop(orvane_teds_query* query) {
  static const char kName[] = "orvane_teds_query_stop";
  return capi::Guard(kName, [&] {
    if (!query) return Refuse(kName, "query is null");
    if (capi::InsideCallback()) return RefuseInCallback(kName);
    CallOn call(*query);
    if (!call.entered) return RefuseDestroyed(kName);
    query->reporter->Interrupt(Reporter::Outcome::Stopped);
    Disable(*query);
    return ORVANE_TEDS_OK;
  });
}

orvane_teds_status orvane_teds_query_run(orvane_teds_query* query, uint32_t timeout_ms,
                                         orvane_teds_query_result** result) {
  static const char kName[] = "orvane_teds_query_run";
  return capi::Guard(kName, [&] {
    if (!result) return Refuse(kName, "result is null");
    *result = nullptr;
    if (!query) return Refuse(kName, "query is null");
    if (capi::InsideCallback()) return RefuseInCallback(kName);
    CallOn call(*query);
    if (!call.entered) return RefuseDestroyed(kName);
    Gathered gathered;
    bool closed = false;
    if (!query->reporter->Begin(&gathered, closed)) {
      if (closed) return RefuseDestroyed(kName);
      return capi::Fail(ORVANE_TEDS_BUSY, std::string(kName) + ": a query is already running");
    }
    Query(*query);
    const Reporter::Outcome outcome =
        query->reporter->Wait(std::chrono::milliseconds(timeout_ms));
    const bool neverGotTheChannel =
        outcome == Reporter::Outcome::TimedOut && query->waitingForChannel();
    // The clean-up's texts (a transfer given up, a refused request) belong to
    // the result as well.
    Disable(*query);
    query->reporter->EndGathering(&gathered);
    const int stopped = outcome == Reporter::Outcome::Stopped     ? 1
                        : outcome == Reporter::Outcome::Destroyed ? 2
                                                                  : 0;
    auto box = std::make_unique<capi::QueryResultBox>(
        std::move(gathered.texts), std::move(gathered.transducers),
        outcome == Reporter::Outcome::TimedOut, stopped);
    orvane_teds_query_result* record = &box->c;
    capi::Register(record, std::move(box));
    *result = record;
    switch (outcome) {
      case Reporter::Outcome::Ended:
        return ORVANE_TEDS_OK;
      case Reporter::Outcome::Stopped:
        return capi::Fail(ORVANE_TEDS_STOPPED,
                          std::string(kName) + ": orvane_teds_query_stop ended the query");
      case Reporter::Outcome::Destroyed:
        return capi::Fail(ORVANE_TEDS_DESTROYED,
                          std::string(kName) + ": the handle was destroyed during the query");
      case Reporter::Outcome::TimedOut:
        break;
    }
    return capi::Fail(ORVANE_TEDS_TIMEOUT,
                      std::string(kName) + ": the query did not end within " +
                          std::to_string(timeout_ms) + " ms" +
                          (neverGotTheChannel ? " (another handle held its channel all the while)"
                                              : ""));
  });
}

orvane_teds_status orvane_teds_query_destroy(orvane_teds_query* query) {
  static const char kName[] = "orvane_teds_query_destroy";
  return capi::Guard(kName, [&] {
    if (!query) return ORVANE_TEDS_OK;
    if (capi::InsideCallback()) return RefuseInCallback(kName);
    {
      std::lock_guard<std::mutex> guard(query->callsMutex);
      if (query->destroying) return RefuseDestroyed(kName);
      query->destroying = true;
    }
    // From here on no callback runs, not even inside this call; a run
    // blocked on another thread wakes, cleans up and returns.
    query->reporter->SetCallbacks(Callbacks());
    query->reporter->Interrupt(Reporter::Outcome::Destroyed);
    {
      std::unique_lock<std::mutex> guard(query->callsMutex);
      query->callsIdle.wait(guard, [query] { return query->calls == 0; });
    }
    std::unique_ptr<orvane_teds_query> doomed(query);
    // The device goes back to its normal mode; then no callback reaches the
    // master any more, so the interface it reports to can go, then the
    // master itself.
    doomed->bus->Enable(false);
    doomed->shutdown();
    doomed->teds.reset();
    doomed->master.reset();
    doomed->serial.reset();
    return ORVANE_TEDS_OK;
  });
}

}  // extern "C"

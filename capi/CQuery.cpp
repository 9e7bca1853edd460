// Queries for C hosts, through the device-link master or a DS2480B serial
// adapter: a handle owns a TEDSQuery and turns what it reports into C
// records for the host's callbacks and for a blocking run.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "capi/CError.h"
#include "capi/CResults.h"
#include "capi/orvane_teds.h"
#include "devicelink/ZorelQueryMaster.h"
#include "serial/DS2480BQueryMaster.h"
#include "teds/TEDSQuery.h"
#include "teds/TEDSText.h"
#include "teds/TEDSTransducer.h"

namespace {

// Hands what the query reports to the host's callbacks, on the device
// library's callback thread (or on the host's thread inside start and run).
class CallbackListener : public TEDSQuery::Listener {
 public:
  CallbackListener(orvane_teds_transducer_callback onTransducer, orvane_teds_text_callback onText,
                   orvane_teds_ended_callback onEnded, void* user)
      : onTransducer(onTransducer), onText(onText), onEnded(onEnded), user(user) {}

  void TransducerFound(const TEDSTransducer& transducer) override {
    if (!onTransducer) return;
    const capi::TransducerBox box(transducer);
    capi::CallbackScope scope;
    onTransducer(user, &box.c);
  }
  void Text(const std::string& message) override {
    if (!onText) return;
    const std::string text = TEDSText::ToUtf8(message);
    capi::CallbackScope scope;
    onText(user, text.c_str());
  }
  void Ended(std::size_t reported) override {
    if (!onEnded) return;
    capi::CallbackScope scope;
    onEnded(user, reported);
  }

 private:
  const orvane_teds_transducer_callback onTransducer;
  const orvane_teds_text_callback onText;
  const orvane_teds_ended_callback onEnded;
  void* const user;
};

// What one blocking run gathers (called under the query's lock).
class Gathered : public TEDSQuery::Listener {
 public:
  void TransducerFound(const TEDSTransducer& transducer) override {
    transducers.push_back(std::make_shared<const capi::TransducerBox>(transducer));
  }
  void Text(const std::string& message) override { texts.push_back(TEDSText::ToUtf8(message)); }

  std::vector<std::string> texts;
  std::vector<std::shared_ptr<const capi::TransducerBox>> transducers;
};

}  // namespace

struct orvane_teds_query {
  std::unique_ptr<TEDSQuery> query;
  // The calls under way on the handle; destroy waits for them to leave.
  std::mutex callsMutex;
  std::condition_variable callsIdle;
  unsigned calls = 0;
  bool destroying = false;
};

namespace {

using capi::Refuse;
using capi::RefuseInCallback;

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

orvane_teds_status RefuseBegun(const char* function, TEDSQuery::Begun begun) {
  if (begun == TEDSQuery::Begun::Closed) return RefuseDestroyed(function);
  return capi::Fail(ORVANE_TEDS_BUSY, std::string(function) + ": a query is already running");
}

// A serial handle; the texts name orvane_teds_query_create_serial.
orvane_teds_status CreateSerial(const char* port, uint32_t baud, orvane_teds_query** query) {
  static const char kName[] = "orvane_teds_query_create_serial";
  if (!query) return Refuse(kName, "query is null");
  *query = nullptr;
  if (!port) return Refuse(kName, "port is null");
  if (*port == '\0') return Refuse(kName, "port is empty");
  auto handle = std::make_unique<orvane_teds_query>();
  handle->query = std::make_unique<TEDSQuery>(MakeDS2480BQueryMaster(port, baud));
  *query = handle.release();
  return ORVANE_TEDS_OK;
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
    ZorelQuerySettings settings;
    const orvane_teds_status checked =
        capi::CheckDevice(kName, device, address, teds_mode, poll_pause_ms, settings);
    if (checked != ORVANE_TEDS_OK) return checked;
    settings.channel = channel;
    auto handle = std::make_unique<orvane_teds_query>();
    try {
      handle->query = std::make_unique<TEDSQuery>(MakeZorelQueryMaster(settings));
    } catch (const std::invalid_argument& e) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(kName) + ": " + e.what());
    }
    *query = handle.release();
    return ORVANE_TEDS_OK;
  });
}

orvane_teds_status orvane_teds_query_create_serial(const char* port, orvane_teds_query** query) {
  static const char kName[] = "orvane_teds_query_create_serial";
  return capi::Guard(kName, [&] { return CreateSerial(port, 0, query); });
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
    return CreateSerial(port, baud, query);
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
    query->query->SetListener(
        std::make_shared<CallbackListener>(on_transducer, on_text, on_ended, user));
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
    const TEDSQuery::Begun begun = query->query->Start();
    if (begun != TEDSQuery::Begun::Started) return RefuseBegun(kName, begun);
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
    query->query->Stop();
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
    const TEDSQuery::Result run =
        query->query->Run(std::chrono::milliseconds(timeout_ms), &gathered);
    if (run.begun != TEDSQuery::Begun::Started) return RefuseBegun(kName, run.begun);
    using Outcome = TEDSQuery::Outcome;
    const Outcome outcome = run.outcome;
    const int stopped = outcome == Outcome::Stopped     ? 1
                        : outcome == Outcome::Destroyed ? 2
                                                                  : 0;
    auto box = std::make_unique<capi::QueryResultBox>(
        std::move(gathered.texts), std::move(gathered.transducers),
        outcome == Outcome::TimedOut, stopped);
    orvane_teds_query_result* record = &box->c;
    capi::Register(record, std::move(box));
    *result = record;
    switch (outcome) {
      case Outcome::Ended:
        return ORVANE_TEDS_OK;
      case Outcome::Stopped:
        return capi::Fail(ORVANE_TEDS_STOPPED,
                          std::string(kName) + ": orvane_teds_query_stop ended the query");
      case Outcome::Destroyed:
        return capi::Fail(ORVANE_TEDS_DESTROYED,
                          std::string(kName) + ": the handle was destroyed during the query");
      case Outcome::TimedOut:
        break;
    }
    return capi::Fail(ORVANE_TEDS_TIMEOUT,
                      std::string(kName) + ": the query did not end within " +
                          std::to_string(timeout_ms) + " ms" +
                          (run.waitedForChannel ? " (another handle held its channel all the while)"
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
    query->query->Close();
    {
      std::unique_lock<std::mutex> guard(query->callsMutex);
      query->callsIdle.wait(guard, [query] { return query->calls == 0; });
    }
    // The query lets the device go back to its normal mode and ends the
    // master's traffic before the interface and the master go.
    delete query;
    return ORVANE_TEDS_OK;
  });
}

}  // extern "C"

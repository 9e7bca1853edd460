#include "teds/TEDSQuery.h"

#include <utility>

#include "teds/TEDSInterface.h"

void TEDSQuery::Listener::TransducerFound(const TEDSTransducer&) {}
void TEDSQuery::Listener::Text(const std::string&) {}
void TEDSQuery::Listener::Ended(std::size_t) {}
TEDSQuery::Listener::~Listener() = default;

// Receives the interface's reports, hands them to the listener and to a
// gathering run, and tells a waiting run when the query has ended.
class TEDSQuery::Reporter : public TEDSInterface::Listener, public TEDSInterface::CycleListener {
 public:
  // What one blocking run gathers into; its address tells runs apart.
  struct Run {
    TEDSQuery::Listener* gather;
  };

  explicit Reporter(std::function<bool()> stalled) : stalled(std::move(stalled)) {}

  void SetListener(std::shared_ptr<TEDSQuery::Listener> next) {
    // Taking the listener lock waits for a listener call under way to return.
    std::lock_guard<std::recursive_mutex> guard(listenerLock);
    listener = std::move(next);
  }

  // Marks the query as running, for `run` (null for a query that is not
  // waited for).
  Begun Begin(Run* run) {
    std::lock_guard<std::mutex> guard(mutex);
    if (destroyed) return Begun::Closed;
    if (running) return Begun::AlreadyRunning;
    running = true;
    interrupt = Outcome::Ended;
    current = run;
    reported = 0;
    return Begun::Started;
  }
  // Waits until the query ends, `timeout` passes, or a stop or close on
  // another thread interrupts the wait. Gathering goes on until EndGathering.
  Outcome Wait(std::chrono::duration<double> timeout, std::size_t& count) {
    std::unique_lock<std::mutex> guard(mutex);
    const bool woken =
        idle.wait_for(guard, timeout, [this] { return !running || interrupt != Outcome::Ended; });
    count = reported;
    if (interrupt != Outcome::Ended) return interrupt;
    return woken ? Outcome::Ended : Outcome::TimedOut;
  }
  void EndGathering(const Run* mine) {
    std::lock_guard<std::mutex> guard(mutex);
    if (current == mine) current = nullptr;
  }
  // A stop (or, for good, a close): the query counts as ended now, so its
  // clean-up calls no Ended, and a run waiting on another thread wakes and
  // says why.
  void Interrupt(Outcome why) {
    std::lock_guard<std::mutex> guard(mutex);
    if (why == Outcome::Destroyed) destroyed = true;
    if (!running) return;
    if (current && interrupt == Outcome::Ended) interrupt = why;
    running = false;
    idle.notify_all();
  }
  void Finish() {
    std::lock_guard<std::mutex> guard(mutex);
    running = false;
    idle.notify_all();
  }

  void TransducerFound(const TEDSTransducer& transducer) override {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (current && current->gather) current->gather->TransducerFound(transducer);
    }
    std::lock_guard<std::recursive_mutex> guard(listenerLock);
    // A listener may replace itself: the copy keeps it alive for its call.
    if (const std::shared_ptr<TEDSQuery::Listener> heard = listener) heard->TransducerFound(transducer);
  }
  void Error(const std::string& message) override {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (current && current->gather) current->gather->Text(message);
    }
    {
      std::lock_guard<std::recursive_mutex> guard(listenerLock);
      if (const std::shared_ptr<TEDSQuery::Listener> heard = listener) heard->Text(message);
    }
    // A master that cannot come up stays Enabling: no cycle will start, so
    // the query has ended here.
    if (stalled()) End(0);
  }
  void CycleEnded(std::size_t transducersReported) override { End(transducersReported); }

 private:
  void End(std::size_t count) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (!running) return;
      running = false;
      reported = count;
      idle.notify_all();
    }
    std::lock_guard<std::recursive_mutex> guard(listenerLock);
    if (const std::shared_ptr<TEDSQuery::Listener> heard = listener) heard->Ended(count);
  }

  const std::function<bool()> stalled;
  // Held while the listener runs; recursive so that a listener may set the
  // listener of its own query.
  std::recursive_mutex listenerLock;
  std::shared_ptr<TEDSQuery::Listener> listener;
  std::mutex mutex;  // guards everything below
  std::condition_variable idle;
  bool running = false;
  Run* current = nullptr;
  Outcome interrupt = Outcome::Ended;  // Ended: not interrupted
  std::size_t reported = 0;
  bool destroyed = false;
};

TEDSQuery::TEDSQuery(QueryMaster master)
    : bus(std::move(master)), reporter(std::make_shared<Reporter>(bus.stalled)) {
  teds = std::make_unique<TEDSInterface>(*bus.master);
  teds->AddListener(reporter);
  teds->AddCycleListener(reporter);
}

TEDSQuery::~TEDSQuery() {
  Close();
  Shutdown();
  // No notification reaches the master any more: the interface it reported
  // to can go, then the master itself.
  teds.reset();
  bus.master.reset();
}

void TEDSQuery::SetListener(std::shared_ptr<Listener> listener) {
  reporter->SetListener(std::move(listener));
}

void TEDSQuery::Query() {
  if (bus.stalled()) bus.master->Enable(false);
  teds->Query();
}

void TEDSQuery::Disable() {
  bus.master->Enable(false);
  reporter->Finish();
}

TEDSQuery::Begun TEDSQuery::Start() {
  const Begun begun = reporter->Begin(nullptr);
  if (begun == Begun::Started) Query();
  return begun;
}

TEDSQuery::Result TEDSQuery::Run(std::chrono::duration<double> timeout, Listener* gather) {
  Reporter::Run run{gather};
  Result result;
  result.begun = reporter->Begin(&run);
  if (result.begun != Begun::Started) return result;
  Query();
  result.outcome = reporter->Wait(timeout, result.transducers);
  result.waitedForChannel =
      result.outcome == Outcome::TimedOut && bus.waitingForChannel && bus.waitingForChannel();
  // The disabling's texts belong to the run as well.
  Disable();
  reporter->EndGathering(&run);
  return result;
}

void TEDSQuery::Stop() {
  reporter->Interrupt(Outcome::Stopped);
  Disable();
}

void TEDSQuery::Close() {
  reporter->SetListener(nullptr);
  reporter->Interrupt(Outcome::Destroyed);
}

void TEDSQuery::Shutdown() {
  std::call_once(shutDown, [this] {
    // The device goes back to its normal mode before its traffic ends.
    bus.master->Enable(false);
    bus.shutdown();
  });
}

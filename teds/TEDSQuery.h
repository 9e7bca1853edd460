#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"

class TEDSInterface;
class TEDSTransducer;

// A master as a master factory hands it to a query: the master, and what a
// query needs to know of it beyond AbstractOneWireMaster.
struct QueryMaster {
  // Shared only so that the master is destroyed as what it is (the base's
  // destructor is not virtual); the query holds the one reference.
  std::shared_ptr<AbstractOneWireMaster> master;
  // The master can no longer come up (a refused handshake, an adapter that
  // failed to start): no cycle will start until it is disabled. Any thread.
  std::function<bool()> stalled;
  // Enabled, it still waits for another master to let go of its channel.
  // Optional (empty: it never waits). Any thread.
  std::function<bool()> waitingForChannel;
  // Ends all traffic into the master; the master cannot be used afterwards.
  std::function<void()> shutdown;
};

// One host's queries on one master: owns the master and the TEDSInterface on
// it, and turns the interface's reports into one listener's calls and the
// end of each query into the return of a blocking Run.
//
// One query at a time: Start and Run refuse while one is under way. A query
// ends when its cycle ends, when the master turns out unable to come up
// (stalled, checked after every text), on Stop, and on Close.
//
// Threads. Reports arrive on the master's notification thread (or on the
// host's thread inside Start and Run). Every member may be called from any
// host thread, also while Run blocks on another one, except from inside a
// listener call (Start, Run, Stop, Close and Shutdown would wait for the
// thread that runs it) and except the destructor, which must come last.
// SetListener waits for a listener call under way to return; a listener may
// set the listener of its own query.
class ORVANE_TEDS_API TEDSQuery {
 public:
  // What the host hears. The default of each call does nothing.
  class ORVANE_TEDS_API Listener {
   public:
    virtual void TransducerFound(const TEDSTransducer& transducer);
    // Progress notes and errors, as TEDSInterface::Listener::Error has them.
    virtual void Text(const std::string& text);
    // The query ended by itself (not by Stop or Close), after `reported`
    // transducers; 0 when the master could not come up.
    virtual void Ended(std::size_t reported);
    virtual ~Listener();
  };

  // How a blocking run ended: its cycle (or the master's stall) ended it,
  // the time-out passed, Stop or Close on another thread interrupted it.
  enum class Outcome { Ended, TimedOut, Stopped, Destroyed };
  // Whether a query began: not while one is under way, never after Close.
  enum class Begun { Started, AlreadyRunning, Closed };

  struct Result {
    Begun begun = Begun::Started;
    Outcome outcome = Outcome::Ended;
    std::size_t transducers = 0;  // as the ended cycle counted them
    // Timed out while the master still waited for its channel.
    bool waitedForChannel = false;
  };

  explicit TEDSQuery(QueryMaster master);
  TEDSQuery(const TEDSQuery&) = delete;
  TEDSQuery& operator=(const TEDSQuery&) = delete;
  // Close, then the device goes back to its normal mode, the master's traffic
  // ends, and the interface goes before the master it reports to.
  ~TEDSQuery();

  // Replaces the listener (empty: none).
  void SetListener(std::shared_ptr<Listener> listener);

  // Starts a query and returns at once; the listener hears its end.
  Begun Start();
  // Runs a query until it ends, `timeout` passes, or Stop or Close on another
  // thread interrupts it; then disables the master. `gather`, when given,
  // hears the query's transducers and texts too, up to and including those
  // of the disabling (a transfer given up, a refused request), called under
  // the query's lock: it must not call into the query.
  Result Run(std::chrono::duration<double> timeout, Listener* gather = nullptr);
  // Ends the query under way without an Ended call; a Run waiting on another
  // thread returns Stopped.
  void Stop();
  // For good: no listener call follows, not even inside this call; a Run
  // waiting on another thread returns Destroyed; nothing starts any more.
  void Close();
  // Disables the master and ends all traffic into it; the listener stays
  // and hears what that reports. Nothing can start afterwards.
  void Shutdown();

  AbstractOneWireMaster& Master() { return *bus.master; }

 private:
  class Reporter;

  // Starts one cycle; a stalled master is disabled first to try afresh.
  void Query();
  void Disable();

  QueryMaster bus;
  std::unique_ptr<TEDSInterface> teds;
  std::shared_ptr<Reporter> reporter;
  std::once_flag shutDown;
};

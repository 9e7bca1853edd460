#pragma once

// A host of TEDSInterface for tests whose results arrive on another thread:
// it records every callback, lets a test act inside each one, and waits for
// the end of cycles.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "simdevice/Bench.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSQuery.h"

namespace orvtest {

class QueryHost : public TEDSInterface::Listener, public TEDSInterface::CycleListener {
 public:
  enum class Call { Error, TransducerFound, CycleEnded };
  // Runs inside every callback, after it is recorded; `index` counts the
  // callbacks of this host from 0. It may throw or call into the interface.
  using Hook = std::function<void(Call call, std::size_t index)>;

  explicit QueryHost(Hook hook = nullptr) : hook(std::move(hook)) {}

  void TransducerFound(const TEDSTransducer& transducer) override;
  void Error(const std::string& message) override;
  void CycleEnded(std::size_t transducersReported) override;

  // True once `count` cycles have ended (bounded by a generous time-out that
  // only keeps a broken build from hanging).
  bool WaitCycles(std::size_t count,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));
  std::size_t Cycles();
  // Transducer identities ("[14 ...]") in the order reported.
  std::vector<std::string> Transducers();
  std::vector<std::string> Texts();

 private:
  void Enter(Call call);

  Hook hook;
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t calls = 0;
  std::size_t cycles = 0;
  std::vector<std::string> transducers;
  std::vector<std::string> texts;
};

// What one query through TEDSQuery heard, in order.
struct QueryRecord {
  TEDSQuery::Outcome outcome = TEDSQuery::Outcome::TimedOut;
  std::size_t reported = 0;  // as the ended cycle counted them
  std::vector<std::string> texts;
  std::vector<std::string> transducers;  // identities, as QueryHost::Transducers
};

// Runs one query on `master` and lets the master go (the time-out only keeps
// a broken build from hanging).
QueryRecord RunQuery(QueryMaster master,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(20000));

// A bench with one healthy DS2430A accelerometer (the built-in one) on each
// of `channels`, the sensor of channel c having serial byte c + 1.
simdevice::Bench SensorBench(const std::vector<unsigned>& channels);
// The text form of the sensor ROM that SensorBench puts on `channel`.
std::string SensorRomText(unsigned channel);

}  // namespace orvtest

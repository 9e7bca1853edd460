#include "teds/TEDSScan.h"

#include <exception>
#include <stdexcept>
#include <thread>

#include "teds/TEDSNode.h"
#include "teds/TEDSTransducer.h"

// One target of the scan under way: its query while it exists, and its result.
struct TEDSScan::Slot {
  std::size_t index = 0;
  std::unique_ptr<TEDSQuery> query;
  Result result;
  const Progress* progress = nullptr;
  std::mutex* progressMutex = nullptr;
};

namespace {

// Gathers one query's texts and transducers into its result. TEDSQuery calls
// it under the query's lock, and Run reads the result only after the query's
// run has returned.
class Gather : public TEDSQuery::Listener {
 public:
  Gather(TEDSScan::Result& result, std::size_t index, const TEDSScan::Progress& progress,
         std::mutex& progressMutex)
      : result(result), index(index), progress(progress), progressMutex(progressMutex) {}

  void TransducerFound(const TEDSTransducer& transducer) override {
    TEDSScan::Found found;
    found.transducer = std::make_shared<const TEDSTransducer>(transducer);
    for (const auto& node : transducer.GetNodes()) {
      found.goodChecksum = found.goodChecksum && node->PagesGood();
    }
    result.transducers.push_back(std::move(found));
  }

  void Text(const std::string& text) override {
    result.texts.push_back(text);
    if (!progress) return;
    std::lock_guard<std::mutex> guard(progressMutex);
    progress(index, text);
  }

 private:
  TEDSScan::Result& result;
  const std::size_t index;
  const TEDSScan::Progress& progress;
  std::mutex& progressMutex;
};

TEDSScan::Outcome OutcomeOf(const TEDSQuery::Result& run) {
  if (run.begun != TEDSQuery::Begun::Started) return TEDSScan::Outcome::Stopped;
  switch (run.outcome) {
    case TEDSQuery::Outcome::Ended: return TEDSScan::Outcome::Ended;
    case TEDSQuery::Outcome::TimedOut: return TEDSScan::Outcome::TimedOut;
    case TEDSQuery::Outcome::Stopped:
    case TEDSQuery::Outcome::Destroyed: break;
  }
  return TEDSScan::Outcome::Stopped;
}

}  // namespace

void TEDSScan::RunOne(Slot& slot, std::chrono::steady_clock::time_point deadline) {
  try {
    Gather gather(slot.result, slot.index, *slot.progress, *slot.progressMutex);
    const auto left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now());
    const TEDSQuery::Result run =
        slot.query->Run(left.count() > 0 ? left : std::chrono::duration<double>(0), &gather);
    slot.result.outcome = OutcomeOf(run);
    slot.result.waitedForChannel = run.waitedForChannel;
  } catch (const std::exception& e) {
    slot.result.outcome = Outcome::FailedToStart;
    slot.result.failure = e.what();
  }
  // Taken out under the lock, so that Stop never reaches a query being
  // destroyed; destroyed here, on this thread, so that the masters shut down
  // at the same time.
  std::unique_ptr<TEDSQuery> done;
  {
    std::lock_guard<std::mutex> guard(mutex);
    done = std::move(slot.query);
  }
}

std::vector<TEDSScan::Result> TEDSScan::Run(const std::vector<Target>& targets,
                                            std::chrono::duration<double> timeout,
                                            const Progress& progress) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (running) throw std::logic_error("TEDSScan::Run: a scan is already running");
    running = true;
    stopped = false;
  }
  const auto deadline =
      std::chrono::steady_clock::now() +
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(timeout);
  std::vector<Slot> all(targets.size());
  for (std::size_t i = 0; i < targets.size(); ++i) {
    Slot& slot = all[i];
    slot.index = i;
    slot.progress = &progress;
    slot.progressMutex = &progressMutex;
    try {
      if (!targets[i].make) throw std::invalid_argument("no master factory given");
      slot.query = std::make_unique<TEDSQuery>(targets[i].make());
    } catch (const std::exception& e) {
      slot.result.outcome = Outcome::FailedToStart;
      slot.result.failure = e.what();
      if (progress) progress(i, slot.result.failure);
    }
  }
  {
    std::lock_guard<std::mutex> guard(mutex);
    for (Slot& slot : all) {
      if (!slot.query) continue;
      // A Stop that came while the masters were made: nothing begins.
      if (stopped) slot.query->Close();
      slots.push_back(&slot);
    }
  }
  std::vector<std::thread> threads;
  for (Slot& slot : all) {
    if (!slot.query) continue;
    try {
      threads.emplace_back([this, &slot, deadline] { RunOne(slot, deadline); });
    } catch (const std::exception&) {
      RunOne(slot, deadline);  // no thread to be had: run it here
    }
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<Result> results;
  {
    std::lock_guard<std::mutex> guard(mutex);
    slots.clear();
    running = false;
  }
  for (Slot& slot : all) results.push_back(std::move(slot.result));
  return results;
}

void TEDSScan::Stop() {
  std::lock_guard<std::mutex> guard(mutex);
  if (!running) return;
  stopped = true;
  // Closing rather than stopping: a query whose run has not begun yet then
  // never begins.
  for (Slot* slot : slots) {
    if (slot->query) slot->query->Close();
  }
}

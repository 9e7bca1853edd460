#pragma once

// Listeners for masters that notify on a thread of their own: every bus,
// discovery, transaction and operation notification becomes one line of a
// shared log, with the thread it came on, and a test waits for lines.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "testing/Eventually.h"

namespace orvtest {

class EventLog {
 public:
  void Add(const std::string& line);
  std::vector<std::string> Lines() const;
  // Waits until a line starting with one of `prefixes` is there (true) or
  // `timeout` has passed (false).
  bool WaitForAny(const std::vector<std::string>& prefixes,
                  std::chrono::milliseconds timeout = kGuard) const;
  bool WaitFor(const std::string& prefix, std::chrono::milliseconds timeout = kGuard) const {
    return WaitForAny(std::vector<std::string>{prefix}, timeout);
  }
  bool Has(const std::string& prefix) const {
    return WaitFor(prefix, std::chrono::milliseconds(0));
  }
  // The threads the lines came on.
  std::set<std::thread::id> Threads() const;

 private:
  mutable std::mutex mutex;
  mutable std::condition_variable changed;
  std::vector<std::string> lines;
  std::set<std::thread::id> threads;
};

// "ready" and "error: TEXT".
struct BusEvents : AbstractOneWireMaster::Listener {
  explicit BusEvents(EventLog& log) : log(log) {}
  void Ready() override;
  void Error(const std::string& message) override;
  EventLog& log;
};

// "discovered: [ROM] [ROM]" and "discovery error: TEXT".
struct DiscoveryEvents : AbstractOneWireMaster::DiscoveryListener {
  explicit DiscoveryEvents(EventLog& log) : log(log) {}
  void Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) override;
  void Error(const std::string& message) override;
  EventLog& log;
};

// "NAME finished" and "NAME error: TEXT".
struct TransactionEvents : AbstractOneWireMaster::Transaction::Listener {
  TransactionEvents(EventLog& log, std::string name) : log(log), name(std::move(name)) {}
  void Finished() override;
  void Error(const std::string& message) override;
  EventLog& log;
  std::string name;
};

// "NAME reply: HEX".
class OperationEvents : public AbstractOneWireMaster::Operation {
 public:
  OperationEvents(EventLog& log, std::string name, const AbstractOneWireMaster::Device& device,
                  uint8_t command, const std::vector<uint8_t>& data, uint8_t length);
  void Finished(const std::vector<uint8_t>& reply) override;

 private:
  EventLog& log;
  std::string name;
};

}  // namespace orvtest

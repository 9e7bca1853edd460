#include "testing/EventLog.h"

#include <algorithm>

#include "testing/ScriptedSerialPort.h"

namespace orvtest {

void EventLog::Add(const std::string& line) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    lines.push_back(line);
    threads.insert(std::this_thread::get_id());
  }
  changed.notify_all();
}

std::vector<std::string> EventLog::Lines() const {
  std::lock_guard<std::mutex> guard(mutex);
  return lines;
}

bool EventLog::WaitForAny(const std::vector<std::string>& prefixes,
                          std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> guard(mutex);
  return changed.wait_for(guard, timeout, [&] {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
      return std::any_of(prefixes.begin(), prefixes.end(),
                         [&](const std::string& prefix) { return line.rfind(prefix, 0) == 0; });
    });
  });
}

std::set<std::thread::id> EventLog::Threads() const {
  std::lock_guard<std::mutex> guard(mutex);
  return threads;
}

void BusEvents::Ready() { log.Add("ready"); }
void BusEvents::Error(const std::string& message) { log.Add("error: " + message); }

void DiscoveryEvents::Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) {
  std::string line = "discovered:";
  for (const AbstractOneWireMaster::Device& device : devices) line += " " + device.ToString();
  log.Add(line);
}
void DiscoveryEvents::Error(const std::string& message) { log.Add("discovery error: " + message); }

void TransactionEvents::Finished() { log.Add(name + " finished"); }
void TransactionEvents::Error(const std::string& message) { log.Add(name + " error: " + message); }

OperationEvents::OperationEvents(EventLog& log, std::string name,
                                 const AbstractOneWireMaster::Device& device, uint8_t command,
                                 const std::vector<uint8_t>& data, uint8_t length)
    : Operation(device, command, data, length), log(log), name(std::move(name)) {}

void OperationEvents::Finished(const std::vector<uint8_t>& reply) {
  log.Add(name + " reply: " + HexBytes(reply));
}

}  // namespace orvtest

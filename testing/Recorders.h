#pragma once

// Listeners that record what a master tells them, for tests of every folder.

#include <cstdint>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"

namespace orvtest {

struct BusLog : AbstractOneWireMaster::Listener {
  void Ready() override { ++ready; }
  void Error(const std::string& message) override { errors.push_back(message); }
  int ready = 0;
  std::vector<std::string> errors;
};

struct DiscoveryLog : AbstractOneWireMaster::DiscoveryListener {
  // With a master, the discovery's notes are taken at its end too.
  explicit DiscoveryLog(const AbstractOneWireMaster* master = nullptr) : master(master) {}
  void Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) override {
    found.push_back(devices);
    if (master) notes = master->GetDiscoveryNotes();
  }
  void Error(const std::string& message) override {
    errors.push_back(message);
    if (master) notes = master->GetDiscoveryNotes();
  }
  const AbstractOneWireMaster* master;
  std::vector<std::vector<AbstractOneWireMaster::Device>> found;
  std::vector<std::string> errors;
  std::vector<std::string> notes;
};

// A transaction listener that also keeps the order of everything it hears
// from the transaction and its operations ("finished", "error: <text>", and
// what LoggedOperation and others add).
struct TransactionLog : AbstractOneWireMaster::Transaction::Listener {
  void Finished() override { events.push_back("finished"); }
  void Error(const std::string& message) override { events.push_back("error: " + message); }
  std::vector<std::string> events;
};

// An operation that keeps its reply and puts its name into the log.
class LoggedOperation : public AbstractOneWireMaster::Operation {
 public:
  LoggedOperation(TransactionLog& log, std::string name,
                  const AbstractOneWireMaster::Device& device, uint8_t command,
                  const std::vector<uint8_t>& data, uint8_t length, bool programs = false)
      : Operation(device, command, data, length), log(log), name(std::move(name)) {
    Operation::data.programs = programs;
  }
  void Finished(const std::vector<uint8_t>& bytes) override {
    reply = bytes;
    log.events.push_back(name);
  }

  std::vector<uint8_t> reply;

 private:
  TransactionLog& log;
  std::string name;
};

}  // namespace orvtest

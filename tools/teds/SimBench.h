#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "simdevice/Bench.h"
#include "tools/teds/QueryCore.h"

namespace orvane {
class TrafficObserver;
struct TrafficEvent;
}  // namespace orvane
namespace simdevice {
class SimAttachment;
class SimDevice;
}  // namespace simdevice

// Keeps an observer of the device library's traffic registered for its own
// lifetime.
class TrafficObserving {
 public:
  explicit TrafficObserving(std::shared_ptr<orvane::TrafficObserver> observer);
  ~TrafficObserving();
  TrafficObserving(const TrafficObserving&) = delete;
  TrafficObserving& operator=(const TrafficObserving&) = delete;

 private:
  std::shared_ptr<orvane::TrafficObserver> observer;
};

// The note on one event of the device library's traffic: the handshake, each
// transfer to the relay, the wait for its answer and the answer. `phase`
// carries what the last transfer was for (search, reading...) from one event
// to the next; start it as "relay". Empty for an event worth no note.
std::string TrafficNote(const orvane::TrafficEvent& event, unsigned int pollMs,
                        std::string& phase);

// What this build puts behind the device library's stand-in: the simulated
// device of a bench. The one optional step before a query or write through
// the device library; against a real device library it is left out.
class SimBench {
 public:
  SimBench();
  ~SimBench();

  // Loads `path` (JSON), or the built-in bench when `builtIn`; warnings and
  // errors go to `err`, each after `who` (as "teds query"). False on error.
  bool Load(bool builtIn, const std::string& path, const char* who, std::ostream& err);
  // Takes a bench read elsewhere.
  void Use(const simdevice::Bench& bench) { this->bench = bench; }
  const simdevice::Bench& Loaded() const { return bench; }

  // The bench's name, address and first channel.
  DeviceTarget Defaults() const;

  // Attaches the bench's simulated device for this object's lifetime; false
  // when another device answers at its name and address already.
  bool Attach();
  // From here on each phase, transfer and wait of the traffic to `target`
  // goes to `err` as a note.
  void NoteTraffic(std::ostream& err, const DeviceTarget& target, unsigned int pollMs);
  simdevice::SimDevice& Device();

 private:
  class Progress;

  simdevice::Bench bench;
  std::shared_ptr<simdevice::SimDevice> device;
  std::unique_ptr<simdevice::SimAttachment> attachment;
  std::unique_ptr<TrafficObserving> registration;
};

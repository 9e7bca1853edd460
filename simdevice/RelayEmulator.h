#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/RelayProtocol.h"
#include "simdevice/BusFaults.h"
#include "simdevice/OneWireBus.h"
#include "simdevice/OutboundChannel.h"
#include "simdevice/RelayFaults.h"
#include "simdevice/RelayInterpreter.h"

// The 1-Wire relay on one TEDS channel, in three layers: the bus model with
// its faults (BusFaults), the command interpreter that runs inbound blocks on
// that bus (RelayInterpreter), and the outbound channel that keeps the
// answers until they are read (OutboundChannel). Plain single-threaded code,
// usable on its own by tests, fuzzers and benchmarks.

namespace simdevice {

class RelayEmulator {
 public:
  explicit RelayEmulator(const RelaySettings& settings = RelaySettings(),
                         const RelayFaults& faults = RelayFaults());
  RelayEmulator(const RelayEmulator&) = delete;
  RelayEmulator& operator=(const RelayEmulator&) = delete;

  OneWireBus& GetBus() { return bus; }
  const OneWireBus& GetBus() const { return bus; }
  const RelaySettings& GetSettings() const { return interpreter.GetSettings(); }

  // Runs one inbound block and returns its answers (faults of the outbound
  // channel are not applied here; command failures and bus faults are).
  std::vector<uint8_t> Process(const std::vector<uint8_t>& block) { return interpreter.Run(block); }

  // The inbound channel: runs the block and appends its answers to what the
  // outbound channel holds. A block longer than the reported inbound maximum,
  // or an answer longer than the reported outbound maximum, is a breach of
  // the relay's limits by the master: it still runs, and is recorded.
  void ReceiveInbound(const std::vector<uint8_t>& block);
  // Every breach so far, in words (at most 16).
  const std::vector<std::string>& GetLimitBreaches() const { return breaches; }
  // The outbound channel: what the relay delivers to one read (empty when it
  // has nothing, or while an answer is held back); at most the reported
  // outbound maximum, so a longer answer takes several reads.
  std::vector<uint8_t> ReadOutbound() { return outbound.Read(); }
  std::size_t GetPendingSize() const { return outbound.PendingSize(); }

  // Search and selection state.
  const Rom& GetId() const { return interpreter.GetId(); }
  uint8_t GetLastDiscrepancy() const { return interpreter.GetLastDiscrepancy(); }
  bool GetLastDevice() const { return interpreter.GetLastDevice(); }

 private:
  OneWireBus bus;
  BusFaults busFaults;
  RelayInterpreter interpreter;
  OutboundChannel outbound;
  std::vector<std::string> breaches;

  void Breach(const std::string& what);
};

}  // namespace simdevice

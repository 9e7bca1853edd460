#pragma once

// A relay master for the fuzz targets: it brings itself into one of the
// transfer shapes the relay protocol knows (configuration, first or later
// search transfer, a transaction reading 1 to 5 DS2430As) with well-formed
// answers, and then takes whatever outbound blocks the fuzzer makes up as the
// answers to the transfer in flight. It checks what must hold for any answer:
// every transfer ends, its owner hears exactly once, and nothing is left
// behind once the master is disabled.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/DS2430AMemory.h"
#include "onewire/OneWireMemory.h"
#include "relay/RemoteOneWireMaster.h"
#include "testing/RelayAnswers.h"
#include "testing/Roms.h"

namespace fuzzing {

using Bytes = std::vector<uint8_t>;
using Device = AbstractOneWireMaster::Device;

// A DS2430A's ROM with `serial` in byte 1.
inline Device SerialRom(uint8_t serial) { return orvtest::MakeRom(ds2430a::FAMILY_CODE, serial); }

// The transfer shapes a fuzz input can aim at.
enum class Shape : uint8_t {
  Configuration,
  FirstSearch,
  LaterSearch,
  Transaction,  // with 1 to 5 DS2430As
};

struct BusRecord : AbstractOneWireMaster::Listener {
  void Ready() override { ++ready; }
  void Error(const std::string& message) override {
    if (message.empty()) __builtin_trap();  // a failure must say why
    ++errors;
  }
  int ready = 0;
  int errors = 0;
};

struct DiscoveryRecord : AbstractOneWireMaster::DiscoveryListener {
  void Discovered(const std::vector<Device>&) override { ++endings; }
  void Error(const std::string& message) override {
    if (message.empty()) __builtin_trap();
    ++endings;
  }
  int endings = 0;
};

struct TransactionRecord : AbstractOneWireMaster::Transaction::Listener {
  void Finished() override { ++endings; }
  void Error(const std::string& message) override {
    if (message.empty()) __builtin_trap();
    ++endings;
  }
  int endings = 0;
};

struct MemoryRecord : OneWireMemory::Listener {
  void StatusRetrieved(uint8_t) override { ++deliveries; }
  void OTPMemoryRetrieved(const Bytes& data) override {
    if (data.size() != 8) __builtin_trap();  // a read delivers exactly its length
    ++deliveries;
  }
  void MemoryRetrieved(const Bytes& data) override {
    if (data.size() != 32) __builtin_trap();
    ++deliveries;
  }
  int deliveries = 0;
};

class RelayHarness : public RemoteOneWireMaster {
 public:
  RelayHarness() { AddListener(bus); }
  ~RelayHarness() override {
    for (auto& memory : memories) memory.reset();
  }

  // Puts the master into `shape`, its transfer sent and waiting for an
  // answer; false when the well-formed answers did not get it there (a fault
  // of the relay master, which the caller turns into a crash).
  bool Prepare(Shape shape, std::size_t sensors) {
    Enable(true);
    if (shape == Shape::Configuration) return InFlight();
    Answer(orvtest::ConfigAnswer(0xFF, 0xFF, "P1", "V1"));
    if (bus->ready != 1 || state != Ready) return false;
    if (shape == Shape::Transaction) return SubmitReads(sensors);
    Discover(discovery);
    if (shape == Shape::FirstSearch) return InFlight();
    // Two devices found: the discovery goes on with a further search
    // transfer.
    Answer(orvtest::SearchAnswer(false, {SerialRom(1), SerialRom(2)}));
    return InFlight() && discovery->endings == 0;
  }

  // The relay accepted the latest block and answers with `outbound`.
  void Answer(const Bytes& outbound) {
    SentInbound();
    ReceiveOutbound(outbound);
  }

  bool InFlight() const { return transfer != nullptr; }

  // Lets every waiting transfer run out of its poll budget, then disables the
  // master; every owner must have heard exactly once.
  void Finish() {
    for (int polls = 0; InFlight() && polls < 64; ++polls) Answer(Bytes{});
    if (InFlight()) __builtin_trap();  // silence must end a transfer
    Enable(false);
    if (discovery->endings > 1) __builtin_trap();
    if (transactionRecord && transactionRecord->endings != 1) __builtin_trap();
    if (state != Disabled || !transfers.empty()) __builtin_trap();
  }

  std::shared_ptr<BusRecord> bus = std::make_shared<BusRecord>();
  std::shared_ptr<DiscoveryRecord> discovery = std::make_shared<DiscoveryRecord>();
  std::unique_ptr<TransactionRecord> transactionRecord;
  MemoryRecord memoryRecord;

 private:
  // One transaction with the three reads of each of `sensors` DS2430As.
  bool SubmitReads(std::size_t sensors) {
    transactionRecord = std::make_unique<TransactionRecord>();
    const auto transaction = CreateTransaction(*transactionRecord);
    for (std::size_t i = 0; i < sensors; ++i) {
      memories.push_back(std::make_unique<DS2430AMemory>(
          *this, SerialRom(static_cast<uint8_t>(i + 1)), memoryRecord));
      DS2430AMemory& memory = *memories.back();
      memory.RetrieveStatus(transaction);
      memory.RetrieveOTPMemory(transaction, 0, 8);
      memory.RetrieveMemory(transaction, 0, 32);
    }
    transaction->Submit();
    return InFlight();
  }

  std::vector<std::unique_ptr<DS2430AMemory>> memories;
};

// Reads the fuzz input front to back; past its end every read yields 0.
class InputReader {
 public:
  InputReader(const uint8_t* data, std::size_t size) : data(data), size(size) {}
  bool Empty() const { return at >= size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  Bytes Take(std::size_t count) {
    const std::size_t n = count < size - at ? count : size - at;
    Bytes bytes(data + at, data + at + n);
    at += n;
    return bytes;
  }

 private:
  const uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

// Takes the input's first byte as the transfer shape to wait in: 0 to 2 the
// configuration, first and later search; 3 to 7 a transaction of 1 to 5
// DS2430As. False when the harness could not get there.
inline bool PrepareFromInput(RelayHarness& master, InputReader& input) {
  const uint8_t selector = input.Byte() % 8;
  const Shape shape = selector < 3 ? static_cast<Shape>(selector) : Shape::Transaction;
  const std::size_t sensors = selector < 3 ? 0 : selector - 2;
  return master.Prepare(shape, sensors);
}

}  // namespace fuzzing

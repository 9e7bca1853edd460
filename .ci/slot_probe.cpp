// Compiled only by scripts/check-slot-order.sh with -fdump-lang-class: the
// virtual tables of the library's classes and interfaces. Each probe gives an
// abstract interface a body for every pure operation, so that its table shows
// the operations by name; their order is the interface's own.
#include <string>
#include <vector>

#include "devicelink/ZorelOneWireMaster.h"
#include "onewire/AbstractOneWireMaster.h"
#include "onewire/OneWireMemory.h"
#include "relay/RemoteOneWireMaster.h"
#include "serial/DS2480BOneWireMaster.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSTemplate.h"

using Bytes = std::vector<uint8_t>;
using Master = AbstractOneWireMaster;

struct ProbeMaster final : Master {
  void Search() override {}
  void Enable(bool) override {}
};
struct ProbeOperation final : Master::Operation {
  using Operation::Operation;
  void Finished(const Bytes&) override {}
};
struct ProbeTransactionListener final : Master::Transaction::Listener {
  void Finished() override {}
  void Error(const std::string&) override {}
};
struct ProbeBusListener final : Master::Listener {
  void Ready() override {}
  void Error(const std::string&) override {}
};
struct ProbeDiscoveryListener final : Master::DiscoveryListener {
  void Discovered(const std::vector<Master::Device>&) override {}
  void Error(const std::string&) override {}
};
struct ProbeTransferListener final : RemoteOneWireMaster::TransferListener {
  void Finished(const RemoteOneWireMaster::Transfer&) override {}
  void Error(const std::string&) override {}
};
struct ProbeMemoryListener final : OneWireMemory::Listener {
  void StatusRetrieved(uint8_t) override {}
  void OTPMemoryRetrieved(const Bytes&) override {}
  void MemoryRetrieved(const Bytes&) override {}
};
struct ProbeHostListener final : TEDSInterface::Listener {
  void TransducerFound(const TEDSTransducer&) override {}
  void Error(const std::string&) override {}
};
struct ProbeTemplate final : TEDSTemplate {
  std::string GetName() const override { return {}; }
  std::string Print() const override { return {}; }
};

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "relay/RemoteOneWireMaster.h"

// The relay tests' double: a relay master whose inbound channel is a recorder
// and whose outbound channel the test feeds block by block, plus builders of
// the relay's answers and recording listeners.

using Bytes = std::vector<uint8_t>;
using Device = AbstractOneWireMaster::Device;

class ScriptedRelay : public RemoteOneWireMaster {
 public:
  using RemoteOneWireMaster::Process;
  using RemoteOneWireMaster::Search;
  using RemoteOneWireMaster::TransferCreate;
  using RemoteOneWireMaster::TransferSubmit;

  // The relay accepts the latest block and `outbound` is what it answers.
  void Answer(const Bytes& outbound);
  // Each block in turn answers the next block the master sends.
  void Play(const std::vector<Bytes>& outbound);
  // Ends the transfer in flight with hand-made responses instead of parsed
  // ones, for answers no relay block can produce.
  void FinishWith(const std::vector<Response>& responses);

  // Enables the master and answers the configuration with `inboundMax`.
  void MakeReady(uint8_t inboundMax = 0xFF);

  bool InFlight() const { return transfer != nullptr; }
  std::size_t Queued() const { return transfers.size(); }
  std::size_t Submitted() const { return transactions.size(); }

  // Every inbound block sent, in order.
  std::vector<Bytes> inbound;

 protected:
  void SendInbound(const Bytes& block) override;
};

// The relay's answer to the configuration transfer.
Bytes ConfigAnswer(uint8_t outboundMax, uint8_t inboundMax, const std::string& protocol = "P1",
                   const std::string& vendor = "Relay Inc");
// The answer to one search transfer: `found` devices (at most two), then
// passes that report no further device. `loaded` adds the three load answers.
Bytes SearchAnswer(bool loaded, const std::vector<Device>& found);
// The answer to one operation with `written` command and data bytes and the
// reply `reply`: CMD_DATA_ID status, CMD_ML_ACCESS, CMD_ML_DATA echo.
Bytes OperationAnswer(std::size_t written, const Bytes& reply);
Bytes Concat(const std::vector<Bytes>& parts);

// A DS2430A-like ROM with a correct CRC.
Device Rom(uint8_t serial);

struct BusLog : AbstractOneWireMaster::Listener {
  void Ready() override { ++ready; }
  void Error(const std::string& message) override { errors.push_back(message); }
  int ready = 0;
  std::vector<std::string> errors;
};

struct DiscoveryLog : AbstractOneWireMaster::DiscoveryListener {
  void Discovered(const std::vector<Device>& devices) override { found.push_back(devices); }
  void Error(const std::string& message) override { errors.push_back(message); }
  std::vector<std::vector<Device>> found;
  std::vector<std::string> errors;
};

// A transaction listener that also keeps the order of everything it hears
// from the transaction and its operations.
struct TransactionLog : AbstractOneWireMaster::Transaction::Listener {
  void Finished() override { events.push_back("finished"); }
  void Error(const std::string& message) override { events.push_back("error: " + message); }
  std::vector<std::string> events;
};

// An operation that records its reply into the log.
class LoggedOperation : public AbstractOneWireMaster::Operation {
 public:
  LoggedOperation(TransactionLog& log, std::string name, const Device& device, uint8_t command,
                  const Bytes& data, uint8_t length);
  void Finished(const Bytes& reply) override;

  Bytes reply;

 private:
  TransactionLog& log;
  std::string name;
};

inline bool operator==(const RemoteOneWireMaster::Response& a,
                       const RemoteOneWireMaster::Response& b) {
  return a.command == b.command && a.returnCode == b.returnCode && a.data == b.data;
}

#include <algorithm>

#include "relay/RemoteOneWireMaster.h"
#include "relay/ResponseWalk.h"

// Enabling and disabling the master, and the relay's configuration: one
// transfer that resets the relay and asks for its block maxima, protocol and
// vendor.

namespace {

const char kConfigFailed[] = "Failed to configure remote: ";
const char kDisabled[] = "Master disabled before the exchange ended";

}  // namespace

class RemoteOneWireMaster::ConfigListener : public TransferListener {
 public:
  explicit ConfigListener(RemoteOneWireMaster* master) : master(master) {}

  void Finished(const Transfer& transfer) override {
    if (!IsCurrent()) return;
    master->ReceiveConfigResponse(transfer);
    Release();
  }
  void Error(const std::string& message) override {
    if (!IsCurrent()) return;
    master->ConfigError(message);
    Release();
  }
  // The bus listeners (and a waiting discovery) have heard the protocol
  // error; the configuration only has to end so the master becomes Ready.
  void ProtocolError(const std::string&) override {
    if (IsCurrent()) Release();
  }

 private:
  bool IsCurrent() const { return IsCurrentIn(master->configListener); }
  void Release() {
    if (IsCurrent()) master->configListener.reset();
  }

  RemoteOneWireMaster* master;
};

void RemoteOneWireMaster::Enable(bool enable) {
  if (state == Disabled) {
    if (!enable) return;
    InitializeRelay();
    state = Enabling;
    Process();
    return;
  }
  if (!enable) {
    Disable();
  } else if (state == Searching) {
    Process();
  }
}

void RemoteOneWireMaster::Disable() {
  const std::shared_ptr<Discovery> waiting = discovery;
  transfers.clear();
  transfer.reset();
  configListener.reset();
  searchListener.reset();
  state = Disabled;
  // Each owner hears once. The transactions go first; a discovery that one
  // of their listeners starts from its Error is new and is left running (it
  // has re-enabled the master), while one that joins the waiting discovery
  // ends with it.
  FailTransactions(kDisabled);
  if (waiting && discovery == waiting) FailDiscovery(kDisabled);
  Process();
}

void RemoteOneWireMaster::InitializeRelay() {
  if (configListener) return;
  configListener = std::make_shared<ConfigListener>(this);
  const std::shared_ptr<Transfer> config = TransferCreate(configListener);
  config->AddRequest(RelayProtocol::CMD_RESET);
  config->AddRequest(RelayProtocol::CMD_DATA_OUTBOUND_MAX);
  config->AddRequest(RelayProtocol::CMD_DATA_INBOUND_MAX);
  config->AddRequest(RelayProtocol::CMD_DATA_PROTOCOL);
  config->AddRequest(RelayProtocol::CMD_DATA_VENDOR);
  transfers.push_back(config);
}

void RemoteOneWireMaster::ConfigError(const std::string& message) {
  Error(kConfigFailed + message);
}

void RemoteOneWireMaster::ReceiveConfigResponse(const Transfer& config) {
  // Each step checks command, return code, data size and value, in that
  // order; the walk stops at the first failure.
  ResponseWalk walk(config);
  // "Invalod" is how the relay master has always spelt its message.
  if (ReceiveResetResponse(walk) &&
      ReceiveLimit(walk, RelayProtocol::CMD_DATA_OUTBOUND_MAX, MIN_OUTBOUND_MAX,
                   "Invalid CMD_DATA_OUTBOUND_MAX response value", outboundMax) &&
      ReceiveLimit(walk, RelayProtocol::CMD_DATA_INBOUND_MAX, MIN_INBOUND_MAX,
                   "Invalod CMD_DATA_INBOUND_MAX response value", inboundMax) &&
      ReceiveText(walk, RelayProtocol::CMD_DATA_PROTOCOL, protocol)) {
    ReceiveText(walk, RelayProtocol::CMD_DATA_VENDOR, vendor);
  }
}

namespace {

using Response = RemoteOneWireMaster::Response;

// The text up to its first 0 byte.
std::string TextOf(const std::vector<uint8_t>& data) {
  return std::string(data.begin(), std::find(data.begin(), data.end(), uint8_t{0}));
}

}  // namespace

bool RemoteOneWireMaster::ReceiveResetResponse(ResponseWalk& walk) {
  if (walk.Accept(RelayProtocol::CMD_RESET)) return true;
  ConfigError(walk.Failure());
  return false;
}

// A limit: one byte, at least `minimum`; `badValue` names one below it.
bool RemoteOneWireMaster::ReceiveLimit(ResponseWalk& walk, uint8_t command, uint8_t minimum,
                                       const char* badValue, uint8_t& limit) {
  const Response* response = walk.Accept(command);
  if (response && response->data.size() != 1) {
    response =
        walk.Fail(std::string("Invalid ") + RelayProtocol::CommandName(command) + " response data");
  } else if (response && response->data[0] < minimum) {
    response = walk.Fail(badValue);
  }
  if (!response) {
    ConfigError(walk.Failure());
    return false;
  }
  limit = response->data[0];
  return true;
}

// A text: at least one byte, the last one 0.
bool RemoteOneWireMaster::ReceiveText(ResponseWalk& walk, uint8_t command, std::string& text) {
  const Response* response = walk.Accept(command);
  if (response && (response->data.empty() || response->data.back() != 0)) {
    response =
        walk.Fail(std::string("Invalid ") + RelayProtocol::CommandName(command) + " response data");
  }
  if (!response) {
    ConfigError(walk.Failure());
    return false;
  }
  text = TextOf(response->data);
  return true;
}

#include "relay/RemoteOneWireMaster.h"
#include "relay/ResponseWalk.h"

// The ROM search run inside the relay: transfers of two search passes each,
// the first of a discovery loading the search context.

namespace {

const char kTransferFailed[] = "Remote OneWire transfer failed: ";

}  // namespace

class RemoteOneWireMaster::SearchListener : public TransferListener {
 public:
  SearchListener(RemoteOneWireMaster* master, bool loaded) : master(master), loaded(loaded) {}

  // Search passes the transfer runs.
  unsigned passes = 0;

  void Finished(const Transfer& transfer) override {
    if (!IsCurrent()) return;
    // Released first: the examination may ask for the next search transfer.
    master->searchListener.reset();
    master->ReceiveSearchResponse(transfer, loaded, passes);
  }
  void Error(const std::string& message) override {
    if (!IsCurrent()) return;
    master->searchListener.reset();
    master->SearchError(message);
  }
  // The discovery has already been told (and ended) by the bus error.
  void ProtocolError(const std::string&) override {
    if (IsCurrent()) master->searchListener.reset();
  }

 private:
  // A search transfer outlived by its discovery (ended by a failure or a
  // disable) does nothing when it comes back.
  bool IsCurrent() const { return IsCurrentIn(master->searchListener); }

  RemoteOneWireMaster* master;
  // The transfer began with the three requests that load the search context.
  bool loaded;
};

void RemoteOneWireMaster::Search() {
  if (searchListener) return;
  const auto listener = std::make_shared<SearchListener>(this, search.load);
  searchListener = listener;
  const std::shared_ptr<Transfer> pass = TransferCreate(searchListener);
  if (search.load) {
    pass->AddRequest(RelayProtocol::CMD_DATA_SEARCH_STATE, search.state.data(),
                     search.state.size());
    pass->AddRequest(RelayProtocol::CMD_DATA_SEARCH_COMMAND, &search.command, 1);
    pass->AddRequest(RelayProtocol::CMD_DATA_ID, search.id.data(), search.id.size());
    search.load = false;
  }
  listener->passes = AddSearchPasses(*pass);
  transfers.push_back(pass);
  Process();
}

unsigned RemoteOneWireMaster::AddSearchPasses(Transfer& pass) const {
  const Request passRequests[] = {{RelayProtocol::CMD_ML_RESET, {}},
                                  {RelayProtocol::CMD_ML_SEARCH, {}},
                                  {RelayProtocol::CMD_DATA_ID, {}}};
  std::size_t commands = 0;
  std::size_t answers = 0;
  for (const Request& request : pass.requests) {
    commands += RequestBytes(request);
    answers += AnswerBytes(request);
  }
  std::size_t passCommands = 0;
  std::size_t passAnswers = 0;
  for (const Request& request : passRequests) {
    passCommands += RequestBytes(request);
    passAnswers += AnswerBytes(request);
  }
  // Always one pass; further ones while wanted and within both limits.
  unsigned passes = 0;
  do {
    for (const Request& request : passRequests) pass.requests.push_back(request);
    commands += passCommands;
    answers += passAnswers;
    ++passes;
  } while ((searchPasses == SEARCH_PASSES_MOST || passes < searchPasses) &&
           commands + passCommands <= BlockCapacity() && answers + passAnswers <= outboundMax);
  return passes;
}

void RemoteOneWireMaster::SearchError(const std::string& message) {
  AbstractOneWireMaster::SearchError(kTransferFailed + message);
  if (!discovery) CancelSearch();
}

void RemoteOneWireMaster::CancelSearch() {
  if (!searchListener) return;
  const std::shared_ptr<TransferListener> cancelled = searchListener;
  transfers.remove_if([&cancelled](const std::shared_ptr<Transfer>& queued) {
    return queued->listener == cancelled;
  });
  // An in-flight search transfer stays until the relay answers; with its
  // listener released it is ignored then, and the next discovery loads a
  // fresh search context.
  searchListener.reset();
}

// The relay keeps the search state, and a pass that went wrong has already
// moved it on; the state before that pass is not known here. The search
// starts over with a fresh context instead and finds the devices again, in
// the same order; the repeats of the failed pass stay counted.
void RemoteOneWireMaster::RestartSearch() {
  const uint8_t command = search.command;
  const unsigned repeats = search.repeats;
  const std::size_t repeatPass = search.repeatPass;
  search = SearchContext{};
  search.command = command;
  search.repeats = repeats;
  search.repeatPass = repeatPass;
  discovery->devices.clear();
  Search();
}

void RemoteOneWireMaster::ReceiveSearchResponse(const Transfer& pass, bool loaded,
                                                unsigned passes) {
  ResponseWalk walk(pass);
  if (loaded &&
      !(walk.Accept(RelayProtocol::CMD_DATA_SEARCH_STATE, "Failed to initialize search state") &&
        walk.Accept(RelayProtocol::CMD_DATA_SEARCH_COMMAND,
                    "Failed to initialize search command") &&
        walk.Accept(RelayProtocol::CMD_DATA_ID, "Failed to initialize search ID"))) {
    return SearchError(walk.Failure());
  }
  // Before the last pass another result is on its way; after it the base
  // asks for the next transfer. The walk ends at the first pass that finds
  // no further device: the relay's answers after it are ignored.
  for (unsigned index = 0; index < passes; ++index) {
    if (!ReceiveSearchPass(walk, index + 1 < passes)) return;
  }
}

bool RemoteOneWireMaster::ReceiveSearchPass(ResponseWalk& walk, bool pending) {
  const Response* found = nullptr;
  bool crcFailed = false;
  if (walk.Accept(RelayProtocol::CMD_ML_RESET)) found = walk.Take(RelayProtocol::CMD_ML_SEARCH);
  if (found && found->returnCode == RelayProtocol::RC_NO_FURTHER_DEVICE) {
    // The identity of a pass that found nothing is not read.
    search.done = true;
    SearchFinished(false);
    return false;
  }
  if (found && found->returnCode != RelayProtocol::RC_OK) found = walk.Fail("CMD_ML_SEARCH failed");
  const Response* id = found ? walk.Accept(RelayProtocol::CMD_DATA_ID) : nullptr;
  if (id && id->data.size() != 8) {
    id = walk.Fail("Invalid CMD_DATA_ID response (size != 8)");
  } else if (id && Device::crc8(id->data.data(), 8) != 0) {
    id = walk.Fail("CMD_DATA_ID CRC Check failed");
    crcFailed = true;
  }
  if (!id) {
    if (crcFailed && RepeatSearchPass()) {
      RestartSearch();
    } else {
      SearchError(walk.Failure());
    }
    return false;
  }
  search.id = Device(id->data.data());
  SearchFinished(pending);
  return true;
}

#include "relay/RemoteOneWireMaster.h"

#include <algorithm>
#include <sstream>

namespace {

const char kProtocolError[] = "Remote OneWire protocol error";
const char kTransferFailed[] = "Remote OneWire transfer failed: ";
const char kConfigFailed[] = "Failed to configure remote: ";
const char kSilentRelay[] = "Relay did not answer";
const char kDisabled[] = "Master disabled before the exchange ended";

// The largest exchange one CMD_ML_DATA can carry: its length is one byte.
constexpr std::size_t kMaxExchange = 255;

}  // namespace

// ---- Transfers --------------------------------------------------------------

RemoteOneWireMaster::TransferListener::~TransferListener() = default;

void RemoteOneWireMaster::TransferListener::Sent(const Transfer&) {}

void RemoteOneWireMaster::TransferListener::ProtocolError(const std::string& message) {
  Error(message);
}

RemoteOneWireMaster::Transfer::Transfer(const std::shared_ptr<TransferListener>& listener)
    : listener(listener) {}

void RemoteOneWireMaster::Transfer::AddRequest(uint8_t command) {
  requests.push_back(Request{command, {}});
}

void RemoteOneWireMaster::Transfer::AddRequest(uint8_t command, const std::vector<uint8_t>& data) {
  requests.push_back(Request{command, data});
}

void RemoteOneWireMaster::Transfer::AddRequest(uint8_t command, const uint8_t* data,
                                               std::size_t count) {
  requests.push_back(Request{command, std::vector<uint8_t>(data, data + count)});
}

// ---- The master ---------------------------------------------------------------

RemoteOneWireMaster::RemoteOneWireMaster() = default;
RemoteOneWireMaster::~RemoteOneWireMaster() = default;

bool RemoteOneWireMaster::CommandIsMultiByte(uint8_t command) { return (command & 0x80) == 0; }

bool RemoteOneWireMaster::ReturnCodeHalts(uint8_t returnCode) { return returnCode > 1; }

std::size_t RemoteOneWireMaster::RequestBytes(const Request& request) {
  return (CommandIsMultiByte(request.command) ? 2 : 1) + request.data.size();
}

std::size_t RemoteOneWireMaster::BlockCapacity() const {
  return inboundMax > BLOCK_RESERVE ? inboundMax - BLOCK_RESERVE : 0;
}

std::shared_ptr<RemoteOneWireMaster::Transfer> RemoteOneWireMaster::TransferCreate(
    const std::shared_ptr<TransferListener>& listener) {
  struct make_shared_enabler : Transfer {
    explicit make_shared_enabler(const std::shared_ptr<TransferListener>& l) : Transfer(l) {}
  };
  return std::make_shared<make_shared_enabler>(listener);
}

void RemoteOneWireMaster::TransferSubmit(const std::shared_ptr<Transfer>& queued) {
  transfers.push_back(queued);
}

void RemoteOneWireMaster::TransferSubmitNext(const std::shared_ptr<Transfer>& queued) {
  transfers.push_front(queued);
}

void RemoteOneWireMaster::TransferWithdraw(const std::shared_ptr<Transfer>& queued) {
  transfers.remove(queued);
}

std::shared_ptr<AbstractOneWireMaster::Transaction> RemoteOneWireMaster::CreateTransaction(
    AbstractOneWireMaster::Transaction::Listener& listener) {
  return Transaction::Create(*this, listener);
}

// ---- Engine: sending ----------------------------------------------------------

void RemoteOneWireMaster::SendInbound(const std::vector<uint8_t>&) {}

void RemoteOneWireMaster::SentInbound() {
  if (transfer && transfer->listener) transfer->listener->Sent(*transfer);
}

void RemoteOneWireMaster::PollOutbound() { SendInbound(std::vector<uint8_t>{CMD_POLL}); }

bool RemoteOneWireMaster::PackBlock(const Transfer& packed, std::vector<uint8_t>& block,
                                    std::string& failure) const {
  std::size_t needed = 0;
  bool encodable = true;
  for (const Request& request : packed.requests) {
    needed += RequestBytes(request);
    // A payload longer than 255 bytes has no length byte that could carry it.
    if (CommandIsMultiByte(request.command) && request.data.size() > 0xFF) encodable = false;
  }
  // Each request fits while S + B + 2 <= inboundMax; checking the total once
  // is the same rule, counted in size_t so that nothing wraps.
  if (!encodable || needed > BlockCapacity()) {
    std::ostringstream text;
    text << "Transfer needs " << needed << " bytes of commands, the relay takes at most "
         << BlockCapacity() << " per block";
    failure = text.str();
    return false;
  }
  block.clear();
  block.reserve(needed + 1);
  for (const Request& request : packed.requests) {
    block.push_back(request.command);
    if (CommandIsMultiByte(request.command))
      block.push_back(static_cast<uint8_t>(request.data.size()));
    block.insert(block.end(), request.data.begin(), request.data.end());
  }
  block.push_back(CMD_POLL);
  return true;
}

void RemoteOneWireMaster::RunTransfers() {
  // A transfer that cannot be packed is released at once and its listener
  // told, so the queue moves on instead of stalling behind it.
  while (state != Disabled && !transfer && !transfers.empty()) {
    const std::shared_ptr<Transfer> next = transfers.front();
    transfers.pop_front();
    std::vector<uint8_t> block;
    std::string failure;
    if (!PackBlock(*next, block, failure)) {
      if (next->listener) next->listener->Error(failure);
      continue;
    }
    transfer = next;
    pollsLeft = POLL_BUDGET;
    SendInbound(block);
    return;
  }
}

// ---- Engine: receiving --------------------------------------------------------

bool RemoteOneWireMaster::ParseOutbound(Transfer& parsed, const std::vector<uint8_t>& block) {
  std::size_t cursor = 0;
  for (const Request& request : parsed.requests) {
    const uint8_t expected = request.command;
    // Only a write (a multi-byte command with a payload) may be answered by
    // CMD_STATUS or by nothing at all.
    const bool write = CommandIsMultiByte(expected) && !request.data.empty();
    if (cursor == block.size()) {
      // The relay said nothing about a trailing write: that counts as
      // success, the same as a missing answer in mid-block.
      if (!write) return false;
      parsed.responses.push_back(Response{expected, 0, {}});
      continue;
    }
    const uint8_t echo = block[cursor];
    if (echo != expected) {
      if (!write) return false;
      if (echo != CMD_STATUS) {
        parsed.responses.push_back(Response{expected, 0, {}});
        continue;
      }
    }
    ++cursor;
    if (cursor == block.size()) return false;
    const uint8_t value = block[cursor++];
    if (!CommandIsMultiByte(echo)) {
      parsed.responses.push_back(Response{expected, value, {}});
      if (ReturnCodeHalts(value)) return true;
      continue;
    }
    if (block.size() - cursor < value) return false;
    const auto first = block.begin() + static_cast<std::ptrdiff_t>(cursor);
    parsed.responses.push_back(Response{expected, 0, std::vector<uint8_t>(first, first + value)});
    cursor += value;
  }
  return true;
}

void RemoteOneWireMaster::ReceiveOutbound(const std::vector<uint8_t>& block) {
  if (!transfer) return;
  const std::shared_ptr<Transfer> current = transfer;
  if (block.empty()) {
    if (pollsLeft > 0) --pollsLeft;
    if (pollsLeft > 0) {
      PollOutbound();
      return;
    }
    // Silent through the whole budget: give the transfer up so that the
    // owner hears and the queue goes on.
    if (current->listener) current->listener->Error(kSilentRelay);
    EndTransfer(current);
    return;
  }
  pollsLeft = POLL_BUDGET;
  if (!ParseOutbound(*current, block)) {
    AbortTransfer(kProtocolError);
    return;
  }
  // The listener runs while the transfer is still in flight, so transfers it
  // queues are sent only after this one has been cleared.
  if (current->listener) current->listener->Finished(*current);
  EndTransfer(current);
}

void RemoteOneWireMaster::AbortTransfer(const std::string& message) {
  const std::shared_ptr<Transfer> current = transfer;
  Error(message);
  if (!current) return;
  if (current->listener) current->listener->ProtocolError(message);
  EndTransfer(current);
}

void RemoteOneWireMaster::EndTransfer(const std::shared_ptr<Transfer>& ended) {
  // A listener may have disabled and re-enabled the master, putting a new
  // transfer in flight; that one must stay.
  if (transfer == ended) transfer.reset();
  Process();
}

// ---- Processing step ----------------------------------------------------------

void RemoteOneWireMaster::Process() {
  if (state == Enabling) {
    RunTransfers();
    // Still configuring, or a nested step has already moved the state on.
    if (state != Enabling || configListener) return;
    AbstractOneWireMaster::Process();
  }
  if (state == Ready) {
    RunTransfers();
    if (state == Ready) AbstractOneWireMaster::Process();
  } else if (state == Searching) {
    RunTransfers();
  }
}

// ---- Enabling and configuration -----------------------------------------------

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
  // A disable (and a re-enable) may have replaced the configuration while
  // this transfer was under way; a stale listener does nothing.
  bool IsCurrent() const { return master->configListener.get() == this; }
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
  config->AddRequest(CMD_RESET);
  config->AddRequest(CMD_DATA_OUTBOUND_MAX);
  config->AddRequest(CMD_DATA_INBOUND_MAX);
  config->AddRequest(CMD_DATA_PROTOCOL);
  config->AddRequest(CMD_DATA_VENDOR);
  transfers.push_back(config);
}

void RemoteOneWireMaster::ConfigError(const std::string& message) {
  Error(kConfigFailed + message);
}

void RemoteOneWireMaster::ReceiveConfigResponse(const Transfer& config) {
  // One slot per expected answer; a missing answer is a null slot.
  std::vector<const Response*> answers;
  for (const Response& response : config.responses) answers.push_back(&response);
  answers.resize(std::max<std::size_t>(answers.size(), 5), nullptr);
  if (ReceiveResetResponse(answers[0]) && ReceiveDataOutboundMax(answers[1]) &&
      ReceiveDataInboundMax(answers[2]) && ReceiveDataProtocol(answers[3])) {
    ReceiveDataVendor(answers[4]);
  }
}

bool RemoteOneWireMaster::ReceiveResetResponse(const Response* response) {
  if (!response || response->command != CMD_RESET) {
    ConfigError("No CMD_RESET response");
    return false;
  }
  if (response->returnCode != 0) {
    ConfigError("CMD_RESET failed");
    return false;
  }
  return true;
}

namespace {

using Response = RemoteOneWireMaster::Response;

// The texts of one configuration answer, in the order of its checks.
struct AnswerTexts {
  const char* missing;
  const char* failed;
  const char* badData;
  const char* badValue;
};

// Command and return code, shared by every configuration answer; returns the
// failure text, or null when both are right.
const char* CheckAnswer(const Response* response, uint8_t command, const AnswerTexts& texts) {
  if (!response || response->command != command) return texts.missing;
  if (response->returnCode != 0) return texts.failed;
  return nullptr;
}

// A block maximum: one byte, at least `minimum`.
const char* CheckMaximum(const Response* response, uint8_t command, const AnswerTexts& texts,
                         uint8_t minimum) {
  if (const char* failure = CheckAnswer(response, command, texts)) return failure;
  if (response->data.size() != 1) return texts.badData;
  if (response->data[0] < minimum) return texts.badValue;
  return nullptr;
}

// A text: at least one byte, the last one 0.
const char* CheckText(const Response* response, uint8_t command, const AnswerTexts& texts) {
  if (const char* failure = CheckAnswer(response, command, texts)) return failure;
  if (response->data.empty() || response->data.back() != 0) return texts.badData;
  return nullptr;
}

// The text up to its first 0 byte.
std::string TextOf(const std::vector<uint8_t>& data) {
  return std::string(data.begin(), std::find(data.begin(), data.end(), uint8_t{0}));
}

}  // namespace

bool RemoteOneWireMaster::ReceiveDataOutboundMax(const Response* response) {
  static const AnswerTexts texts{"No CMD_DATA_OUTBOUND_MAX response",
                                 "CMD_DATA_OUTBOUND_MAX failed",
                                 "Invalid CMD_DATA_OUTBOUND_MAX response data",
                                 "Invalid CMD_DATA_OUTBOUND_MAX response value"};
  if (const char* failure =
          CheckMaximum(response, CMD_DATA_OUTBOUND_MAX, texts, MIN_OUTBOUND_MAX)) {
    ConfigError(failure);
    return false;
  }
  outboundMax = response->data[0];
  return true;
}

bool RemoteOneWireMaster::ReceiveDataInboundMax(const Response* response) {
  // "Invalod" is how the relay master has always spelt this message.
  static const AnswerTexts texts{"No CMD_DATA_INBOUND_MAX response", "CMD_DATA_INBOUND_MAX failed",
                                 "Invalid CMD_DATA_INBOUND_MAX response data",
                                 "Invalod CMD_DATA_INBOUND_MAX response value"};
  if (const char* failure = CheckMaximum(response, CMD_DATA_INBOUND_MAX, texts, MIN_INBOUND_MAX)) {
    ConfigError(failure);
    return false;
  }
  inboundMax = response->data[0];
  return true;
}

bool RemoteOneWireMaster::ReceiveDataProtocol(const Response* response) {
  static const AnswerTexts texts{"No CMD_DATA_PROTOCOL response", "CMD_DATA_PROTOCOL failed",
                                 "Invalid CMD_DATA_PROTOCOL response data", nullptr};
  if (const char* failure = CheckText(response, CMD_DATA_PROTOCOL, texts)) {
    ConfigError(failure);
    return false;
  }
  protocol = TextOf(response->data);
  return true;
}

bool RemoteOneWireMaster::ReceiveDataVendor(const Response* response) {
  static const AnswerTexts texts{"No CMD_DATA_VENDOR response", "CMD_DATA_VENDOR failed",
                                 "Invalid CMD_DATA_VENDOR response data", nullptr};
  if (const char* failure = CheckText(response, CMD_DATA_VENDOR, texts)) {
    ConfigError(failure);
    return false;
  }
  vendor = TextOf(response->data);
  return true;
}

// ---- ROM search ---------------------------------------------------------------

class RemoteOneWireMaster::SearchListener : public TransferListener {
 public:
  SearchListener(RemoteOneWireMaster* master, bool loaded) : master(master), loaded(loaded) {}

  void Finished(const Transfer& transfer) override {
    if (!IsCurrent()) return;
    // Released first: the examination may ask for the next search transfer.
    master->searchListener.reset();
    master->ReceiveSearchResponse(transfer, loaded);
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
  bool IsCurrent() const { return master->searchListener.get() == this; }

  RemoteOneWireMaster* master;
  // The transfer began with the three requests that load the search context.
  bool loaded;
};

void RemoteOneWireMaster::Search() {
  if (searchListener) return;
  searchListener = std::make_shared<SearchListener>(this, search.load);
  const std::shared_ptr<Transfer> pass = TransferCreate(searchListener);
  if (search.load) {
    pass->AddRequest(CMD_DATA_SEARCH_STATE, search.state.data(), search.state.size());
    pass->AddRequest(CMD_DATA_SEARCH_COMMAND, &search.command, 1);
    pass->AddRequest(CMD_DATA_ID, search.id.data(), search.id.size());
    search.load = false;
  }
  for (int i = 0; i < 2; ++i) {
    pass->AddRequest(CMD_ML_RESET);
    pass->AddRequest(CMD_ML_SEARCH);
    pass->AddRequest(CMD_DATA_ID);
  }
  transfers.push_back(pass);
  Process();
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

void RemoteOneWireMaster::ReceiveSearchResponse(const Transfer& pass, bool loaded) {
  auto next = pass.responses.begin();
  const auto take = [&]() -> const Response* {
    return next == pass.responses.end() ? nullptr : &*next++;
  };
  const auto accepted = [](const Response* response, uint8_t command) {
    return response && response->command == command && response->returnCode == 0;
  };
  if (loaded) {
    if (!accepted(take(), CMD_DATA_SEARCH_STATE))
      return SearchError("Failed to initialize search state");
    if (!accepted(take(), CMD_DATA_SEARCH_COMMAND)) {
      return SearchError("Failed to initialize search command");
    }
    if (!accepted(take(), CMD_DATA_ID)) return SearchError("Failed to initialize search ID");
  }
  for (int passIndex = 0; passIndex < 2; ++passIndex) {
    const Response* reset = take();
    if (!reset || reset->command != CMD_ML_RESET) return SearchError("No CMD_ML_RESET response");
    if (reset->returnCode != 0) return SearchError("CMD_ML_RESET failed");
    const Response* found = take();
    if (!found || found->command != CMD_ML_SEARCH) return SearchError("No CMD_ML_SEARCH response");
    if (found->returnCode == 1) {
      search.done = true;
      return SearchFinished(false);
    }
    if (found->returnCode != 0) return SearchError("CMD_ML_SEARCH failed");
    const Response* id = take();
    if (!id || id->command != CMD_DATA_ID) return SearchError("No CMD_DATA_ID response");
    if (id->returnCode != 0) return SearchError("CMD_DATA_ID failed");
    if (id->data.size() != 8) return SearchError("Invalid CMD_DATA_ID response (size != 8)");
    if (Device::crc8(id->data.data(), 8) != 0) return SearchError("CMD_DATA_ID CRC Check failed");
    search.id = Device(id->data.data());
    // After the first pass another result is on its way; after the second
    // the base asks for the next transfer.
    SearchFinished(passIndex == 0);
  }
}

// ---- Transactions -------------------------------------------------------------

namespace {

// Bytes of the three commands of one operation: CMD_DATA_ID (2 + 8),
// CMD_ML_ACCESS (1), CMD_ML_DATA (2 + L, command, data).
std::size_t OperationBytes(const AbstractOneWireMaster::OperationData& data) {
  return 15 + data.data.size();
}

std::size_t ExchangeLength(const AbstractOneWireMaster::OperationData& data) {
  return 1 + data.data.size() + data.length;
}

}  // namespace

RemoteOneWireMaster::Transaction::Transaction(
    RemoteOneWireMaster& master, AbstractOneWireMaster::Transaction::Listener& listener)
    : AbstractOneWireMaster::Transaction(master, listener), master(master) {}

std::shared_ptr<AbstractOneWireMaster::Transaction> RemoteOneWireMaster::Transaction::Create(
    RemoteOneWireMaster& master, AbstractOneWireMaster::Transaction::Listener& listener) {
  struct make_shared_enabler : RemoteOneWireMaster::Transaction {
    make_shared_enabler(RemoteOneWireMaster& m, AbstractOneWireMaster::Transaction::Listener& l)
        : RemoteOneWireMaster::Transaction(m, l) {}
  };
  return std::make_shared<make_shared_enabler>(master, listener);
}

bool RemoteOneWireMaster::Transaction::AddOperation(const std::shared_ptr<Operation>& operation) {
  const OperationData& data = operation->getData();
  std::ostringstream text;
  if (ExchangeLength(data) > kMaxExchange) {
    text << "Operation refused: exchange of " << ExchangeLength(data) << " bytes exceeds "
         << kMaxExchange;
  } else if (OperationBytes(data) > master.BlockCapacity()) {
    text << "Operation refused: its commands need " << OperationBytes(data)
         << " bytes, the relay takes at most " << master.BlockCapacity() << " per block";
  } else {
    return AbstractOneWireMaster::Transaction::AddOperation(operation);
  }
  if (refusal.empty()) refusal = text.str();
  return false;
}

void RemoteOneWireMaster::Transaction::Submit() {
  running = true;
  std::string failure = refusal;
  const bool empty = operations.size() == packed;
  if (failure.empty() && !empty) QueueNextTransfer(true, failure);
  AbstractOneWireMaster::Transaction::Submit();
  // Ended from inside Submit already (the master's Process may run
  // listeners): nothing more to say.
  if (!running || transfer) return;
  if (!failure.empty()) {
    Error(failure);
  } else {
    Finished();
  }
}

bool RemoteOneWireMaster::Transaction::QueueNextTransfer(bool first, std::string& failure) {
  const std::size_t capacity = master.BlockCapacity();
  const std::shared_ptr<TransferListener> listener = std::make_shared<Listener>(weak_from_this());
  const std::shared_ptr<Transfer> next = master.TransferCreate(listener);
  std::vector<std::shared_ptr<Operation>> batch;
  std::size_t used = 0;
  for (auto it = std::next(operations.begin(), static_cast<std::ptrdiff_t>(packed));
       it != operations.end(); ++it) {
    const OperationData& data = (*it)->getData();
    if (used + OperationBytes(data) > capacity) break;
    used += OperationBytes(data);
    std::vector<uint8_t> exchange{static_cast<uint8_t>(ExchangeLength(data)), data.command};
    exchange.insert(exchange.end(), data.data.begin(), data.data.end());
    next->AddRequest(CMD_DATA_ID, data.device.data(), data.device.size());
    next->AddRequest(CMD_ML_ACCESS);
    next->AddRequest(CMD_ML_DATA, exchange);
    batch.push_back(*it);
  }
  if (batch.empty()) {
    // The relay's maximum shrank below what the operation was accepted for.
    std::ostringstream text;
    text << "Operation needs "
         << OperationBytes(
                (*std::next(operations.begin(), static_cast<std::ptrdiff_t>(packed)))->getData())
         << " bytes of commands, the relay takes at most " << capacity << " per block";
    failure = text.str();
    return false;
  }
  packed += batch.size();
  carried = std::move(batch);
  transferListener = listener;
  transfer = next;
  if (first) {
    master.TransferSubmit(next);
  } else {
    master.TransferSubmitNext(next);
  }
  return true;
}

void RemoteOneWireMaster::Transaction::ReceiveResponse(const Transfer& answered) {
  // Keeps this transaction alive through listener calls that may drop the
  // creator's handle.
  const std::shared_ptr<AbstractOneWireMaster::Transaction> self = shared_from_this();
  auto next = answered.responses.begin();
  const auto take = [&]() -> const Response* {
    return next == answered.responses.end() ? nullptr : &*next++;
  };
  const std::vector<std::shared_ptr<Operation>> batch = carried;
  for (const std::shared_ptr<Operation>& operation : batch) {
    const OperationData& data = operation->getData();
    const Response* id = take();
    if (!id || id->command != CMD_DATA_ID || id->returnCode != 0) return Error("Failed to set ID");
    const Response* access = take();
    if (!access || access->command != CMD_ML_ACCESS) return Error("No CMD_ML_ACCESS response");
    if (access->returnCode != 0) return Error("CMD_ML_ACCESS failed");
    const Response* exchange = take();
    if (!exchange || exchange->command != CMD_ML_DATA) return Error("No CMD_ML_DATA response");
    if (exchange->returnCode != 0) return Error("CMD_ML_DATA failed");
    if (exchange->data.size() != ExchangeLength(data)) {
      return Error("Erroneous size for returned data");
    }
    // The first 1 + w bytes stand for the command and data sent.
    const auto reply = exchange->data.begin() + static_cast<std::ptrdiff_t>(1 + data.data.size());
    FinishOperation(*operation, std::vector<uint8_t>(reply, exchange->data.end()));
    // An operation's listener may have ended the transaction (by disabling
    // the master, for example): deliver nothing further.
    if (!running) return;
  }
  if (packed < operations.size()) {
    std::string failure;
    if (!QueueNextTransfer(false, failure)) Error(failure);
    return;
  }
  Finished();
}

void RemoteOneWireMaster::Transaction::Detach() {
  if (transfer) master.TransferWithdraw(transfer);
  transfer.reset();
  transferListener.reset();
  carried.clear();
}

void RemoteOneWireMaster::Transaction::Finished() {
  if (!running) return;
  running = false;
  Detach();
  AbstractOneWireMaster::Transaction::Finished();
}

void RemoteOneWireMaster::Transaction::Error(const std::string& message) {
  if (!running) return;
  running = false;
  Detach();
  AbstractOneWireMaster::Transaction::Error(kTransferFailed + message);
}

RemoteOneWireMaster::Transaction::Listener::Listener(
    const std::weak_ptr<AbstractOneWireMaster::Transaction>& transaction)
    : transaction(transaction) {}

std::shared_ptr<RemoteOneWireMaster::Transaction>
RemoteOneWireMaster::Transaction::Listener::Current() const {
  const std::shared_ptr<RemoteOneWireMaster::Transaction> owner =
      std::static_pointer_cast<RemoteOneWireMaster::Transaction>(transaction.lock());
  if (!owner || owner->transferListener.get() != this) return nullptr;
  return owner;
}

void RemoteOneWireMaster::Transaction::Listener::Finished(const Transfer& transfer) {
  if (const std::shared_ptr<RemoteOneWireMaster::Transaction> owner = Current()) {
    owner->ReceiveResponse(transfer);
  }
}

void RemoteOneWireMaster::Transaction::Listener::Error(const std::string& message) {
  if (const std::shared_ptr<RemoteOneWireMaster::Transaction> owner = Current()) {
    owner->Error(message);
  }
}

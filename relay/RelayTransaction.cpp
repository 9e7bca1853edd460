#include <algorithm>
#include <sstream>

#include "relay/RemoteOneWireMaster.h"
#include "relay/ResponseWalk.h"

// Transactions carried as relay commands: CMD_DATA_ID, CMD_ML_ACCESS and
// CMD_ML_DATA per operation, in as few transfers as the inbound maximum
// allows.

namespace {

const char kTransferFailed[] = "Remote OneWire transfer failed: ";

// The largest exchange one CMD_ML_DATA can carry: its length is one byte.
constexpr std::size_t kMaxExchange = 255;

// Bytes of the three commands of one operation: CMD_DATA_ID (2 + 8),
// CMD_ML_ACCESS (1), CMD_ML_DATA (2 + L, command, data).
std::size_t OperationBytes(const AbstractOneWireMaster::OperationData& data) {
  return 15 + data.data.size();
}

std::size_t ExchangeLength(const AbstractOneWireMaster::OperationData& data) {
  return 1 + data.data.size() + data.length;
}

// Bytes of the longest answers to them: CMD_DATA_ID's echo form (2 + 8),
// CMD_ML_ACCESS (2), CMD_ML_DATA (2 + L).
std::size_t OperationAnswerBytes(const AbstractOneWireMaster::OperationData& data) {
  return 14 + ExchangeLength(data);
}

}  // namespace

std::shared_ptr<AbstractOneWireMaster::Transaction> RemoteOneWireMaster::CreateTransaction(
    AbstractOneWireMaster::Transaction::Listener& listener) {
  return Transaction::Create(*this, listener);
}

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
  } else if (OperationAnswerBytes(data) > master.outboundMax) {
    text << "Operation refused: its answers need " << OperationAnswerBytes(data)
         << " bytes, the relay sends at most " << unsigned(master.outboundMax) << " per block";
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
  const std::shared_ptr<TransferListener> listener = std::make_shared<Listener>(weak_from_this());
  const std::shared_ptr<Transfer> next = master.TransferCreate(listener);
  std::vector<std::shared_ptr<Operation>> batch;
  std::size_t commands = 0;
  std::size_t answers = 0;
  for (auto it = std::next(operations.begin(), static_cast<std::ptrdiff_t>(packed));
       it != operations.end(); ++it) {
    const OperationData& data = (*it)->getData();
    // Both the commands (one inbound block) and their longest answers (one
    // outbound block) must fit; the next operation starts a new transfer.
    if (commands + OperationBytes(data) > master.BlockCapacity() ||
        answers + OperationAnswerBytes(data) > master.outboundMax) {
      break;
    }
    commands += OperationBytes(data);
    answers += OperationAnswerBytes(data);
    AddCommands(*next, data);
    batch.push_back(*it);
    // Nothing follows a programming operation in its block: the bus then
    // stays idle until the next block, at least the relay's answer pause,
    // while the part programs; any reset or time slot meanwhile loses it.
    if (data.programs) break;
  }
  if (batch.empty()) {
    // The relay's maxima shrank below what the operation was accepted for.
    const OperationData& data =
        (*std::next(operations.begin(), static_cast<std::ptrdiff_t>(packed)))->getData();
    std::ostringstream text;
    text << "Operation needs " << OperationBytes(data) << " bytes of commands and up to "
         << OperationAnswerBytes(data) << " of answers, the relay takes at most "
         << master.BlockCapacity() << " and sends at most " << unsigned(master.outboundMax)
         << " per block";
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

void RemoteOneWireMaster::Transaction::AddCommands(Transfer& next, const OperationData& data) {
  // CMD_ML_DATA's payload: exchange length, function command, data bytes.
  std::vector<uint8_t> exchange(2 + data.data.size());
  exchange[0] = static_cast<uint8_t>(ExchangeLength(data));
  exchange[1] = data.command;
  std::copy(data.data.begin(), data.data.end(), exchange.begin() + 2);
  next.AddRequest(RelayProtocol::CMD_DATA_ID, data.device.data(), data.device.size());
  next.AddRequest(RelayProtocol::CMD_ML_ACCESS);
  next.AddRequest(RelayProtocol::CMD_ML_DATA, exchange);
}

void RemoteOneWireMaster::Transaction::ReceiveResponse(const Transfer& answered) {
  // Keeps this transaction alive through listener calls that may drop the
  // creator's handle.
  const std::shared_ptr<AbstractOneWireMaster::Transaction> self = shared_from_this();
  ResponseWalk walk(answered);
  const std::vector<std::shared_ptr<Operation>> batch = carried;
  for (const std::shared_ptr<Operation>& operation : batch) {
    const OperationData& data = operation->getData();
    const Response* exchange = ExamineOperation(walk, data);
    if (!exchange) return Error(walk.Failure());
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

const RemoteOneWireMaster::Response* RemoteOneWireMaster::Transaction::ExamineOperation(
    ResponseWalk& walk, const OperationData& data) {
  const Response* exchange = nullptr;
  if (walk.Accept(RelayProtocol::CMD_DATA_ID, "Failed to set ID") &&
      walk.Accept(RelayProtocol::CMD_ML_ACCESS)) {
    exchange = walk.Accept(RelayProtocol::CMD_ML_DATA);
  }
  if (exchange && exchange->data.size() != ExchangeLength(data)) {
    return walk.Fail("Erroneous size for returned data");
  }
  return exchange;
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
  if (!owner || !IsCurrentIn(owner->transferListener)) return nullptr;
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

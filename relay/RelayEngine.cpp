#include <sstream>

#include "relay/RemoteOneWireMaster.h"

// The transfer engine: the queue that sends one transfer at a time, the
// packing of inbound blocks, the parsing of outbound blocks into responses,
// polling, and the master's processing step.

namespace {

const char kProtocolError[] = "Remote OneWire protocol error";
const char kSilentRelay[] = "Relay did not answer";

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

bool RemoteOneWireMaster::CommandIsMultiByte(uint8_t command) {
  return RelayProtocol::CommandIsMultiByte(command);
}

bool RemoteOneWireMaster::ReturnCodeHalts(uint8_t returnCode) {
  return RelayProtocol::ReturnCodeHalts(returnCode);
}

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

// ---- Engine: sending ----------------------------------------------------------

void RemoteOneWireMaster::SendInbound(const std::vector<uint8_t>&) {}

void RemoteOneWireMaster::SentInbound() {
  if (transfer && transfer->listener) transfer->listener->Sent(*transfer);
}

void RemoteOneWireMaster::PollOutbound() {
  SendInbound(std::vector<uint8_t>{RelayProtocol::CMD_POLL});
}

std::size_t RemoteOneWireMaster::AnswerBytes(const Request& request) {
  return RelayProtocol::AnswerBytes(request.command, request.data);
}

bool RemoteOneWireMaster::CheckLimits(const Transfer& packed, std::string& failure) const {
  std::size_t commands = 0;
  std::size_t answers = 0;
  bool encodable = true;
  for (const Request& request : packed.requests) {
    commands += RequestBytes(request);
    answers += AnswerBytes(request);
    // A payload longer than 255 bytes has no length byte that could carry it.
    if (CommandIsMultiByte(request.command) && request.data.size() > 0xFF) encodable = false;
  }
  std::ostringstream text;
  // Each request fits while S + B + 2 <= inboundMax; checking the total once
  // is the same rule, counted in size_t so that nothing wraps.
  if (!encodable || commands > BlockCapacity()) {
    text << "Transfer needs " << commands << " bytes of commands, the relay takes at most "
         << BlockCapacity() << " per block";
  } else if (answers > outboundMax && !(configListener && packed.listener == configListener)) {
    // The relay sends one outbound block per transfer and no more than it
    // reported; the configuration runs before that maximum is known.
    text << "Transfer needs up to " << answers << " bytes of answers, the relay sends at most "
         << unsigned(outboundMax) << " per block";
  } else {
    return true;
  }
  failure = text.str();
  return false;
}

bool RemoteOneWireMaster::PackBlock(const Transfer& packed, std::vector<uint8_t>& block,
                                    std::string& failure) const {
  if (!CheckLimits(packed, failure)) return false;
  block.clear();
  for (const Request& request : packed.requests) {
    block.push_back(request.command);
    if (CommandIsMultiByte(request.command))
      block.push_back(static_cast<uint8_t>(request.data.size()));
    block.insert(block.end(), request.data.begin(), request.data.end());
  }
  block.push_back(RelayProtocol::CMD_POLL);
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
      if (echo != RelayProtocol::CMD_STATUS) {
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


#include "relay/test/ScriptedRelay.h"

#include <utility>

void ScriptedRelay::SendInbound(const Bytes& block) {
  RemoteOneWireMaster::SendInbound(block);
  inbound.push_back(block);
}

void ScriptedRelay::Answer(const Bytes& outbound) {
  SentInbound();
  ReceiveOutbound(outbound);
}

void ScriptedRelay::Play(const std::vector<Bytes>& outbound) {
  for (const Bytes& block : outbound) Answer(block);
}

void ScriptedRelay::FinishWith(const std::vector<Response>& responses) {
  const std::shared_ptr<Transfer> current = transfer;
  const std::shared_ptr<Transfer> made = TransferCreate(current->listener);
  made->requests = current->requests;
  made->responses.assign(responses.begin(), responses.end());
  current->listener->Finished(*made);
  transfer.reset();
  Process();
}

void ScriptedRelay::MakeReady(uint8_t inboundMax) {
  Enable(true);
  Answer(ConfigAnswer(0x40, inboundMax));
}

namespace {

Bytes Text(const std::string& text) {
  Bytes bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

}  // namespace

Bytes Concat(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Bytes ConfigAnswer(uint8_t outboundMax, uint8_t inboundMax, const std::string& protocol,
                   const std::string& vendor) {
  const Bytes p = Text(protocol);
  const Bytes v = Text(vendor);
  return Concat({{0x84, 0x00, 0x05, 0x01, outboundMax, 0x06, 0x01, inboundMax},
                 {0x07, static_cast<uint8_t>(p.size())},
                 p,
                 {0x08, static_cast<uint8_t>(v.size())},
                 v});
}

Bytes SearchAnswer(bool loaded, const std::vector<Device>& found) {
  // Writes may be answered by CMD_STATUS, by an empty echo or not at all.
  // Return code 1 does not halt, so both passes are always answered.
  Bytes answer = loaded ? Bytes{0x86, 0x00, 0x02, 0x00, 0x86, 0x00} : Bytes{};
  for (std::size_t pass = 0; pass < 2; ++pass) {
    const bool hit = pass < found.size();
    answer = Concat({answer, {0x80, 0x00, 0x81, static_cast<uint8_t>(hit ? 0 : 1), 0x00, 0x08}});
    const Device rom = hit ? found[pass] : Device();
    answer.insert(answer.end(), rom.begin(), rom.end());
  }
  return answer;
}

Bytes OperationAnswer(std::size_t written, const Bytes& reply) {
  Bytes answer{0x86, 0x00, 0x82, 0x00, 0x0A, static_cast<uint8_t>(written + reply.size())};
  answer.insert(answer.end(), written, 0xEE);
  answer.insert(answer.end(), reply.begin(), reply.end());
  return answer;
}

Device Rom(uint8_t serial) {
  std::array<uint8_t, 8> rom{{0x14, serial, 0x02, 0x03, 0x04, 0x05, 0x06, 0x00}};
  rom[7] = Device::crc8(rom.data(), 7);
  return Device(rom);
}

LoggedOperation::LoggedOperation(TransactionLog& log, std::string name, const Device& device,
                                 uint8_t command, const Bytes& data, uint8_t length)
    : Operation(device, command, data, length), log(log), name(std::move(name)) {}

void LoggedOperation::Finished(const Bytes& bytes) {
  reply = bytes;
  log.events.push_back(name);
}

#include "testing/RelayAnswers.h"

namespace orvtest {

const Bytes kConfigBlock = {0x84, 0x05, 0x00, 0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x85};
const Bytes kFirstSearchBlock = {0x01, 0x02, 0x00, 0x00, 0x02, 0x01, 0xF0, 0x00, 0x08,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80,
                                 0x81, 0x00, 0x00, 0x80, 0x81, 0x00, 0x00, 0x85};
const Bytes kLaterSearchBlock = {0x80, 0x81, 0x00, 0x00, 0x80, 0x81, 0x00, 0x00, 0x85};
const Bytes kPollBlock = {0x85};

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

Bytes PassAnswer(uint8_t resetCode, uint8_t searchCode, const Bytes& id) {
  return Concat({{0x80, resetCode, 0x81, searchCode, 0x00, static_cast<uint8_t>(id.size())}, id});
}

Bytes SearchBlock(bool loaded, std::size_t passes) {
  Bytes block = loaded ? Bytes(kFirstSearchBlock.begin(), kFirstSearchBlock.begin() + 17) : Bytes{};
  for (std::size_t pass = 0; pass < passes; ++pass) {
    block.insert(block.end(), {0x80, 0x81, 0x00, 0x00});
  }
  return Block(block);
}

Bytes SearchAnswer(bool loaded, const std::vector<Device>& found, std::size_t passes) {
  // Writes may be answered by CMD_STATUS, by an empty echo or not at all.
  // Return code 1 does not halt, so every pass is answered.
  Bytes answer = loaded ? Bytes{0x86, 0x00, 0x02, 0x00, 0x86, 0x00} : Bytes{};
  for (std::size_t pass = 0; pass < passes; ++pass) {
    const bool hit = pass < found.size();
    answer = Concat({answer, PassAnswer(0, hit ? 0 : 1, RomData(hit ? found[pass] : Device()))});
  }
  return answer;
}

Bytes OperationBlock(const Device& device, uint8_t command, const Bytes& data, uint8_t length) {
  const uint8_t exchange = static_cast<uint8_t>(1 + data.size() + length);
  return Concat({{0x00, 0x08},
                 RomData(device),
                 {0x82, 0x0A, static_cast<uint8_t>(2 + data.size()), exchange, command},
                 data});
}

Bytes OperationAnswer(std::size_t written, const Bytes& reply) {
  Bytes answer{0x86, 0x00, 0x82, 0x00, 0x0A, static_cast<uint8_t>(written + reply.size())};
  answer.insert(answer.end(), written, 0xEE);
  answer.insert(answer.end(), reply.begin(), reply.end());
  return answer;
}

Bytes Block(const Bytes& commands) { return Concat({commands, kPollBlock}); }

Bytes RomData(const Device& device) { return Bytes(device.begin(), device.end()); }

Bytes Counting(std::size_t count, uint8_t first) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(first + i);
  return bytes;
}

}  // namespace orvtest

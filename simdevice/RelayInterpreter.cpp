#include "simdevice/RelayInterpreter.h"

#include <algorithm>
#include <string>

namespace simdevice {

namespace {

uint8_t Status(std::vector<uint8_t>& answer, uint8_t code) {
  answer.push_back(RelayProtocol::CMD_STATUS);
  answer.push_back(code);
  return code;
}

uint8_t Echo(std::vector<uint8_t>& answer, uint8_t command, uint8_t code) {
  answer.push_back(command);
  answer.push_back(code);
  return code;
}

void EchoData(std::vector<uint8_t>& answer, uint8_t command, const std::vector<uint8_t>& data) {
  answer.push_back(command);
  answer.push_back(static_cast<uint8_t>(data.size()));
  answer.insert(answer.end(), data.begin(), data.end());
}

std::vector<uint8_t> Text(const std::string& text) {
  std::vector<uint8_t> data(text.begin(), text.begin() + std::min<std::size_t>(text.size(), 254));
  data.push_back(0);
  return data;
}

}  // namespace

RelayInterpreter::RelayInterpreter(const RelaySettings& settings,
                                   const std::vector<CommandFailure>& failures, OneWireBus& bus,
                                   BusFaults& busFaults)
    : settings(settings),
      failures(failures),
      failureSeen(failures.size(), 0),
      bus(bus),
      busFaults(busFaults) {}

std::vector<uint8_t> RelayInterpreter::Run(const std::vector<uint8_t>& block) {
  std::vector<uint8_t> answer;
  std::size_t pos = 0;
  while (pos < block.size()) {
    const uint8_t code = block[pos++];
    uint8_t result;
    if (P::CommandIsMultiByte(code)) {
      // A length byte and that many payload bytes must follow.
      if (pos >= block.size() || block.size() - pos - 1 < block[pos]) {
        Status(answer, RC_TRUNCATED);
        break;
      }
      const std::size_t length = block[pos++];
      const auto first = block.begin() + static_cast<std::ptrdiff_t>(pos);
      const std::vector<uint8_t> payload(first, first + static_cast<std::ptrdiff_t>(length));
      pos += length;
      const uint8_t forced = ForcedCode(code);
      result = forced != 0 ? Status(answer, forced) : RunMulti(code, payload, answer);
    } else {
      if (code == P::CMD_POLL) continue;  // asks for nothing and is not answered
      const uint8_t forced = ForcedCode(code);
      result = forced != 0 ? Echo(answer, code, forced) : RunSingle(code, answer);
    }
    if (P::ReturnCodeHalts(result)) break;  // the relay answers no later command of the block
  }
  // The bus stays idle until the next block: whether that is long enough
  // for an EEPROM to program is up to the bus clock, so a master that sends
  // its next block at once (no answer pause) interrupts the programming.
  return answer;
}

uint8_t RelayInterpreter::ForcedCode(uint8_t code) {
  uint8_t forced = 0;
  for (std::size_t i = 0; i < failures.size(); ++i) {
    const CommandFailure& failure = failures[i];
    if (failure.command != code) continue;
    const uint32_t seen = failureSeen[i]++;
    const bool applies =
        seen >= failure.skip && (failure.count == 0 || seen - failure.skip < failure.count);
    if (applies && forced == 0) forced = failure.code;
  }
  return forced;
}

uint8_t RelayInterpreter::RunSingle(uint8_t code, std::vector<uint8_t>& answer) {
  switch (code) {
    case P::CMD_ML_RESET:
      return Echo(answer, code, bus.Reset() ? P::RC_OK : settings.noPresenceCode);
    case P::CMD_ML_SEARCH:
      return Echo(answer, code, Search());
    case P::CMD_ML_ACCESS:
      return Echo(answer, code, Access());
    case P::CMD_RESET:
      ResetSearch();
      id = Rom{};
      idFromSearch = false;
      searchCommand = onewire::SEARCH_ROM;
      bus.Reset();
      return Echo(answer, code, P::RC_OK);
    default:
      return Echo(answer, code, RC_UNKNOWN_COMMAND);
  }
}

uint8_t RelayInterpreter::RunMulti(uint8_t code, const std::vector<uint8_t>& payload,
                                std::vector<uint8_t>& answer) {
  const bool read = payload.empty();
  switch (code) {
    case P::CMD_DATA_ID:
      if (read) {
        const Rom read = idFromSearch ? busFaults.AsSearched(id) : id;
        const std::vector<uint8_t> data(read.begin(), read.end());
        EchoData(answer, code, data);
        return P::RC_OK;
      }
      if (payload.size() != id.size()) return Status(answer, RC_BAD_LENGTH);
      std::copy(payload.begin(), payload.end(), id.begin());
      idFromSearch = false;
      AnswerWrite(code, payload, answer);
      return P::RC_OK;
    case P::CMD_DATA_SEARCH_STATE:
      if (read) {
        EchoData(answer, code, {lastDiscrepancy, static_cast<uint8_t>(lastDevice ? 1 : 0)});
        return P::RC_OK;
      }
      if (payload.size() != 2) return Status(answer, RC_BAD_LENGTH);
      lastDiscrepancy = payload[0];
      lastDevice = payload[1] != 0;
      AnswerWrite(code, payload, answer);
      return P::RC_OK;
    case P::CMD_DATA_SEARCH_COMMAND:
      if (read) {
        EchoData(answer, code, {searchCommand});
        return P::RC_OK;
      }
      if (payload.size() != 1) return Status(answer, RC_BAD_LENGTH);
      searchCommand = payload[0];
      AnswerWrite(code, payload, answer);
      return P::RC_OK;
    case P::CMD_DATA_OUTBOUND_MAX:
    case P::CMD_DATA_INBOUND_MAX:
      if (!read) return Status(answer, RC_READ_ONLY);
      EchoData(answer, code,
               {code == P::CMD_DATA_OUTBOUND_MAX ? settings.outboundMax : settings.inboundMax});
      return P::RC_OK;
    case P::CMD_DATA_PROTOCOL:
    case P::CMD_DATA_VENDOR:
      if (!read) return Status(answer, RC_READ_ONLY);
      EchoData(answer, code, Text(code == P::CMD_DATA_PROTOCOL ? settings.protocol : settings.vendor));
      return P::RC_OK;
    case P::CMD_ML_DATA:
      return Exchange(payload, answer);
    default:
      return Status(answer, RC_UNKNOWN_COMMAND);
  }
}

void RelayInterpreter::AnswerWrite(uint8_t code, const std::vector<uint8_t>& payload,
                                std::vector<uint8_t>& answer) {
  switch (settings.writeAnswer) {
    case WriteAnswer::Echo:
      EchoData(answer, code, payload);
      break;
    case WriteAnswer::Status:
      Status(answer, P::RC_OK);
      break;
    case WriteAnswer::Silent:
      break;
  }
}

void RelayInterpreter::ResetSearch() {
  lastDiscrepancy = 0;
  lastDevice = false;
}

// One pass of the standard 1-Wire ROM search: at a discrepancy below the
// last one it follows the previous ROM, at the last one it takes 1, above it
// takes 0; the last 0 taken at a discrepancy becomes the next starting point.
uint8_t RelayInterpreter::Search() {
  if (lastDevice || !bus.Reset()) {
    ResetSearch();
    return P::RC_NO_FURTHER_DEVICE;
  }
  bus.BeginSearch(searchCommand);
  Rom rom = id;
  unsigned lastZero = 0;
  for (unsigned number = 1; number <= 64; ++number) {
    bool bit = false;
    bool complement = false;
    bus.ReadSearchBits(bit, complement);
    if (bit && complement) {  // nobody answered
      ResetSearch();
      return P::RC_NO_FURTHER_DEVICE;
    }
    bool direction;
    if (bit != complement) {
      direction = bit;
    } else if (number < lastDiscrepancy) {
      direction = RomBit(rom, number - 1);
    } else {
      direction = number == lastDiscrepancy;
    }
    if (bit == complement && !direction) lastZero = number;
    const uint8_t mask = static_cast<uint8_t>(1u << ((number - 1) % 8));
    uint8_t& byte = rom[(number - 1) / 8];
    byte = direction ? static_cast<uint8_t>(byte | mask) : static_cast<uint8_t>(byte & ~mask);
    bus.WriteSearchBit(direction);
  }
  lastDiscrepancy = static_cast<uint8_t>(lastZero);
  lastDevice = lastZero == 0;
  id = rom;
  idFromSearch = true;
  return P::RC_OK;
}

// Reset and Match ROM with the loaded identity. The relay learns only whether
// any device gave a presence pulse, not whether the addressed one exists.
uint8_t RelayInterpreter::Access() {
  busFaults.BeforeAccess(bus, id);
  const bool presence = bus.Reset();
  bus.MatchRom(id);
  return presence ? P::RC_OK : P::RC_NO_FURTHER_DEVICE;
}

// P::CMD_ML_DATA: payload = exchange length L, then the bytes to send; the
// remaining L minus sent bytes are read. The answer holds all L line bytes.
uint8_t RelayInterpreter::Exchange(const std::vector<uint8_t>& payload, std::vector<uint8_t>& answer) {
  if (payload.empty() || payload.size() - 1 > payload[0]) return Status(answer, RC_BAD_LENGTH);
  const std::size_t length = payload[0];
  answer.push_back(P::CMD_ML_DATA);
  answer.push_back(static_cast<uint8_t>(length));
  for (std::size_t i = 1; i < payload.size(); ++i) answer.push_back(bus.Exchange(payload[i]));
  for (std::size_t i = payload.size() - 1; i < length; ++i) answer.push_back(bus.Exchange(0xFF));
  return P::RC_OK;
}

}  // namespace simdevice

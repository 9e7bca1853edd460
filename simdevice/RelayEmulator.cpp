#include "simdevice/RelayEmulator.h"

#include <algorithm>

namespace simdevice {

const uint8_t RelayEmulator::CMD_DATA_ID;
const uint8_t RelayEmulator::CMD_DATA_SEARCH_STATE;
const uint8_t RelayEmulator::CMD_DATA_SEARCH_COMMAND;
const uint8_t RelayEmulator::CMD_DATA_OUTBOUND_MAX;
const uint8_t RelayEmulator::CMD_DATA_INBOUND_MAX;
const uint8_t RelayEmulator::CMD_DATA_PROTOCOL;
const uint8_t RelayEmulator::CMD_DATA_VENDOR;
const uint8_t RelayEmulator::CMD_ML_DATA;
const uint8_t RelayEmulator::CMD_ML_RESET;
const uint8_t RelayEmulator::CMD_ML_SEARCH;
const uint8_t RelayEmulator::CMD_ML_ACCESS;
const uint8_t RelayEmulator::CMD_RESET;
const uint8_t RelayEmulator::CMD_POLL;
const uint8_t RelayEmulator::CMD_STATUS;
const uint8_t RelayEmulator::RC_OK;
const uint8_t RelayEmulator::RC_NO_DEVICE;
const uint8_t RelayEmulator::RC_UNKNOWN_COMMAND;
const uint8_t RelayEmulator::RC_BAD_LENGTH;
const uint8_t RelayEmulator::RC_TRUNCATED;
const uint8_t RelayEmulator::RC_READ_ONLY;

namespace {

bool Halts(uint8_t code) { return code != 0 && code != 1; }

uint8_t Status(std::vector<uint8_t>& answer, uint8_t code) {
  answer.push_back(RelayEmulator::CMD_STATUS);
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

RelaySettings::RelaySettings()
    : inboundMax(255),
      outboundMax(255),
      protocol("1W-RELAY 1.0"),
      vendor("Simulated relay"),
      writeAnswer(WriteAnswer::Echo),
      noPresenceCode(0) {}

CommandFailure::CommandFailure() : command(0), code(2), skip(0), count(0) {}

DropOff::DropOff() : rom{}, atReadPhase(false), afterAccesses(0) {}

RelayFaults::RelayFaults()
    : silentReads(0),
      silentAfterAnswers(0),
      garbageAnswers(0),
      garbageBytes{0xFF, 0xFF, 0xFF, 0xFF},
      outboundChunk(0) {}

RelayEmulator::RelayEmulator(const RelaySettings& settings, const RelayFaults& faults)
    : settings(settings),
      faults(faults),
      id{},
      idFromSearch(false),
      lastDiscrepancy(0),
      lastDevice(false),
      searchCommand(0xF0),
      answers(0),
      garbageUsed(0),
      silentLeft(0),
      readPhase(false),
      failureSeen(faults.commandFailures.size(), 0),
      accessCount(faults.dropOffs.size(), 0) {}

OneWireBus& RelayEmulator::GetBus() { return bus; }
const OneWireBus& RelayEmulator::GetBus() const { return bus; }
const RelaySettings& RelayEmulator::GetSettings() const { return settings; }
const Rom& RelayEmulator::GetId() const { return id; }
uint8_t RelayEmulator::GetLastDiscrepancy() const { return lastDiscrepancy; }
bool RelayEmulator::GetLastDevice() const { return lastDevice; }
uint8_t RelayEmulator::GetSearchCommand() const { return searchCommand; }
std::size_t RelayEmulator::GetPendingSize() const { return pending.size(); }

std::vector<uint8_t> RelayEmulator::Process(const std::vector<uint8_t>& block) {
  std::vector<uint8_t> answer;
  std::size_t pos = 0;
  while (pos < block.size()) {
    const uint8_t code = block[pos++];
    uint8_t result;
    if ((code & 0x80) == 0) {
      // Multi-byte: a length byte and that many payload bytes must follow.
      if (pos >= block.size() || block.size() - pos - 1 < block[pos]) {
        Status(answer, RC_TRUNCATED);
        break;
      }
      const std::size_t length = block[pos++];
      const std::vector<uint8_t> payload(block.begin() + pos, block.begin() + pos + length);
      pos += length;
      const uint8_t forced = ForcedCode(code);
      result = forced != 0 ? Status(answer, forced) : RunMulti(code, payload, answer);
    } else {
      if (code == CMD_POLL) continue;  // asks for nothing and is not answered
      const uint8_t forced = ForcedCode(code);
      result = forced != 0 ? Echo(answer, code, forced) : RunSingle(code, answer);
    }
    if (Halts(result)) break;  // the relay answers no later command of the block
  }
  // The next block comes only after the answer has been fetched and the
  // relay's answer pause has passed: the bus stays idle meanwhile, long
  // enough for an EEPROM to program.
  bus.Idle();
  return answer;
}

void RelayEmulator::ReceiveInbound(const std::vector<uint8_t>& block) {
  std::vector<uint8_t> answer = Process(block);
  if (answer.empty()) return;  // a poll block, or writes answered silently
  ++answers;
  if (garbageUsed < faults.garbageAnswers) {
    ++garbageUsed;
    answer = faults.garbageBytes;
  }
  if (answers > faults.silentAfterAnswers) silentLeft = faults.silentReads;
  pending.insert(pending.end(), answer.begin(), answer.end());
}

std::vector<uint8_t> RelayEmulator::ReadOutbound() {
  if (pending.empty()) return {};
  if (silentLeft > 0) {
    --silentLeft;
    return {};
  }
  std::size_t count = pending.size();
  if (faults.outboundChunk != 0) count = std::min<std::size_t>(count, faults.outboundChunk);
  std::vector<uint8_t> out(pending.begin(), pending.begin() + count);
  pending.erase(pending.begin(), pending.begin() + count);
  return out;
}

uint8_t RelayEmulator::ForcedCode(uint8_t code) {
  uint8_t forced = 0;
  for (std::size_t i = 0; i < faults.commandFailures.size(); ++i) {
    const CommandFailure& failure = faults.commandFailures[i];
    if (failure.command != code) continue;
    const uint32_t seen = failureSeen[i]++;
    const bool applies =
        seen >= failure.skip && (failure.count == 0 || seen - failure.skip < failure.count);
    if (applies && forced == 0) forced = failure.code;
  }
  return forced;
}

uint8_t RelayEmulator::RunSingle(uint8_t code, std::vector<uint8_t>& answer) {
  switch (code) {
    case CMD_ML_RESET:
      return Echo(answer, code, bus.Reset() ? RC_OK : settings.noPresenceCode);
    case CMD_ML_SEARCH:
      return Echo(answer, code, Search());
    case CMD_ML_ACCESS:
      return Echo(answer, code, Access());
    case CMD_RESET:
      ResetSearch();
      id = Rom{};
      idFromSearch = false;
      searchCommand = 0xF0;
      bus.Reset();
      return Echo(answer, code, RC_OK);
    default:
      return Echo(answer, code, RC_UNKNOWN_COMMAND);
  }
}

uint8_t RelayEmulator::RunMulti(uint8_t code, const std::vector<uint8_t>& payload,
                                std::vector<uint8_t>& answer) {
  const bool read = payload.empty();
  switch (code) {
    case CMD_DATA_ID:
      if (read) {
        std::vector<uint8_t> data(id.begin(), id.end());
        const bool corrupt = idFromSearch && std::find(faults.corruptSearchCrc.begin(),
                                                       faults.corruptSearchCrc.end(),
                                                       id) != faults.corruptSearchCrc.end();
        if (corrupt) data[7] = static_cast<uint8_t>(~data[7]);
        EchoData(answer, code, data);
        return RC_OK;
      }
      if (payload.size() != id.size()) return Status(answer, RC_BAD_LENGTH);
      std::copy(payload.begin(), payload.end(), id.begin());
      idFromSearch = false;
      AnswerWrite(code, payload, answer);
      return RC_OK;
    case CMD_DATA_SEARCH_STATE:
      if (read) {
        EchoData(answer, code, {lastDiscrepancy, static_cast<uint8_t>(lastDevice ? 1 : 0)});
        return RC_OK;
      }
      if (payload.size() != 2) return Status(answer, RC_BAD_LENGTH);
      lastDiscrepancy = payload[0];
      lastDevice = payload[1] != 0;
      AnswerWrite(code, payload, answer);
      return RC_OK;
    case CMD_DATA_SEARCH_COMMAND:
      if (read) {
        EchoData(answer, code, {searchCommand});
        return RC_OK;
      }
      if (payload.size() != 1) return Status(answer, RC_BAD_LENGTH);
      searchCommand = payload[0];
      AnswerWrite(code, payload, answer);
      return RC_OK;
    case CMD_DATA_OUTBOUND_MAX:
    case CMD_DATA_INBOUND_MAX:
      if (!read) return Status(answer, RC_READ_ONLY);
      EchoData(answer, code,
               {code == CMD_DATA_OUTBOUND_MAX ? settings.outboundMax : settings.inboundMax});
      return RC_OK;
    case CMD_DATA_PROTOCOL:
    case CMD_DATA_VENDOR:
      if (!read) return Status(answer, RC_READ_ONLY);
      EchoData(answer, code, Text(code == CMD_DATA_PROTOCOL ? settings.protocol : settings.vendor));
      return RC_OK;
    case CMD_ML_DATA:
      return Exchange(payload, answer);
    default:
      return Status(answer, RC_UNKNOWN_COMMAND);
  }
}

void RelayEmulator::AnswerWrite(uint8_t code, const std::vector<uint8_t>& payload,
                                std::vector<uint8_t>& answer) {
  switch (settings.writeAnswer) {
    case WriteAnswer::Echo:
      EchoData(answer, code, payload);
      break;
    case WriteAnswer::Status:
      Status(answer, RC_OK);
      break;
    case WriteAnswer::Silent:
      break;
  }
}

void RelayEmulator::ResetSearch() {
  lastDiscrepancy = 0;
  lastDevice = false;
}

// One pass of the standard 1-Wire ROM search: at a discrepancy below the
// last one it follows the previous ROM, at the last one it takes 1, above it
// takes 0; the last 0 taken at a discrepancy becomes the next starting point.
uint8_t RelayEmulator::Search() {
  if (lastDevice || !bus.Reset()) {
    ResetSearch();
    return RC_NO_DEVICE;
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
      return RC_NO_DEVICE;
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
  return RC_OK;
}

// Reset and Match ROM with the loaded identity. The relay learns only whether
// any device gave a presence pulse, not whether the addressed one exists.
uint8_t RelayEmulator::Access() {
  if (!readPhase) {
    readPhase = true;
    for (const DropOff& drop : faults.dropOffs) {
      BusDevice* device = bus.Find(drop.rom);
      if (drop.atReadPhase && device != nullptr) device->SetPresent(false);
    }
  }
  for (std::size_t i = 0; i < faults.dropOffs.size(); ++i) {
    const DropOff& drop = faults.dropOffs[i];
    if (drop.atReadPhase || drop.rom != id) continue;
    if (accessCount[i] >= drop.afterAccesses) {
      if (BusDevice* device = bus.Find(drop.rom)) device->SetPresent(false);
    } else {
      ++accessCount[i];
    }
  }
  const bool presence = bus.Reset();
  bus.MatchRom(id);
  return presence ? RC_OK : RC_NO_DEVICE;
}

// CMD_ML_DATA: payload = exchange length L, then the bytes to send; the
// remaining L minus sent bytes are read. The answer holds all L line bytes.
uint8_t RelayEmulator::Exchange(const std::vector<uint8_t>& payload, std::vector<uint8_t>& answer) {
  if (payload.empty() || payload.size() - 1 > payload[0]) return Status(answer, RC_BAD_LENGTH);
  const std::size_t length = payload[0];
  answer.push_back(CMD_ML_DATA);
  answer.push_back(static_cast<uint8_t>(length));
  for (std::size_t i = 1; i < payload.size(); ++i) answer.push_back(bus.Exchange(payload[i]));
  for (std::size_t i = payload.size() - 1; i < length; ++i) answer.push_back(bus.Exchange(0xFF));
  return RC_OK;
}

}  // namespace simdevice

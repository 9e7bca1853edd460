#include "simserial/DS2480BEmulator.h"

#include <algorithm>
#include <memory>

#include "simdevice/BenchRelays.h"
#include "simdevice/DS2430A.h"

namespace simserial {

namespace {

void AddDevices(simdevice::OneWireBus& bus, const simdevice::ChannelConfig& channel) {
  for (const simdevice::BusDeviceConfig& device : channel.devices) {
    bus.Add(simdevice::MakeBusDevice(device, channel.faults));
  }
}

}  // namespace

DS2480BEmulator::DS2480BEmulator(const simdevice::ChannelConfig& channel, AdapterFaults faults)
    : faults(faults),
      dropOffs(channel.faults.dropOffs),
      corruptSearchCrc(channel.faults.corruptSearchCrc),
      accesses(dropOffs.size(), 0) {
  AddDevices(bus, channel);
}

constexpr std::chrono::milliseconds DS2480BEmulator::kProgrammingTime;
constexpr std::chrono::microseconds DS2480BEmulator::kResetTime;
constexpr std::chrono::microseconds DS2480BEmulator::kSlotTime;

std::chrono::microseconds DS2480BEmulator::TakeBusTime() {
  const std::chrono::microseconds taken = busTime;
  busTime = std::chrono::microseconds(0);
  return taken;
}

void DS2480BEmulator::PowerOn() {
  Break();
  answers = 0;
}

void DS2480BEmulator::Quiet(std::chrono::microseconds gap) {
  if (gap >= kProgrammingTime) bus.Idle();
}

void DS2480BEmulator::Break() {
  mode = Mode::Timing;
  rom = Rom::Ignored;
  accelerator = false;
  parameters.fill(0);
}

unsigned DS2480BEmulator::Baud() const {
  static const unsigned rates[] = {9600, 19200, 57600, 115200};
  const uint8_t value = parameters[ds2480b::BAUD_PARAMETER];
  return value < 4 ? rates[value] : 9600;
}

std::vector<uint8_t> DS2480BEmulator::Receive(const uint8_t* data, std::size_t count,
                                              unsigned hostBaud) {
  std::vector<uint8_t> answer;
  out = &answer;
  for (std::size_t i = 0; i < count && hostBaud == Baud(); ++i) {
    baudChanged = false;
    const uint8_t byte = data[i];
    switch (mode) {
      case Mode::Timing:
        // Calibrates the adapter; never answered.
        mode = Mode::Command;
        break;
      case Mode::Command:
        Command(byte);
        break;
      case Mode::Data:
        if (byte == ds2480b::COMMAND_MODE) {
          mode = Mode::Escape;
        } else {
          Data(byte);
        }
        break;
      case Mode::Escape:
        // E3 E3 is the data byte E3; E3 and anything else leaves data mode
        // and the byte is a command.
        if (byte == ds2480b::COMMAND_MODE) {
          mode = Mode::Data;
          Data(byte);
        } else {
          mode = Mode::Command;
          Command(byte);
        }
        break;
    }
    // A switch of the rate: its answer, at the new rate, is lost on a host
    // still at the old one, and so is everything after it.
    if (baudChanged && hostBaud != Baud()) {
      answer.pop_back();
      break;
    }
  }
  out = nullptr;
  if (faults.silent) answer.clear();
  return answer;
}

std::size_t DS2480BEmulator::RateWriteEnd(const uint8_t* data, std::size_t count) const {
  Mode scan = mode;
  for (std::size_t i = 0; i < count; ++i) {
    const uint8_t byte = data[i];
    bool command = false;
    switch (scan) {
      case Mode::Timing:
        scan = Mode::Command;
        break;
      case Mode::Command:
        command = true;
        break;
      case Mode::Data:
        if (byte == ds2480b::COMMAND_MODE) scan = Mode::Escape;
        break;
      case Mode::Escape:
        scan = byte == ds2480b::COMMAND_MODE ? Mode::Data : Mode::Command;
        command = scan == Mode::Command;
        break;
    }
    if (!command) continue;
    if (byte == ds2480b::DATA_MODE) {
      scan = Mode::Data;
    } else if (ds2480b::IsConfiguration(byte) && !ds2480b::IsConfigRead(byte) &&
               ((byte >> 4) & 0x07) == ds2480b::BAUD_PARAMETER) {
      return i + 1;
    }
  }
  return 0;
}

void DS2480BEmulator::Answer(uint8_t byte) {
  ++answers;
  out->push_back(answers == faults.noisyAnswer ? uint8_t(~byte) : byte);
}

void DS2480BEmulator::Command(uint8_t command) {
  using namespace ds2480b;
  if (command == DATA_MODE) {
    mode = Mode::Data;
  } else if (command == COMMAND_MODE) {
    // Already in command mode: nothing to do.
  } else if (IsReset(command)) {
    busTime += kResetTime;
    const bool presence = bus.Reset();
    rom = Rom::RomCommand;
    const ResetResult result = faults.shorted ? ResetResult::Shorted
                               : presence     ? ResetResult::Presence
                                              : ResetResult::NoPresence;
    Answer(uint8_t(RESET_ANSWER | uint8_t(result)));
  } else if (IsSingleBit(command)) {
    // A written 0 reads back 0. Outside a search a read slot reads the idle
    // line: the device models work a byte at a time.
    busTime += kSlotTime;
    const bool written = (command & 0x10) != 0;
    const bool line = rom == Rom::Searching ? SearchSlot(written) : written;
    Answer(SingleBitAnswer(command, line && !faults.shorted));
  } else if (IsAccelerator(command)) {
    accelerator = (command & 0x10) != 0;
  } else if (IsPulse(command)) {
    Answer(uint8_t(command & 0xFC));
  } else if (IsConfigRead(command)) {
    Answer(uint8_t(parameters[(command >> 1) & 0x07] << 1));
  } else if (IsConfiguration(command)) {
    const unsigned parameter = (command >> 4) & 0x07;
    const unsigned before = Baud();
    if (parameter != BAUD_PARAMETER || !faults.fixedBaud) {
      parameters[parameter] = uint8_t((command >> 1) & 0x07);
    }
    baudChanged = Baud() != before;
    Answer(ConfigWriteAnswer(command));
  }
  // Bytes with bits 7 and 0 both clear are no commands and get no answer.
}

void DS2480BEmulator::Data(uint8_t byte) {
  const bool accelerated = rom == Rom::Searching && accelerator;
  busTime += kSlotTime * (accelerated ? 12 : 8);
  Answer(faults.shorted ? uint8_t(0x00) : BusByte(byte));
}

uint8_t DS2480BEmulator::BusByte(uint8_t byte) {
  switch (rom) {
    case Rom::RomCommand:
      return RomCommand(byte);
    case Rom::Matching:
      collected[position++] = byte;
      if (position == collected.size()) Selected(collected);
      return byte;
    case Rom::Searching:
      return accelerator ? SearchByte(byte) : SlotsByte(byte);
    case Rom::ReadingRom: {
      // Every present device sends its ROM; the line carries the AND.
      uint8_t line = byte;
      for (const auto& device : bus.GetDevices()) {
        if (device->IsPresent()) line &= device->GetRom()[position];
      }
      if (++position == collected.size()) rom = Rom::Ignored;
      return line;
    }
    case Rom::Selected:
      return bus.Exchange(byte);
    default:
      return byte;
  }
}

uint8_t DS2480BEmulator::RomCommand(uint8_t byte) {
  position = 0;
  switch (byte) {
    case onewire::MATCH_ROM:
      rom = Rom::Matching;
      break;
    case onewire::SKIP_ROM: {
      // Selects the device when it is the only one present.
      const auto& devices = bus.GetDevices();
      const auto present = std::count_if(devices.begin(), devices.end(),
                                         [](const auto& d) { return d->IsPresent(); });
      rom = Rom::Ignored;
      for (const auto& device : devices) {
        if (present == 1 && device->IsPresent()) Selected(device->GetRom());
      }
      break;
    }
    case onewire::READ_ROM:
      rom = Rom::ReadingRom;
      break;
    case onewire::SEARCH_ROM:
    case onewire::ALARM_SEARCH:
      bus.BeginSearch(byte);
      rom = Rom::Searching;
      collected.fill(0);
      slot = 0;
      break;
    default:
      rom = Rom::Ignored;
  }
  return byte;
}

// Match ROM (or Skip ROM) selects a device: an access, which may make a
// device of the bench's drop-off faults leave the bus.
void DS2480BEmulator::Selected(const simdevice::Rom& id) {
  if (!readPhase) {
    readPhase = true;
    for (const simdevice::DropOff& drop : dropOffs) {
      simdevice::BusDevice* device = bus.Find(drop.rom);
      if (drop.atReadPhase && device != nullptr) device->SetPresent(false);
    }
  }
  for (std::size_t i = 0; i < dropOffs.size(); ++i) {
    const simdevice::DropOff& drop = dropOffs[i];
    if (drop.atReadPhase || drop.rom != id) continue;
    if (accesses[i] >= drop.afterAccesses) {
      if (simdevice::BusDevice* device = bus.Find(drop.rom)) device->SetPresent(false);
    } else {
      ++accesses[i];
    }
  }
  bus.MatchRom(id);
  rom = Rom::Selected;
}

// Four groups of the accelerated search: per ROM bit, the two read slots and
// the write slot, taking the host's direction at a discrepancy.
uint8_t DS2480BEmulator::SearchByte(uint8_t byte) {
  ds2480b::SearchBlock block{};
  block[0] = byte;
  uint8_t answer = 0;
  for (unsigned g = 0; g < 4 && position < 64; ++g, ++position) {
    bool bit = false;
    bool complement = false;
    bus.ReadSearchBits(bit, complement);
    const bool discrepancy = bit == complement;  // both 0, or nobody (both 1)
    const bool chosen = discrepancy ? (ds2480b::Group(block, g) & 0x02) != 0 : bit;
    bus.WriteSearchBit(!(bit && complement) && chosen);
    if (chosen) collected[position / 8] = uint8_t(collected[position / 8] | (1u << (position % 8)));
    bool answered = bit && complement ? true : chosen;
    // The CRC byte of a ROM named by the corruptSearchCrc fault arrives
    // inverted (the bus itself still follows the true bits).
    if (position >= 56) {
      for (const simdevice::Rom& corrupt : corruptSearchCrc) {
        if (std::equal(corrupt.begin(), corrupt.begin() + 7, collected.begin()))
          answered = !answered;
      }
    }
    answer = uint8_t(answer | ((answered ? 2u : 0u) | (discrepancy ? 1u : 0u)) << (g * 2));
  }
  if (position >= 64) rom = Rom::Selected;
  return answer;
}

// A search without the accelerator: eight time slots per byte, least
// significant first, in threes per ROM bit (bit, complement, direction).
uint8_t DS2480BEmulator::SlotsByte(uint8_t byte) {
  uint8_t line = 0;
  for (unsigned i = 0; i < 8; ++i) {
    const bool written = ((byte >> i) & 1) != 0;
    const bool read = rom == Rom::Searching ? SearchSlot(written) : written;
    if (read) line = uint8_t(line | (1u << i));
  }
  return line;
}

bool DS2480BEmulator::SearchSlot(bool written) {
  const unsigned phase = slot++ % 3;
  if (phase == 2) {
    bus.WriteSearchBit(written);
    if (++position >= 64) rom = Rom::Selected;
    return written;
  }
  bool bit = false;
  bool complement = false;
  bus.ReadSearchBits(bit, complement);
  return written && (phase == 0 ? bit : complement);
}

}  // namespace simserial

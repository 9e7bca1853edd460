#include "simdevice/Bench.h"

#include <algorithm>
#include <climits>
#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>

namespace simdevice {

BusDeviceConfig::BusDeviceConfig() : rom{}, status(0xFC) {
  application.fill(0xFF);
  memory.fill(0xFF);
}

ChannelConfig::ChannelConfig()
    : channel(0), refuseSetMode(false), refuseWrites(false), writesBeforeRefusal(0) {}

Bench::Bench()
    : name(L"SIM-DAQ"),
      address(1),
      checkModes(true),
      refuseServiceMode(false),
      responseDelayMs(0) {}

BenchError::BenchError(const std::string& message) : std::runtime_error(message) {}

namespace {

using json = nlohmann::json;

// UTF-8 to wide text (UTF-16 where wchar_t has 16 bits). False on malformed
// input: bad lead or continuation bytes, overlong forms, surrogates.
bool Utf8ToWide(const std::string& text, std::wstring& out) {
  static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  out.clear();
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra;
    if (lead < 0x80) {
      extra = 0;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3;
    } else {
      return false;
    }
    if (text.size() - i <= extra) return false;
    uint32_t code = extra == 0 ? lead : lead & (0x3Fu >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
      return false;
    }
    if (sizeof(wchar_t) == 2 && code >= 0x10000) {
      code -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (code >> 10));
      out += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
    } else {
      out += static_cast<wchar_t>(code);
    }
    i += extra + 1;
  }
  return true;
}

std::string Hex2(uint8_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  return std::string{kDigits[value >> 4], kDigits[value & 0x0F]};
}

std::string Join(const std::string& field, const std::string& key) {
  return field.empty() ? key : field + "." + key;
}

std::string Index(const std::string& field, std::size_t index) {
  return field + "[" + std::to_string(index) + "]";
}

// Reads one bench document. Every failure throws a BenchError that names the
// source, the field and the problem.
class Reader {
 public:
  Reader(const std::string& source, std::vector<std::string>* warnings)
      : source(source), warnings(warnings) {}

  Bench ReadBench(const json& root) const {
    Object(root, "", {"name", "address", "checkModes", "responseDelayMs", "faults", "channels"});
    Bench bench;
    if (const json* name = Find(root, "name")) {
      const std::string text = String(*name, "name");
      if (text.empty()) Fail("name", "must not be empty");
      if (!Utf8ToWide(text, bench.name)) Fail("name", "not valid UTF-8");
    }
    if (const json* address = Find(root, "address")) {
      bench.address = static_cast<unsigned int>(Unsigned(*address, "address", UINT_MAX));
    }
    if (const json* check = Find(root, "checkModes")) bench.checkModes = Bool(*check, "checkModes");
    if (const json* delay = Find(root, "responseDelayMs")) {
      bench.responseDelayMs = static_cast<uint32_t>(Unsigned(*delay, "responseDelayMs", 60000));
    }
    if (const json* faults = Find(root, "faults")) {
      Object(*faults, "faults", {"refuseServiceMode"});
      if (const json* refuse = Find(*faults, "refuseServiceMode")) {
        bench.refuseServiceMode = Bool(*refuse, "faults.refuseServiceMode");
      }
    }
    if (const json* channels = Find(root, "channels")) {
      if (!channels->is_array()) Fail("channels", "expected an array");
      for (std::size_t i = 0; i < channels->size(); ++i) {
        const std::string field = Index("channels", i);
        ChannelConfig channel = ReadChannel((*channels)[i], field);
        for (const ChannelConfig& other : bench.channels) {
          if (other.channel == channel.channel) {
            Fail(field + ".channel", "channel " + std::to_string(channel.channel) + " given twice");
          }
        }
        bench.channels.push_back(std::move(channel));
      }
    }
    return bench;
  }

 private:
  ChannelConfig ReadChannel(const json& value, const std::string& field) const {
    Object(value, field, {"channel", "relay", "devices", "faults"});
    ChannelConfig channel;
    const json* number = Find(value, "channel");
    if (number == nullptr) Fail(field, "missing key 'channel'");
    const uint64_t index = Unsigned(*number, field + ".channel", UINT_MAX);
    if (index > 7) Fail(field + ".channel", "channel " + std::to_string(index) + " outside 0-7");
    channel.channel = static_cast<unsigned>(index);
    if (const json* relay = Find(value, "relay"))
      channel.relay = ReadRelay(*relay, field + ".relay");
    if (const json* devices = Find(value, "devices")) {
      if (!devices->is_array()) Fail(field + ".devices", "expected an array");
      for (std::size_t i = 0; i < devices->size(); ++i) {
        const std::string deviceField = Index(field + ".devices", i);
        BusDeviceConfig device = ReadDevice((*devices)[i], deviceField);
        for (std::size_t k = 0; k < channel.devices.size(); ++k) {
          if (channel.devices[k].rom == device.rom) {
            Fail(deviceField + ".rom", "duplicate ROM " + RomToString(device.rom) +
                                           " (also devices[" + std::to_string(k) + "])");
          }
        }
        channel.devices.push_back(device);
      }
    }
    if (const json* faults = Find(value, "faults")) ReadFaults(*faults, field + ".faults", channel);
    return channel;
  }

  RelaySettings ReadRelay(const json& value, const std::string& field) const {
    Object(value, field,
           {"inboundMax", "outboundMax", "protocol", "vendor", "writeAnswer", "noPresenceCode"});
    RelaySettings relay;
    if (const json* v = Find(value, "inboundMax")) {
      relay.inboundMax = static_cast<uint8_t>(Unsigned(*v, field + ".inboundMax", 255));
    }
    if (const json* v = Find(value, "outboundMax")) {
      relay.outboundMax = static_cast<uint8_t>(Unsigned(*v, field + ".outboundMax", 255));
    }
    if (const json* v = Find(value, "protocol")) relay.protocol = Text(*v, field + ".protocol");
    if (const json* v = Find(value, "vendor")) relay.vendor = Text(*v, field + ".vendor");
    if (const json* v = Find(value, "writeAnswer")) {
      const std::string form = String(*v, field + ".writeAnswer");
      if (form == "echo") {
        relay.writeAnswer = WriteAnswer::Echo;
      } else if (form == "status") {
        relay.writeAnswer = WriteAnswer::Status;
      } else if (form == "silent") {
        relay.writeAnswer = WriteAnswer::Silent;
      } else {
        Fail(field + ".writeAnswer", "'" + form + "' is not one of echo, status, silent");
      }
    }
    if (const json* v = Find(value, "noPresenceCode")) {
      relay.noPresenceCode = Byte(*v, field + ".noPresenceCode");
    }
    return relay;
  }

  BusDeviceConfig ReadDevice(const json& value, const std::string& field) const {
    Object(value, field, {"rom", "status", "application", "memory"});
    BusDeviceConfig device;
    const json* rom = Find(value, "rom");
    if (rom == nullptr) Fail(field, "missing key 'rom'");
    device.rom = FixedHex<8>(*rom, field + ".rom");
    if (!RomCrcValid(device.rom)) {
      Warn(field + ".rom", "CRC check fails for " + RomToString(device.rom) +
                               " (CRC of the first seven bytes is " +
                               Hex2(Crc8(device.rom.data(), 7)) + "); the device is kept as given");
    }
    const bool memoryDevice = device.rom[0] == DS2430A::FAMILY_CODE;
    for (const char* key : {"status", "application", "memory"}) {
      if (!memoryDevice && Find(value, key) != nullptr) {
        Fail(Join(field, key), "only DS2430A devices (family 14) have it; this ROM has family " +
                                   Hex2(device.rom[0]));
      }
    }
    if (const json* v = Find(value, "status"))
      device.status = FixedHex<1>(*v, field + ".status")[0];
    if (const json* v = Find(value, "application")) {
      device.application = FixedHex<DS2430A::APPLICATION_SIZE>(*v, field + ".application");
    }
    if (const json* v = Find(value, "memory")) {
      device.memory = FixedHex<DS2430A::MEMORY_SIZE>(*v, field + ".memory");
    }
    return device;
  }

  void ReadFaults(const json& value, const std::string& field, ChannelConfig& channel) const {
    Object(
        value, field,
        {"silentReads", "silentAfterAnswers", "garbageAnswers", "garbageBytes", "commandFailures",
         "corruptSearchCrc", "dropOff", "outboundChunk", "ignoreOutboundMax", "refuseSetMode",
         "refuseWritesAfter"});
    RelayFaults& faults = channel.faults;
    auto count = [&](const char* key, uint32_t& out) {
      if (const json* v = Find(value, key)) {
        out = static_cast<uint32_t>(Unsigned(*v, Join(field, key), UINT32_MAX));
      }
    };
    count("silentReads", faults.silentReads);
    count("silentAfterAnswers", faults.silentAfterAnswers);
    count("garbageAnswers", faults.garbageAnswers);
    count("outboundChunk", faults.outboundChunk);
    if (const json* v = Find(value, "garbageBytes")) {
      faults.garbageBytes = Hex(*v, field + ".garbageBytes");
      if (faults.garbageBytes.empty()) Fail(field + ".garbageBytes", "must hold at least one byte");
    }
    if (const json* v = Find(value, "ignoreOutboundMax")) {
      faults.ignoreOutboundMax = Bool(*v, field + ".ignoreOutboundMax");
    }
    if (const json* v = Find(value, "refuseSetMode")) {
      channel.refuseSetMode = Bool(*v, field + ".refuseSetMode");
    }
    if (const json* v = Find(value, "refuseWritesAfter")) {
      channel.refuseWrites = true;
      channel.writesBeforeRefusal =
          static_cast<uint32_t>(Unsigned(*v, field + ".refuseWritesAfter", UINT32_MAX));
    }
    if (const json* list = Find(value, "commandFailures")) {
      const std::string listField = field + ".commandFailures";
      if (!list->is_array()) Fail(listField, "expected an array");
      for (std::size_t i = 0; i < list->size(); ++i) {
        faults.commandFailures.push_back(ReadFailure((*list)[i], Index(listField, i)));
      }
    }
    if (const json* list = Find(value, "corruptSearchCrc")) {
      const std::string listField = field + ".corruptSearchCrc";
      if (!list->is_array()) Fail(listField, "expected an array");
      for (std::size_t i = 0; i < list->size(); ++i) {
        faults.corruptSearchCrc.push_back(ChannelRom((*list)[i], Index(listField, i), channel));
      }
    }
    if (const json* list = Find(value, "dropOff")) {
      const std::string listField = field + ".dropOff";
      if (!list->is_array()) Fail(listField, "expected an array");
      for (std::size_t i = 0; i < list->size(); ++i) {
        faults.dropOffs.push_back(ReadDropOff((*list)[i], Index(listField, i), channel));
      }
    }
  }

  CommandFailure ReadFailure(const json& value, const std::string& field) const {
    Object(value, field, {"command", "code", "skip", "count"});
    CommandFailure failure;
    const json* command = Find(value, "command");
    if (command == nullptr) Fail(field, "missing key 'command'");
    failure.command = Byte(*command, field + ".command");
    if (failure.command == RelayEmulator::CMD_POLL) {
      Fail(field + ".command", "CMD_POLL (85) has no answer to fail");
    }
    if (const json* v = Find(value, "code")) {
      failure.code = Byte(*v, field + ".code");
      if (failure.code == 0) Fail(field + ".code", "0 is success, not a failure");
    }
    if (const json* v = Find(value, "skip")) {
      failure.skip = static_cast<uint32_t>(Unsigned(*v, field + ".skip", UINT32_MAX));
    }
    if (const json* v = Find(value, "count")) {
      failure.count = static_cast<uint32_t>(Unsigned(*v, field + ".count", UINT32_MAX));
    }
    return failure;
  }

  DropOff ReadDropOff(const json& value, const std::string& field,
                      const ChannelConfig& channel) const {
    Object(value, field, {"rom", "afterAccesses", "atReadPhase"});
    DropOff drop;
    const json* rom = Find(value, "rom");
    if (rom == nullptr) Fail(field, "missing key 'rom'");
    drop.rom = ChannelRom(*rom, field + ".rom", channel);
    const json* after = Find(value, "afterAccesses");
    const json* atRead = Find(value, "atReadPhase");
    if (atRead != nullptr) drop.atReadPhase = Bool(*atRead, field + ".atReadPhase");
    if (after != nullptr) {
      drop.afterAccesses =
          static_cast<uint32_t>(Unsigned(*after, field + ".afterAccesses", UINT32_MAX));
    }
    if ((after != nullptr) == drop.atReadPhase) {
      Fail(field, "give either 'afterAccesses' or \"atReadPhase\": true");
    }
    return drop;
  }

  // A ROM that must belong to a device of the channel.
  Rom ChannelRom(const json& value, const std::string& field, const ChannelConfig& channel) const {
    const Rom rom = FixedHex<8>(value, field);
    const bool known = std::any_of(channel.devices.begin(), channel.devices.end(),
                                   [&](const BusDeviceConfig& d) { return d.rom == rom; });
    if (!known) Fail(field, "ROM " + RomToString(rom) + " is not a device of this channel");
    return rom;
  }

  [[noreturn]] void Fail(const std::string& field, const std::string& problem) const {
    throw BenchError(source + ": " + (field.empty() ? "" : field + ": ") + problem);
  }

  void Warn(const std::string& field, const std::string& problem) const {
    if (warnings != nullptr) warnings->push_back(source + ": " + field + ": " + problem);
  }

  static const json* Find(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
  }

  void Object(const json& value, const std::string& field,
              std::initializer_list<const char*> allowed) const {
    if (!value.is_object()) Fail(field, "expected an object");
    for (auto it = value.begin(); it != value.end(); ++it) {
      const bool known = std::any_of(allowed.begin(), allowed.end(),
                                     [&](const char* key) { return it.key() == key; });
      if (!known) Fail(Join(field, it.key()), "unknown key '" + it.key() + "'");
    }
  }

  uint64_t Unsigned(const json& value, const std::string& field, uint64_t max) const {
    if (!value.is_number_integer()) Fail(field, "expected a whole number");
    if (!value.is_number_unsigned() && value.get<int64_t>() < 0)
      Fail(field, "must not be negative");
    const uint64_t number = value.get<uint64_t>();
    if (number > max)
      Fail(field, std::to_string(number) + " is larger than " + std::to_string(max));
    return number;
  }

  bool Bool(const json& value, const std::string& field) const {
    if (!value.is_boolean()) Fail(field, "expected true or false");
    return value.get<bool>();
  }

  std::string String(const json& value, const std::string& field) const {
    if (!value.is_string()) Fail(field, "expected a string");
    return value.get<std::string>();
  }

  // A relay text: sent with its closing 0 byte in one answer of at most 255.
  std::string Text(const json& value, const std::string& field) const {
    const std::string text = String(value, field);
    if (text.size() > 254) Fail(field, "longer than 254 bytes");
    return text;
  }

  // Hex bytes, case-insensitive, optionally separated by white space; each
  // group of digits must hold whole bytes.
  std::vector<uint8_t> Hex(const json& value, const std::string& field) const {
    const std::string text = String(value, field);
    std::vector<uint8_t> bytes;
    std::istringstream groups(text);
    std::string group;
    while (groups >> group) {
      if (group.size() % 2 != 0) Fail(field, "bad hex '" + group + "' (odd number of digits)");
      for (std::size_t i = 0; i < group.size(); i += 2) {
        const int high = Digit(group[i]);
        const int low = Digit(group[i + 1]);
        if (high < 0 || low < 0) Fail(field, "bad hex '" + group + "'");
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
      }
    }
    return bytes;
  }

  template <std::size_t N>
  std::array<uint8_t, N> FixedHex(const json& value, const std::string& field) const {
    const std::vector<uint8_t> bytes = Hex(value, field);
    if (bytes.size() != N) {
      Fail(field, "wrong length (" + std::to_string(bytes.size()) + " bytes, expected " +
                      std::to_string(N) + ")");
    }
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
  }

  // A code: a number 0-255 or one hex byte as text.
  uint8_t Byte(const json& value, const std::string& field) const {
    if (value.is_string()) return FixedHex<1>(value, field)[0];
    return static_cast<uint8_t>(Unsigned(value, field, 255));
  }

  static int Digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  std::string source;
  std::vector<std::string>* warnings;
};

}  // namespace

Bench ParseBench(const std::string& text, const std::string& source,
                 std::vector<std::string>* warnings) {
  json root;
  try {
    root = json::parse(text);
  } catch (const json::exception& e) {
    // Syntax errors, and numbers too large for any JSON number type.
    throw BenchError(source + ": not valid JSON: " + e.what());
  }
  // Warnings are only handed out for a bench that loads.
  std::vector<std::string> found;
  Bench bench = Reader(source, &found).ReadBench(root);
  if (warnings != nullptr) warnings->insert(warnings->end(), found.begin(), found.end());
  return bench;
}

Bench LoadBench(const std::string& path, std::vector<std::string>* warnings) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw BenchError(path + ": cannot open the file");
  std::ostringstream text;
  text << file.rdbuf();
  if (file.bad()) throw BenchError(path + ": cannot read the file");
  return ParseBench(text.str(), path, warnings);
}

std::string DefaultBenchJson() {
  // The accelerometer: Basic TEDS of manufacturer 100, model 1234, version
  // B3, serial 123456. Memory byte 0 is the page checksum (6F: the page's
  // bytes and the application register add up to 0 modulo 256), then a
  // standard-path template 25 (reference sensitivity 0.0100013, reference
  // frequency 98.69, reference temperature 23.0, calibrated 2020-01-01 by
  // ABC for 365 days, measurement ID 5), then zeros.
  return R"({
  "name": "SIM-DAQ",
  "address": 1,
  "channels": [
    {
      "channel": 0,
      "relay": {
        "inboundMax": 255,
        "outboundMax": 255,
        "protocol": "1W-RELAY 1.0",
        "vendor": "Simulated relay"
      },
      "devices": [
        {
          "rom": "14 3A 7F 1B 05 00 00 B6",
          "status": "FC",
          "application": "64 80 34 41 0C 40 E2 01",
          "memory": "6F 64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
        }
      ]
    }
  ]
}
)";
}

Bench DefaultBench() { return ParseBench(DefaultBenchJson(), "built-in bench"); }

std::unique_ptr<RelayEmulator> MakeRelay(const ChannelConfig& channel) {
  auto relay = std::make_unique<RelayEmulator>(channel.relay, channel.faults);
  for (const BusDeviceConfig& device : channel.devices) {
    if (device.rom[0] == DS2430A::FAMILY_CODE) {
      relay->GetBus().Add(
          std::make_unique<DS2430A>(device.rom, device.status, device.application, device.memory));
    } else {
      relay->GetBus().Add(std::make_unique<BusDevice>(device.rom));
    }
  }
  return relay;
}

}  // namespace simdevice

#include "simdevice/BenchReader.h"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>

#include "simdevice/BenchJson.h"
#include "text/HexText.h"
#include "text/Utf8.h"

namespace simdevice {

BenchError::BenchError(const std::string& message) : std::runtime_error(message) {}

namespace {

using namespace benchjson;

// A bench file larger than this is not a bench anyone wrote (100,000 devices
// take about 25 MiB); reading on would only exhaust memory.
constexpr std::size_t kMaxBenchBytes = std::size_t{256} << 20;

// Reads the structure of one bench document: the device, its channels, their
// relays and bus devices; the faults are read by ReadFaults.
class Reader {
 public:
  explicit Reader(const Fields& fields) : fields(fields) {}

  Bench ReadBench(const json& root) const {
    fields.Object(root, "",
                  {"name", "address", "checkModes", "responseDelayMs", "faults", "channels"});
    Bench bench;
    if (const json* name = Fields::Find(root, "name")) {
      const std::string text = fields.String(*name, "name");
      if (text.empty()) fields.Fail("name", "must not be empty");
      if (!orvtext::Utf8ToWide(text, bench.name)) fields.Fail("name", "not valid UTF-8");
    }
    if (const json* address = Fields::Find(root, "address")) {
      bench.address = static_cast<unsigned int>(fields.Unsigned(*address, "address", UINT_MAX));
    }
    if (const json* check = Fields::Find(root, "checkModes")) {
      bench.checkModes = fields.Bool(*check, "checkModes");
    }
    if (const json* delay = Fields::Find(root, "responseDelayMs")) {
      bench.responseDelayMs =
          static_cast<uint32_t>(fields.Unsigned(*delay, "responseDelayMs", 60000));
    }
    if (const json* faults = Fields::Find(root, "faults")) {
      ReadFaults(fields, *faults, "faults", bench, nullptr, nullptr);
    }
    if (const json* channels = fields.Array(root, "channels", "")) {
      for (std::size_t i = 0; i < channels->size(); ++i) ReadChannel((*channels)[i], i, bench);
    }
    return bench;
  }

 private:
  void ReadChannel(const json& value, std::size_t index, Bench& bench) const {
    const std::string field = Index("channels", index);
    fields.Object(value, field, {"channel", "relay", "devices", "faults"});
    ChannelConfig channel;
    const json* number = Fields::Find(value, "channel");
    if (number == nullptr) fields.Fail(field, "missing key 'channel'");
    const uint64_t index7 = fields.Unsigned(*number, field + ".channel", UINT_MAX);
    if (index7 > 7) {
      fields.Fail(field + ".channel", "channel " + std::to_string(index7) + " outside 0-7");
    }
    channel.channel = static_cast<unsigned>(index7);
    for (const ChannelConfig& other : bench.channels) {
      if (other.channel == channel.channel) {
        fields.Fail(field + ".channel", "channel " + std::to_string(channel.channel) + " given twice");
      }
    }
    if (const json* relay = Fields::Find(value, "relay")) {
      channel.relay = ReadRelay(*relay, field + ".relay");
    }
    RomIndex roms;
    if (const json* devices = fields.Array(value, "devices", field)) {
      for (std::size_t i = 0; i < devices->size(); ++i) {
        const std::string deviceField = Index(field + ".devices", i);
        channel.devices.push_back(ReadDevice((*devices)[i], deviceField));
        const Rom& rom = channel.devices.back().rom;
        const auto added = roms.emplace(rom, i);
        if (!added.second) {
          fields.Fail(deviceField + ".rom", "duplicate ROM " + orvtext::FormatHex(rom) +
                                                " (also devices[" +
                                                std::to_string(added.first->second) + "])");
        }
      }
    }
    if (const json* faults = Fields::Find(value, "faults")) {
      ReadFaults(fields, *faults, field + ".faults", bench, &channel, &roms);
    }
    bench.channels.push_back(std::move(channel));
  }

  RelaySettings ReadRelay(const json& value, const std::string& field) const {
    fields.Object(value, field,
                  {"inboundMax", "outboundMax", "protocol", "vendor", "writeAnswer",
                   "noPresenceCode"});
    RelaySettings relay;
    if (const json* v = Fields::Find(value, "inboundMax")) {
      relay.inboundMax = static_cast<uint8_t>(fields.Unsigned(*v, field + ".inboundMax", 255));
    }
    if (const json* v = Fields::Find(value, "outboundMax")) {
      relay.outboundMax = static_cast<uint8_t>(fields.Unsigned(*v, field + ".outboundMax", 255));
    }
    if (const json* v = Fields::Find(value, "protocol")) {
      relay.protocol = fields.Text(*v, field + ".protocol");
    }
    if (const json* v = Fields::Find(value, "vendor")) relay.vendor = fields.Text(*v, field + ".vendor");
    if (const json* v = Fields::Find(value, "writeAnswer")) {
      relay.writeAnswer = ReadWriteAnswer(*v, field + ".writeAnswer");
    }
    if (const json* v = Fields::Find(value, "noPresenceCode")) {
      relay.noPresenceCode = fields.Byte(*v, field + ".noPresenceCode");
    }
    return relay;
  }

  WriteAnswer ReadWriteAnswer(const json& value, const std::string& field) const {
    const std::string form = fields.String(value, field);
    if (form == "echo") return WriteAnswer::Echo;
    if (form == "status") return WriteAnswer::Status;
    if (form == "silent") return WriteAnswer::Silent;
    fields.Fail(field, "'" + form + "' is not one of echo, status, silent");
  }

  BusDeviceConfig ReadDevice(const json& value, const std::string& field) const {
    fields.Object(value, field, {"rom", "status", "application", "memory"});
    BusDeviceConfig device;
    const json* rom = Fields::Find(value, "rom");
    if (rom == nullptr) fields.Fail(field, "missing key 'rom'");
    device.rom = fields.FixedHex<8>(*rom, field + ".rom");
    if (!RomCrcValid(device.rom)) {
      fields.Warn(field + ".rom", "CRC check fails for " + orvtext::FormatHex(device.rom) +
                                      " (CRC of the first seven bytes is " +
                                      orvtext::HexByte(Crc8(device.rom.data(), 7)) +
                                      "); the device is kept as given");
    }
    const bool memoryDevice = device.rom[0] == ds2430a::FAMILY_CODE;
    for (const char* key : {"status", "application", "memory"}) {
      if (!memoryDevice && Fields::Find(value, key) != nullptr) {
        fields.Fail(Join(field, key),
                    "only DS2430A devices (family 14) have it; this ROM has family " +
                        orvtext::HexByte(device.rom[0]));
      }
    }
    if (const json* v = Fields::Find(value, "status")) {
      device.status = fields.FixedHex<1>(*v, field + ".status")[0];
    }
    if (const json* v = Fields::Find(value, "application")) {
      device.application = fields.FixedHex<DS2430A::APPLICATION_SIZE>(*v, field + ".application");
    }
    if (const json* v = Fields::Find(value, "memory")) {
      device.memory = fields.FixedHex<DS2430A::MEMORY_SIZE>(*v, field + ".memory");
    }
    return device;
  }

  const Fields& fields;
};

// Refuses a key given twice in one object (the parser keeps the last one
// silently), naming its place in the document. A second pass over the text
// as parser events: the parser's own callback form takes time quadratic in
// the length of an array of objects.
class DuplicateKeys {
 public:
  explicit DuplicateKeys(const std::string& source) : source(source) {}

  bool null() { return NextElement(); }
  bool boolean(bool) { return NextElement(); }
  bool number_integer(json::number_integer_t) { return NextElement(); }
  bool number_unsigned(json::number_unsigned_t) { return NextElement(); }
  bool number_float(json::number_float_t, const json::string_t&) { return NextElement(); }
  bool string(json::string_t&) { return NextElement(); }
  bool binary(json::binary_t&) { return NextElement(); }
  bool start_object(std::size_t) { return Open(true); }
  bool start_array(std::size_t) { return Open(false); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool key(json::string_t& key) {
    Level& level = levels.back();
    level.key = key;
    if (!level.keys.insert(key).second) {
      throw BenchError(source + ": " + Join(level.field, key) + ": key '" + key + "' given twice");
    }
    return true;
  }

 private:
  struct Level {
    bool object;
    std::string field;
    std::set<std::string> keys;
    std::string key;        // object: the key being read
    std::size_t index = 0;  // array: the element being read
  };

  bool Open(bool object) {
    std::string field;
    if (!levels.empty()) {
      const Level& parent = levels.back();
      field = parent.object ? Join(parent.field, parent.key) : Index(parent.field, parent.index);
    }
    levels.push_back(Level{object, std::move(field), {}, {}, 0});
    return true;
  }

  bool Close() {
    levels.pop_back();
    return NextElement();
  }

  bool NextElement() {
    if (!levels.empty() && !levels.back().object) ++levels.back().index;
    return true;
  }

  const std::string& source;
  std::vector<Level> levels;
};

// The parser ends its input at a NUL byte and would ignore what follows, so
// a NUL anywhere is refused with its place.
void CheckNoNul(const std::string& text, const std::string& source) {
  const std::size_t nul = text.find('\0');
  if (nul == std::string::npos) return;
  const std::size_t lineStart = text.rfind('\n', nul);
  const std::size_t line = static_cast<std::size_t>(
      std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
  const std::size_t column = lineStart == std::string::npos ? nul + 1 : nul - lineStart;
  throw BenchError(source + ": line " + std::to_string(line + 1) + ", column " +
                   std::to_string(column) + ": a NUL byte, which JSON text does not hold");
}

json ParseJson(const std::string& text, const std::string& source) {
  CheckNoNul(text, source);
  try {
    json root = json::parse(text);
    DuplicateKeys duplicates(source);
    json::sax_parse(text, &duplicates);
    return root;
  } catch (const json::exception& e) {
    // Syntax errors, text after the document, and numbers too large for any
    // JSON number type.
    throw BenchError(source + ": not valid JSON: " + e.what());
  }
}

}  // namespace

Bench ParseBench(const std::string& text, const std::string& source,
                 std::vector<std::string>* warnings) {
  const json root = ParseJson(text, source);
  // Warnings are only handed out for a bench that loads.
  std::vector<std::string> found;
  Bench bench = Reader(Fields(source, &found)).ReadBench(root);
  if (warnings != nullptr) warnings->insert(warnings->end(), found.begin(), found.end());
  return bench;
}

Bench LoadBench(const std::string& path, std::vector<std::string>* warnings) {
  const std::filesystem::path file = std::filesystem::u8path(path);
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) {
    throw BenchError(path + ": a directory, not a bench file");
  }
  std::ifstream in(file, std::ios::binary);
  if (!in) throw BenchError(path + ": cannot open the file");
  std::string text;
  char chunk[65536];
  // Stops early at a NUL (endless input such as a device reads as NULs) and
  // at the size bound.
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxBenchBytes) throw BenchError(path + ": larger than 256 MiB");
    if (text.find('\0', text.size() - static_cast<std::size_t>(in.gcount())) != std::string::npos) break;
  }
  if (in.bad()) throw BenchError(path + ": cannot read the file");
  if (text.empty()) throw BenchError(path + ": the file is empty");
  return ParseBench(text, path, warnings);
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

}  // namespace simdevice

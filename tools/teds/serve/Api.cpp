#include "tools/teds/serve/Api.h"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <sstream>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSEncoder.h"
#include "teds/TEDSTransducer.h"
#include "text/HexText.h"
#include "tools/teds/DecodeCommand.h"
#include "tools/teds/EncodeCommand.h"
#include "tools/teds/JsonOutput.h"
#include "tools/teds/serve/Targets.h"

using nlohmann::json;
using nlohmann::ordered_json;

namespace {

// The scan keeps this many progress lines; the page shows the last ones.
constexpr std::size_t kProgressLines = 500;

ApiReply Failure(int status, const std::string& text) {
  ApiReply reply;
  reply.status = status;
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  reply.body["error"] = trimmed;
  return reply;
}

// A text member of the request; false with the reply's message when it is
// missing or not text.
bool TextMember(const json& request, const char* name, std::string& value, ApiReply& failure) {
  if (!request.is_object() || !request.contains(name) || !request[name].is_string()) {
    failure = Failure(400, std::string("teds serve: the request needs \"") + name + "\" (text)");
    return false;
  }
  value = request[name].get<std::string>();
  return true;
}

bool SheetMember(const json& request, std::string& sheetJson, ApiReply& failure) {
  if (!request.is_object() || !request.contains("sheet") || !request["sheet"].is_object()) {
    failure = Failure(400, "teds serve: the request needs \"sheet\" (a data sheet object)");
    return false;
  }
  sheetJson = request["sheet"].dump();
  return true;
}

// ROMs compare by their bytes: "14 3a..." is "143A...".
std::string RomKey(const std::string& rom) {
  std::string key;
  for (char c : rom) {
    if (!std::isspace(static_cast<unsigned char>(c))) {
      key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return key;
}

const char* KindName(TEDSEncoder::FieldLimit::Kind kind) {
  switch (kind) {
    case TEDSEncoder::FieldLimit::Kind::Integer: return "integer";
    case TEDSEncoder::FieldLimit::Kind::Scaled: return "scaled";
    case TEDSEncoder::FieldLimit::Kind::Date: return "date";
    case TEDSEncoder::FieldLimit::Kind::Text: return "text";
  }
  return "";
}

// The decoded transducer of a DS2430A's contents, as `teds decode --json`.
ordered_json ReadBackJson(const TEDSEncoder::Result& result) {
  const TEDSDecoder::Result decoded = TEDSDecoder::DecodeDS2430A(result.application, result.memory);
  if (!decoded.parsed || !decoded.transducer) return nullptr;
  return TransducerJson(*decoded.transducer);
}

}  // namespace

ordered_json FieldLimitsJson() {
  ordered_json limits = ordered_json::array();
  for (const TEDSEncoder::FieldLimit& limit : TEDSEncoder::FieldLimits()) {
    ordered_json j;
    j["name"] = limit.name;
    j["basic"] = limit.basic;
    j["kind"] = KindName(limit.kind);
    j["low"] = limit.low;
    j["high"] = limit.high;
    j["lowText"] = limit.lowText;
    j["highText"] = limit.highText;
    j["unit"] = limit.unit;
    j["note"] = limit.note;
    limits.push_back(j);
  }
  return limits;
}

ServeApi::ServeApi(ServeTargets& targets, int64_t todayDay)
    : targets(targets), todayDay(todayDay) {}

ServeApi::~ServeApi() { Stop(); }

void ServeApi::Stop() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(mutex);
    cancel = true;
    thread = std::move(scanThread);
  }
  if (!thread.joinable()) return;
  // The scan may be about to begin when it is told to stop: told again until
  // its thread is done.
  for (;;) {
    targets.StopScan();
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (!running) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  thread.join();
}

ApiReply ServeApi::StartScan() {
  std::thread finished;
  {
    std::lock_guard<std::mutex> guard(mutex);
    // A scan under way is not started again: the page follows that one.
    if (!running && !cancel) {
      running = true;
      // The last scan's rows stay until this one's replace them.
      scanned = false;
      progress.clear();
      finished = std::move(scanThread);
      scanThread = std::thread([this] {
        const auto note = [this](const std::string& line) {
          std::lock_guard<std::mutex> guard(mutex);
          if (progress.size() == kProgressLines) progress.erase(progress.begin());
          progress.push_back(line);
        };
        std::vector<ScanSensor> rows;
        try {
          rows = targets.Scan(note);
        } catch (const std::exception& e) {
          note(std::string("teds serve: the scan failed: ") + e.what());
        }
        std::lock_guard<std::mutex> guard(mutex);
        sensors = std::move(rows);
        running = false;
        scanned = true;
      });
    }
  }
  if (finished.joinable()) finished.join();
  return ScanState();
}

ApiReply ServeApi::ScanState() {
  std::lock_guard<std::mutex> guard(mutex);
  ApiReply reply;
  reply.body["running"] = running;
  reply.body["done"] = scanned;
  reply.body["progress"] = progress;
  reply.body["rows"] = ordered_json::array();
  for (const ScanSensor& sensor : sensors) reply.body["rows"].push_back(sensor.row);
  return reply;
}

bool ServeApi::FindSensor(const std::string& where, const std::string& rom, ScanSensor& found) {
  std::lock_guard<std::mutex> guard(mutex);
  for (const ScanSensor& sensor : sensors) {
    if (sensor.row["where"] == where && !sensor.transducer.is_null() &&
        RomKey(sensor.row["rom"].get<std::string>()) == RomKey(rom)) {
      found = sensor;
      return true;
    }
  }
  return false;
}

// After a write the part holds `image`: its data sheet and lock use that.
void ServeApi::UpdateSensor(const std::string& where, const std::string& rom,
                            const std::vector<uint8_t>& image) {
  const TEDSDecoder::Result decoded = TEDSDecoder::Decode(image);
  std::lock_guard<std::mutex> guard(mutex);
  for (ScanSensor& sensor : sensors) {
    if (sensor.row["where"] != where || sensor.transducer.is_null() ||
        RomKey(sensor.row["rom"].get<std::string>()) != RomKey(rom)) {
      continue;
    }
    sensor.image = image;
    if (decoded.parsed && decoded.transducer) {
      ordered_json transducer = TransducerJson(*decoded.transducer);
      // The decoder names the transducer after nothing; it is the same part.
      transducer["id"] = sensor.transducer["id"];
      transducer["nodes"] = sensor.transducer["nodes"];
      sensor.transducer = transducer;
    }
  }
}

ApiReply ServeApi::Sheet(const json& request) {
  ApiReply failure;
  std::string where;
  std::string rom;
  if (!TextMember(request, "where", where, failure) || !TextMember(request, "rom", rom, failure)) {
    return failure;
  }
  ScanSensor sensor;
  if (!FindSensor(where, rom, sensor)) {
    return Failure(404, "teds serve: no sensor " + rom + " at " + where +
                            " in the last scan; scan again");
  }
  ApiReply reply;
  reply.body["where"] = where;
  reply.body["rom"] = sensor.row["rom"];
  reply.body["sheet"] = sensor.transducer;
  reply.body["limits"] = FieldLimitsJson();
  return reply;
}

ApiReply ServeApi::Preview(const json& request) {
  ApiReply failure;
  ContentOptions contents;
  if (!SheetMember(request, contents.sheetJson, failure)) return failure;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  TedsStreams streams{in, out, err, false};
  std::string error;
  const TEDSEncoder::Result result = EncodeContents(contents, streams, error);
  ApiReply reply;
  reply.body["ok"] = result.ok;
  if (!result.ok) {
    reply.body["error"] = "teds encode: " + error;
    return reply;
  }
  reply.body["image"] = orvtext::FormatHex(result.image);
  reply.body["application"] = orvtext::FormatHex(result.application);
  reply.body["memory"] = orvtext::FormatHex(result.memory);
  reply.body["report"] = ReadBackReport(result);
  reply.body["readBack"] = ReadBackJson(result);
  return reply;
}

ApiReply ServeApi::Decode(const json& request) {
  ApiReply failure;
  std::string text;
  if (!TextMember(request, "text", text, failure)) return failure;
  // Two lines are a DS2430A dump (application register, then memory), as
  // `teds decode --ds2430a` takes them; anything else is one image.
  std::vector<std::string> lines;
  std::istringstream split(text);
  for (std::string line; std::getline(split, line);) {
    if (line.find_first_not_of(" \t\r") != std::string::npos) lines.push_back(line);
  }
  DecodeOptions options;
  options.json = true;
  if (lines.size() == 2) {
    options.source = DecodeOptions::Source::DS2430A;
    options.registerHex = lines[0];
    options.memoryHex = lines[1];
  } else {
    options.source = DecodeOptions::Source::Image;
    options.imageHex = text;
  }
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  TedsStreams streams{in, out, err, false};
  if (RunDecode(options, streams) == TEDS_EXIT_BAD_INPUT) return Failure(400, err.str());
  ApiReply reply;
  reply.body = ordered_json::parse(out.str());
  return reply;
}

ApiReply ServeApi::RunWrite(const std::string& where, const std::string& rom, bool lock,
                            const std::string& sheetJson, const std::string& imageHex) {
  const std::string device = targets.DeviceOf(where);
  if (device.empty()) {
    return Failure(404, "teds serve: " + where + " is none of the served channels and ports");
  }
  std::string busy;
  if (!targets.TryHold(device, "a write to " + device + " is already running", busy)) {
    return Failure(409, busy);
  }
  WriteOptions options;
  options.rom = rom;
  options.lock = lock;
  options.contents.sheetJson = sheetJson;
  options.contents.imageHex = imageHex;
  WriteOutcome outcome;
  try {
    outcome = targets.Write(where, options);
  } catch (...) {
    targets.Release(device);
    throw;
  }
  targets.Release(device);
  if (outcome.status == TEDS_EXIT_BAD_INPUT) return Failure(400, outcome.messages);
  if (outcome.status == TEDS_EXIT_OK || outcome.status == TEDS_EXIT_BENCH_NOT_SAVED) {
    std::istringstream in;
    std::ostringstream sink;
    TedsStreams streams{in, sink, sink, false};
    std::string error;
    const TEDSEncoder::Result written = EncodeContents(options.contents, streams, error);
    if (written.ok) UpdateSensor(where, rom, written.image);
  }
  ApiReply reply;
  reply.body["ok"] = outcome.status == TEDS_EXIT_OK;
  reply.body["exitStatus"] = outcome.status;
  reply.body["report"] = outcome.report;
  reply.body["messages"] = outcome.messages;
  return reply;
}

ApiReply ServeApi::Write(const json& request) {
  ApiReply failure;
  std::string where;
  std::string rom;
  std::string sheetJson;
  if (!TextMember(request, "where", where, failure) || !TextMember(request, "rom", rom, failure) ||
      !SheetMember(request, sheetJson, failure)) {
    return failure;
  }
  return RunWrite(where, rom, false, sheetJson, std::string());
}

ApiReply ServeApi::Lock(const json& request) {
  ApiReply failure;
  std::string where;
  std::string rom;
  std::string confirmRom;
  if (!TextMember(request, "where", where, failure) || !TextMember(request, "rom", rom, failure) ||
      !TextMember(request, "confirmRom", confirmRom, failure)) {
    return failure;
  }
  if (RomKey(confirmRom) != RomKey(rom)) {
    return Failure(400, "teds serve: the ROM confirmed (" + confirmRom +
                            ") is not the part's ROM (" + rom + "); nothing was locked");
  }
  ScanSensor sensor;
  if (!FindSensor(where, rom, sensor)) {
    return Failure(404, "teds serve: no sensor " + rom + " at " + where +
                            " in the last scan; scan again");
  }
  // The part keeps what it holds: the lock writes the same image again and
  // commits it.
  return RunWrite(where, rom, true, std::string(), orvtext::FormatHex(sensor.image));
}

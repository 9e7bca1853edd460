#include "tools/teds/ScanTable.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <deque>
#include <map>
#include <set>
#include <sstream>

#include "onewire/AbstractOneWireMaster.h"
#include "teds/TEDSEncoder.h"
#include "teds/TEDSNode.h"
#include "teds/TEDSTemplate25.h"
#include "teds/TEDSText.h"
#include "teds/TEDSTransducer.h"
#include "text/Calendar.h"
#include "text/HexText.h"

using nlohmann::ordered_json;
using Rom = std::array<uint8_t, 8>;

namespace {

// The library's texts that tell what became of each device.
const char kDevicesHeading[] = "Transducers Found:\n";
const char kParseErrorPrefix[] = "Template Parse Error : ";
const char kNodePrefix[] = "Node ";
const char kSkippedMark[] = " skipped: ";
const char kNodeListPrefix[] = "Node list ";
const char kMemoryErrorPrefix[] = "OneWire Memory Error:";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The ROM inside the first "[...]" of `text`.
std::optional<Rom> RomIn(const std::string& text) {
  const std::size_t open = text.find('[');
  const std::size_t close = text.find(']', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos) return std::nullopt;
  std::vector<uint8_t> bytes;
  if (orvtext::ParseHex(text.substr(open + 1, close - open - 1), bytes) || bytes.size() != 8) {
    return std::nullopt;
  }
  Rom rom{};
  std::copy(bytes.begin(), bytes.end(), rom.begin());
  return rom;
}

// What the texts of one query tell about its devices.
struct Story {
  bool discovered = false;        // a device list was reported
  std::vector<Rom> devices;       // in discovery order
  std::map<Rom, std::string> skipped;  // device -> why
  std::deque<std::string> parseErrors;  // in transducer order
  std::deque<std::string> readFaults;   // in device order
  std::string firstError;               // the first text that reports a fault
};

Story ReadStory(const std::vector<std::string>& texts) {
  Story story;
  for (const std::string& raw : texts) {
    const std::string text = TEDSText::ToUtf8(raw);
    if (StartsWith(text, kDevicesHeading)) {
      story.discovered = true;
      std::istringstream lines(text.substr(sizeof kDevicesHeading - 1));
      std::string line;
      while (std::getline(lines, line)) {
        if (const auto rom = RomIn(line)) story.devices.push_back(*rom);
      }
    } else if (StartsWith(text, kParseErrorPrefix)) {
      story.parseErrors.push_back(Trimmed(text.substr(sizeof kParseErrorPrefix - 1)));
    } else if (StartsWith(text, kNodeListPrefix)) {
      const std::size_t colon = text.find("]: ");
      if (const auto rom = RomIn(text)) {
        story.skipped[*rom] = colon == std::string::npos ? text : Trimmed(text.substr(colon + 3));
      }
    } else if (StartsWith(text, kNodePrefix) && text.find(kSkippedMark) != std::string::npos) {
      if (const auto rom = RomIn(text)) {
        story.skipped[*rom] = Trimmed(text.substr(text.find(kSkippedMark) + sizeof kSkippedMark - 1));
      }
    } else if (StartsWith(text, kMemoryErrorPrefix)) {
      story.readFaults.push_back(Trimmed(text));
    }
    const bool fault = text.find("Error") != std::string::npos ||
                       text.find("refused") != std::string::npos;
    if (fault && story.firstError.empty()) story.firstError = Trimmed(text);
  }
  return story;
}

std::string TakeFront(std::deque<std::string>& list) {
  std::string front = list.front();
  list.pop_front();
  return front;
}

void FillFromTransducer(ScanRow& row, const TEDSScan::Found& found) {
  static const char* const kDirections[] = {"X", "Y", "Z"};
  const TEDSTransducer& t = *found.transducer;
  row.rom = t.GetId();
  const TEDSBasicDatasheet& basic = t.GetBasicDatasheet();
  row.manufacturerID = basic.manufacturerID;
  if (TEDSText::HoldsBasicTeds(basic.manufacturerID)) {
    row.modelNumber = basic.modelNumber;
    row.versionLetter = TEDSText::ToUtf8(std::string(1, basic.versionLetter));
    row.versionNumber = basic.versionNumber;
    row.serialNumber = basic.serialNumber;
  }
  for (const auto& any : t.GetTemplates()) {
    const auto* t25 = dynamic_cast<const TEDSTemplate25*>(any.get());
    if (!t25) continue;
    const TEDSTemplate25::Data& d = t25->GetData();
    if (!d.extended && !d.force) {
      row.sensitivity = d.sensRef;
      row.sensitivityUnit = "V/(m/s^2)";
    }
    if (d.direction < 3) row.direction = kDirections[d.direction];
    row.calDate = d.calDate;
    row.calPeriodDays = d.calPeriod;
    break;
  }
  row.status = found.goodChecksum ? ScanStatus::Ok : ScanStatus::BadChecksum;
  if (!found.goodChecksum) row.detail = "a memory page failed its checksum";
}

// Why a query that reported no device list, or left devices unexplained,
// failed.
std::string FailureOf(const TEDSScan::Result& result, const Story& story, double timeoutS) {
  switch (result.outcome) {
    case TEDSScan::Outcome::FailedToStart: return result.failure;
    case TEDSScan::Outcome::Stopped: return "the scan was stopped";
    case TEDSScan::Outcome::TimedOut: {
      std::ostringstream text;
      text << "no answer: the query did not end within " << timeoutS << " s";
      if (result.waitedForChannel) text << " (another query held the channel all the while)";
      return text.str();
    }
    case TEDSScan::Outcome::Ended: break;
  }
  if (!story.firstError.empty()) return story.firstError;
  return result.texts.empty() ? "the query ended without a word"
                              : Trimmed(TEDSText::ToUtf8(result.texts.back()));
}

std::string Cell(const std::optional<std::string>& value) { return value ? *value : "-"; }
template <typename T>
std::string Cell(const std::optional<T>& value) {
  return value ? std::to_string(*value) : "-";
}

std::string RomText(const Rom& rom) { return orvtext::FormatHex(rom); }

std::string SensitivityCell(const ScanRow& row) {
  if (!row.sensitivity) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.6f", *row.sensitivity);
  return std::string(text) + (row.sensitivityUnit ? " " + *row.sensitivityUnit : "");
}

std::string StatusCell(const ScanRow& row) {
  std::string cell = ScanStatusText(row.status);
  if (!row.detail.empty() && row.status != ScanStatus::BadChecksum) cell += ": " + row.detail;
  return cell;
}

// Characters, not bytes, so that names in UTF-8 line up.
std::size_t Width(const std::string& text) {
  std::size_t count = 0;
  for (unsigned char c : text) count += (c & 0xC0) != 0x80;
  return count;
}

template <typename T>
ordered_json Nullable(const std::optional<T>& value) {
  return value ? ordered_json(*value) : ordered_json(nullptr);
}

std::string CsvField(const ordered_json& value) {
  if (value.is_null()) return std::string();
  const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

}  // namespace

ScanPlace ScanPlace::Channel(const std::string& device, uint32_t address, unsigned channel) {
  ScanPlace place;
  place.where = device + "/" + std::to_string(address) + "/" + std::to_string(channel);
  place.device = device;
  place.address = address;
  place.channel = channel;
  return place;
}

ScanPlace ScanPlace::Port(const std::string& port) {
  ScanPlace place;
  place.where = port;
  place.port = port;
  return place;
}

const char* ScanStatusText(ScanStatus status) {
  switch (status) {
    case ScanStatus::Ok: return "ok";
    case ScanStatus::BadChecksum: return "bad checksum";
    case ScanStatus::Skipped: return "skipped";
    case ScanStatus::ParseError: return "parse error";
    case ScanStatus::Empty: return "empty";
    case ScanStatus::Failed: break;
  }
  return "failed";
}

std::optional<int64_t> ScanRow::CalDueDay() const {
  if (!calDate || !calPeriodDays || *calPeriodDays == 0) return std::nullopt;
  return orvtext::DayOf(*calDate) + *calPeriodDays;
}

std::optional<bool> ScanRow::Overdue(int64_t today) const {
  const std::optional<int64_t> due = CalDueDay();
  if (!due) return std::nullopt;
  return *due < today;
}

std::vector<ScanRow> ScanRows(const ScanPlace& place, const TEDSScan::Result& result,
                              double timeoutS) {
  const Story story = ReadStory(result.texts);
  std::vector<ScanRow> rows;
  std::set<Rom> accounted;
  std::map<Rom, ScanRow> byRom;
  for (const TEDSScan::Found& found : result.transducers) {
    ScanRow row;
    row.place = place;
    FillFromTransducer(row, found);
    for (const auto& node : found.transducer->GetNodes()) accounted.insert(node->GetDevice());
    accounted.insert(*row.rom);
    if (std::find(story.devices.begin(), story.devices.end(), *row.rom) == story.devices.end()) {
      rows.push_back(row);  // not in the device list (cannot happen): still shown
    } else {
      byRom[*row.rom] = row;
    }
  }
  Story left = story;
  for (const Rom& rom : story.devices) {
    if (byRom.count(rom)) {
      rows.push_back(byRom[rom]);
      continue;
    }
    if (accounted.count(rom)) continue;  // joined into another device's transducer
    ScanRow row;
    row.place = place;
    row.rom = rom;
    if (left.skipped.count(rom)) {
      row.status = ScanStatus::Skipped;
      row.detail = left.skipped[rom];
    } else if (!left.parseErrors.empty()) {
      row.status = ScanStatus::ParseError;
      row.detail = TakeFront(left.parseErrors);
    } else if (!left.readFaults.empty()) {
      row.detail = TakeFront(left.readFaults);
    } else {
      row.detail = FailureOf(result, story, timeoutS);
    }
    rows.push_back(row);
  }
  if (rows.empty()) {
    ScanRow row;
    row.place = place;
    const bool empty = story.discovered && result.outcome == TEDSScan::Outcome::Ended &&
                       story.devices.empty();
    row.status = empty ? ScanStatus::Empty : ScanStatus::Failed;
    if (!empty) row.detail = FailureOf(result, story, timeoutS);
    rows.push_back(row);
  }
  return rows;
}

int ScanExitStatus(const std::vector<ScanRow>& rows, const std::vector<TEDSScan::Result>& results) {
  for (const TEDSScan::Result& result : results) {
    if (result.outcome == TEDSScan::Outcome::TimedOut) return 3;
  }
  for (const ScanRow& row : rows) {
    if (row.status == ScanStatus::Ok) return 0;
  }
  return 1;
}

std::string ScanTableText(const std::vector<ScanRow>& rows, int64_t today) {
  std::vector<std::vector<std::string>> cells = {{"Where", "ROM", "Mfr", "Model", "Ver", "Serial",
                                                  "Sensitivity", "Dir", "Cal date", "Cal due",
                                                  "Status"}};
  for (const ScanRow& row : rows) {
    const std::optional<int64_t> due = row.CalDueDay();
    std::string dueCell = due ? DayText(*due) : "-";
    if (row.Overdue(today).value_or(false)) dueCell += " OVERDUE";
    std::string version = "-";
    if (row.versionLetter && row.versionNumber) {
      version = *row.versionLetter + std::to_string(*row.versionNumber);
    }
    cells.push_back({row.place.where, row.rom ? RomText(*row.rom) : "-", Cell(row.manufacturerID),
                     Cell(row.modelNumber), version, Cell(row.serialNumber), SensitivityCell(row),
                     Cell(row.direction),
                     row.calDate ? TEDSText::DateText(*row.calDate) : std::string("-"), dueCell,
                     StatusCell(row)});
  }
  std::vector<std::size_t> widths(cells[0].size(), 0);
  for (const auto& line : cells) {
    for (std::size_t i = 0; i < line.size(); ++i) widths[i] = std::max(widths[i], Width(line[i]));
  }
  std::string table;
  for (const auto& line : cells) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      table += line[i];
      // Two spaces between columns; the last column is not padded.
      if (i + 1 < line.size()) table += std::string(widths[i] - Width(line[i]) + 2, ' ');
    }
    table += '\n';
  }
  return table;
}

ordered_json ScanRowJson(const ScanRow& row, int64_t today) {
  ordered_json j;
  j["where"] = row.place.where;
  j["device"] = Nullable(row.place.device);
  j["address"] = Nullable(row.place.address);
  j["channel"] = Nullable(row.place.channel);
  j["port"] = Nullable(row.place.port);
  j["rom"] = row.rom ? ordered_json(RomText(*row.rom)) : ordered_json(nullptr);
  j["manufacturerID"] = Nullable(row.manufacturerID);
  j["modelNumber"] = Nullable(row.modelNumber);
  j["versionLetter"] = Nullable(row.versionLetter);
  j["versionNumber"] = Nullable(row.versionNumber);
  j["serialNumber"] = Nullable(row.serialNumber);
  j["sensitivity"] = Nullable(row.sensitivity);
  j["sensitivityUnit"] = Nullable(row.sensitivityUnit);
  j["direction"] = Nullable(row.direction);
  j["calDate"] = row.calDate ? ordered_json(TEDSText::DateText(*row.calDate)) : ordered_json(nullptr);
  j["calPeriodDays"] = Nullable(row.calPeriodDays);
  const std::optional<int64_t> due = row.CalDueDay();
  j["calDue"] = due ? ordered_json(DayText(*due)) : ordered_json(nullptr);
  j["overdue"] = Nullable(row.Overdue(today));
  j["status"] = ScanStatusText(row.status);
  j["detail"] = row.detail;
  return j;
}

std::string ScanCsv(const std::vector<ScanRow>& rows, int64_t today) {
  // The header: the keys of a row, which every row has in the same order.
  std::string csv;
  const ordered_json blank = ScanRowJson(ScanRow(), today);
  for (const auto& item : blank.items()) {
    csv += (csv.empty() ? "" : ",") + item.key();
  }
  csv += "\r\n";
  for (const ScanRow& row : rows) {
    const char* separator = "";
    const ordered_json j = ScanRowJson(row, today);
    for (const auto& item : j.items()) {
      csv += separator + CsvField(item.value());
      separator = ",";
    }
    csv += "\r\n";
  }
  return csv;
}

std::string ScanJson(const std::vector<ScanRow>& rows, int64_t today, int exitCode) {
  ordered_json document;
  document["command"] = "scan";
  document["exitCode"] = exitCode;
  document["today"] = DayText(today);
  document["rows"] = ordered_json::array();
  for (const ScanRow& row : rows) document["rows"].push_back(ScanRowJson(row, today));
  return document.dump(2) + "\n";
}

bool ParseDay(const std::string& text, int64_t& day) {
  int64_t seconds = 0;
  if (!TEDSEncoder::ParseDate(text, seconds)) return false;
  day = orvtext::DayOf(seconds);
  return true;
}

int64_t TodayUtc() { return orvtext::DayOf(static_cast<int64_t>(std::time(nullptr))); }

std::string DayText(int64_t day) { return orvtext::DateText(day * 86400); }

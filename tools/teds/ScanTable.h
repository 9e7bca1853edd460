#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "teds/TEDSScan.h"

// The rows of a scan: one per sensor, and one for a channel or port that has
// no sensor or whose query failed; written as a text table, CSV or JSON
// (`teds scan`, and the scan page of `teds serve`). Texts are UTF-8.

// Where a target of the scan is: a channel of a device, or a serial port.
struct ScanPlace {
  std::string where;  // "SIM-DAQ/1/0" (device/address/channel) or the port
  std::optional<std::string> device;  // UTF-8
  std::optional<uint32_t> address;
  std::optional<unsigned> channel;
  std::optional<std::string> port;

  static ScanPlace Channel(const std::string& device, uint32_t address, unsigned channel);
  static ScanPlace Port(const std::string& port);
};

enum class ScanStatus { Ok, BadChecksum, Skipped, ParseError, Empty, Failed };

// "ok", "bad checksum", "skipped", "parse error", "empty", "failed".
const char* ScanStatusText(ScanStatus status);

struct ScanRow {
  ScanPlace place;
  std::optional<std::array<uint8_t, 8>> rom;
  // The Basic TEDS, when the image holds one (the manufacturer ID always
  // when a transducer was reported).
  std::optional<uint16_t> manufacturerID;
  std::optional<uint16_t> modelNumber;
  std::optional<std::string> versionLetter;
  std::optional<unsigned> versionNumber;
  std::optional<uint32_t> serialNumber;
  // From the first template 25; the sensitivity only for its standard group
  // (the extended group holds raw values only).
  std::optional<double> sensitivity;
  std::optional<std::string> sensitivityUnit;
  std::optional<std::string> direction;  // "X", "Y" or "Z"
  std::optional<int64_t> calDate;        // seconds since 1970-01-01 UTC
  std::optional<uint32_t> calPeriodDays;
  ScanStatus status = ScanStatus::Failed;
  std::string detail;  // why: the skip reason, the parse error, the failure

  // The day (since 1970-01-01) the calibration falls due: the calibration
  // day plus the period; none without a date or with a period of 0 days.
  std::optional<int64_t> CalDueDay() const;
  // Due before `today` (a day since 1970-01-01); none without a due day.
  std::optional<bool> Overdue(int64_t today) const;
};

// The rows of one target's result, in the order of its discovery.
// `timeoutS` words the failure of a query that did not end in time.
std::vector<ScanRow> ScanRows(const ScanPlace& place, const TEDSScan::Result& result,
                              double timeoutS);

// Exit status of a scan: 3 when a target timed out, else 0 when a sensor was
// read with status ok, else 1.
int ScanExitStatus(const std::vector<ScanRow>& rows, const std::vector<TEDSScan::Result>& results);

// The text table, its columns sized to their contents, one line per row.
std::string ScanTableText(const std::vector<ScanRow>& rows, int64_t today);
// RFC 4180 CSV (CRLF line ends, quoted where needed) with a header line; the
// columns are the JSON row's keys, null as an empty field.
std::string ScanCsv(const std::vector<ScanRow>& rows, int64_t today);
nlohmann::ordered_json ScanRowJson(const ScanRow& row, int64_t today);
// {"command": "scan", "exitCode", "today", "rows"}, indented, ending with a
// newline (tools/schema/teds.schema.json).
std::string ScanJson(const std::vector<ScanRow>& rows, int64_t today, int exitCode);

// "YYYY-MM-DD" as a day since 1970-01-01; false for anything else (also for
// days a month does not have).
bool ParseDay(const std::string& text, int64_t& day);
// Today in UTC, as a day since 1970-01-01.
int64_t TodayUtc();
std::string DayText(int64_t day);

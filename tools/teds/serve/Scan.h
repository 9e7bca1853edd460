#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "teds/TEDSScan.h"
#include "tools/teds/ScanCommand.h"
#include "tools/teds/ScanTable.h"

// One row of a scan (a sensor, or a channel or port without one), as
// `teds scan --json` has it, with what the server keeps of a sensor for its
// data sheet and its lock: the decoded transducer (as `teds decode --json`
// has it) and its image.
struct ScanSensor {
  nlohmann::ordered_json row;
  nlohmann::ordered_json transducer;  // null for a row without a sensor
  std::vector<uint8_t> image;
};

// What a scan is told, a line at a time: the library's texts and the
// relay's pauses, each with the place it concerns.
using ScanProgress = std::function<void(const std::string& line)>;

// Queries every target of `plan` at once through `scan` (which another
// thread may stop) and returns the rows, target by target. `pollMs` words
// the relay's pauses; `today` (a day since 1970-01-01) decides which
// calibrations are overdue.
std::vector<ScanSensor> ScanTargets(TEDSScan& scan, const ScanPlan& plan, double timeoutS,
                                    unsigned int pollMs, int64_t today,
                                    const ScanProgress& progress);


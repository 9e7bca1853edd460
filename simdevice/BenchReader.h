#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "simdevice/BenchModel.h"

// The JSON bench file (docs/bench-files.md).

namespace simdevice {

// A malformed bench. The text names the file, the place and the problem.
class BenchError : public std::runtime_error {
 public:
  explicit BenchError(const std::string& message);
};

// Reads and checks a bench file (its name in UTF-8). Findings that do not
// stop the bench (a ROM whose CRC does not check) are appended to `warnings`
// when it is given.
Bench LoadBench(const std::string& path, std::vector<std::string>* warnings = nullptr);

// The same for bench text; `source` names it in messages.
Bench ParseBench(const std::string& text, const std::string& source,
                 std::vector<std::string>* warnings = nullptr);

// The built-in bench: device "SIM-DAQ" at address 1 with one DS2430A
// accelerometer on channel 0 (Basic TEDS and template 25), as JSON text.
std::string DefaultBenchJson();
Bench DefaultBench();

}  // namespace simdevice

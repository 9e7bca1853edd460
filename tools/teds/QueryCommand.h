#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "onewire/AbstractOneWireMaster.h"
#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}

// `teds query`: one TEDS query against a device through the device library,
// by default the simulated device of the built-in bench.
struct QueryOptions {
  bool haveBench = false;     // otherwise the built-in bench
  std::string benchPath;
  bool haveDevice = false;    // otherwise the bench's name
  std::string device;         // UTF-8
  bool haveAddress = false;   // otherwise the bench's address
  unsigned int address = 0;
  bool haveChannel = false;   // otherwise the bench's first channel
  unsigned int channel = 0;
  unsigned int mode = 1;      // TEDS mode of the channel
  unsigned int pollMs = 1000;  // the relay's answer pause
  double timeoutS = 60;
  std::string searchPasses = "2";  // search passes per transfer: a number from 1, or "max"
  bool quiet = false;
  bool json = false;          // one JSON document in place of the texts
  std::string serialPort;  // non-empty: a DS2480B adapter on this port, no device library
  unsigned int baud = 9600;  // the adapter's serial rate after start-up (--baud)
};

// Exit status of a query that did not end in time.
constexpr int TEDS_EXIT_TIMEOUT = 3;

// Standard output gets exactly what the host listener receives, in order:
// each text (a newline added when it has none) and each transducer's report
// followed by its template errors, one per line; with `json`, one JSON
// document holding all of that once the query has ended (or timed out).
// Progress goes to the error stream unless `quiet`. Returns TEDS_EXIT_OK when at least one transducer
// was reported, TEDS_EXIT_PARSE_ERROR when the cycle ended without one,
// TEDS_EXIT_BAD_INPUT for bad arguments or a bad bench, TEDS_EXIT_TIMEOUT
// when the cycle had not ended in time.
int RunQuery(const QueryOptions& options, TedsStreams& streams);

// Runs one query cycle of `master` with the host listener described above
// (`options.timeoutS`, `options.json`), then calls `stop`, which must end all
// traffic into the master. `stalled` tells whether the master can no longer
// come up (checked after each text).
int RunQueryCycle(AbstractOneWireMaster& master, const std::function<bool()>& stalled,
                  const std::function<void()>& stop, const QueryOptions& options,
                  TedsStreams& streams);

void AddQueryCommand(CLI::App& app, TedsStreams& streams, int& status);

// `teds bench`: prints the built-in bench file.
void AddBenchCommand(CLI::App& app, TedsStreams& streams, int& status);

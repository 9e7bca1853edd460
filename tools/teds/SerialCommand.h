#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/teds/QueryCommand.h"
#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}

// `teds query --serial PORT`: the query cycle over a DS2480B serial 1-Wire
// adapter instead of the device library. Output and exit status as for the
// device library's path; there is no relay, so no protocol or vendor text.
int RunSerialQuery(const QueryOptions& options, TedsStreams& streams);
// Adds --serial to `teds query`, excluding the device library's options.
void AddSerialOption(CLI::App& query, QueryOptions& options);

// `teds serial-emulator`: an emulated DS2480B adapter with the devices of
// one bench channel, on a pseudo-terminal whose path goes to standard output.
struct SerialEmulatorOptions {
  std::string benchPath;  // empty: the built-in bench
  bool haveChannel = false;
  unsigned int channel = 0;
  bool silent = false;
  bool shorted = false;
  uint32_t noisyAnswer = 0;
  bool fixedBaud = false;  // takes a baud rate change but stays at 9600
  bool realTime = false;   // answers paced at the line's and the bus's speed
  bool trace = false;      // the traffic, in hex, to standard error
};

// Serves until `stop` is set. Returns TEDS_EXIT_BAD_INPUT for a bad bench or
// channel and when no terminal can be made (always on Windows).
int RunSerialEmulator(const SerialEmulatorOptions& options, TedsStreams& streams,
                      const std::atomic<bool>& stop);
void AddSerialEmulatorCommand(CLI::App& app, TedsStreams& streams, int& status);

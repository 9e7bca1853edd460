#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "teds/TEDSScan.h"
#include "tools/teds/ScanTable.h"
#include "tools/teds/SimBench.h"
#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}

// `teds scan`: queries every chosen channel of one or more devices and any
// number of serial adapters at once and prints one row per sensor.
struct ScanOptions {
  std::vector<std::string> benches;  // none: the built-in bench (unless only ports are scanned)
  bool haveDevice = false;
  std::string device;  // UTF-8; otherwise the bench's name
  bool haveAddress = false;
  unsigned int address = 0;
  bool haveChannels = false;
  std::string channels;  // "all" or a list such as "0,2-4"; otherwise the bench's channels
  std::vector<std::string> serialPorts;
  unsigned int baud = 9600;
  unsigned int mode = 1;
  unsigned int pollMs = 1000;
  double timeoutS = 60;
  bool quiet = false;
  bool json = false;
  bool csv = false;
  std::string today;  // "YYYY-MM-DD"; empty: today in UTC
};

// What a scan queries: the benches of the simulated devices (attach them
// while the scan runs), and the targets with their places, index for index.
struct ScanPlan {
  std::vector<std::unique_ptr<SimBench>> benches;
  std::vector<TEDSScan::Target> targets;
  std::vector<ScanPlace> places;
  // Held while a note of a serial adapter is written to the error stream;
  // hold it too for other writes to that stream while the scan runs.
  std::shared_ptr<std::mutex> errMutex = std::make_shared<std::mutex>();
};

// Adds a target for each of `channels` of the device `device` at `address`,
// read in TEDS mode `mode` with the relay's answer pause `pollMs`.
void AddDeviceTargets(const std::wstring& device, unsigned address,
                      const std::vector<unsigned>& channels, unsigned mode, unsigned pollMs,
                      ScanPlan& plan);

// Adds the target of a DS2480B adapter on `port`, switched to `baud` after
// start-up; `note` (if any) hears the adapter's notes, on the scan's threads.
void AddPortTarget(const std::string& port, unsigned baud,
                   std::function<void(const std::string&)> note, ScanPlan& plan);

// A scan's progress as lines: each line of each text of target `index`,
// after its place ("SIM-DAQ/1/0: ..."). `places` must outlive the scan.
TEDSScan::Progress ProgressByLine(const std::vector<ScanPlace>& places,
                                  std::function<void(const std::string&)> line);

// Checks the options that say what to scan and plans it: the benches loaded
// (warnings to `err`), the device and channels chosen, the serial ports.
// False, with a message on `err` naming `who` ("teds scan: "), for bad input.
// `err` must outlive the plan's targets (adapter notes go there unless
// `options.quiet`).
bool PlanScan(const ScanOptions& options, ScanPlan& plan, std::ostream& err,
              const std::string& who = "teds scan: ");

// Exit status: 0 at least one sensor read ok, 1 none, 2 bad input, 3 a
// target did not end within the time-out.
int RunScan(const ScanOptions& options, TedsStreams& streams);

// "all" (channels 0 to 7) or numbers and ranges 0 to 7 separated by commas,
// e.g. "0,2-4"; each channel once, in ascending order. False for anything
// else, with `problem` saying why.
bool ParseChannels(const std::string& text, std::vector<unsigned>& channels, std::string& problem);

void AddScanCommand(CLI::App& app, TedsStreams& streams, int& status);

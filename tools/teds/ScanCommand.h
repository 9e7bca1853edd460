#pragma once

#include <string>
#include <vector>

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

// Exit status: 0 at least one sensor read ok, 1 none, 2 bad input, 3 a
// target did not end within the time-out.
int RunScan(const ScanOptions& options, TedsStreams& streams);

// "all" (channels 0 to 7) or numbers and ranges 0 to 7 separated by commas,
// e.g. "0,2-4"; each channel once, in ascending order. False for anything
// else, with `problem` saying why.
bool ParseChannels(const std::string& text, std::vector<unsigned>& channels, std::string& problem);

void AddScanCommand(CLI::App& app, TedsStreams& streams, int& status);

#pragma once

#include <string>

#include "tools/teds/EncodeCommand.h"
#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}
struct QueryMaster;

// `teds write`: programs one DS2430A, found by its ROM, through the device
// library (with this build's stand-in: the simulated device of a bench).
struct WriteOptions {
  ContentOptions contents;
  std::string rom;
  bool lock = false;          // --lock-application-register
  std::string benchPath;      // empty: the built-in bench
  std::string saveBenchPath;  // empty: not saved
  bool haveDevice = false;
  std::string device;
  bool haveAddress = false;
  unsigned int address = 0;
  bool haveChannel = false;
  unsigned int channel = 0;
  unsigned int mode = 1;
  unsigned int pollMs = 1000;
  double timeoutS = 60;
  bool quiet = false;
  std::string serialPort;  // --serial: a DS2480B adapter instead of the device library
};

// Standard output gets the bus's error texts as they arrive and one line of
// outcome: what was written, or which step failed, why, and what the part
// holds now. Returns TEDS_EXIT_OK when the part was written (and locked, if
// asked) and verified, TEDS_EXIT_PARSE_ERROR when the write failed or the
// part was not found, TEDS_EXIT_BAD_INPUT for bad arguments, contents or
// bench, TEDS_EXIT_TIMEOUT (3) when it did not end in time, and
// TEDS_EXIT_BENCH_NOT_SAVED when the part was written and verified but the
// --save-bench file could not be written.
constexpr int TEDS_EXIT_BENCH_NOT_SAVED = 5;

int RunWrite(const WriteOptions& options, TedsStreams& streams);

// The write through the device library to a device that is attached already
// (`teds serve` keeps its benches' devices attached, so that what is written
// stays for the next read): `deviceName`, `address` and `channel` name it;
// the bench options of `options` are not used. Exit statuses as RunWrite's.
int RunAttachedDeviceWrite(const WriteOptions& options, const std::wstring& deviceName,
                           unsigned int address, unsigned int channel, TedsStreams& streams);

// The write of `teds write --serial` on a master of the caller's (one on an
// emulated port, for tests); TEDS_EXIT_TIMEOUT without a message.
int RunSerialWriteOn(QueryMaster master, const WriteOptions& options, TedsStreams& streams);

void AddWriteCommand(CLI::App& app, TedsStreams& streams, int& status);

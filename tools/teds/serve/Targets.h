#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "tools/teds/WriteCommand.h"
#include "tools/teds/serve/Scan.h"

// What `teds serve` reaches: the simulated devices of its benches, kept
// attached while it serves so that what is written stays for the next scan,
// and the DS2480B adapters on its serial ports.
struct ServeTargetOptions {
  std::vector<std::string> benchPaths;  // none and no port: the built-in bench
  std::vector<std::string> serialPorts;
  std::string saveBenchPath;  // the bench is saved here after each write
  unsigned int pollMs = 1000;
  double timeoutS = 60;
  int64_t todayDay = 0;
};

// The outcome of a write or lock: the writer's report (what `teds write`
// prints on standard output), its messages (standard error) and exit status.
struct WriteOutcome {
  int status = 0;
  std::string report;
  std::string messages;
};

class ServeTargets {
 public:
  ServeTargets();
  ~ServeTargets();
  ServeTargets(const ServeTargets&) = delete;
  ServeTargets& operator=(const ServeTargets&) = delete;

  // Loads the benches and attaches their devices; false with a message on
  // `err` ("teds serve: ...") when one cannot be used.
  bool Open(const ServeTargetOptions& options, std::ostream& err);

  // Scans every channel of every bench and every port at once, once the
  // writes under way have ended; the rows, bench by bench, then the ports.
  std::vector<ScanSensor> Scan(const ScanProgress& progress);
  // Ends a scan under way, if any (any thread).
  void StopScan();

  // Where a write to `where` goes, as the device's name for messages; empty
  // when `where` is none of the targets.
  std::string DeviceOf(const std::string& where) const;

  // Writes `options` (contents, ROM, lock) to the part at `where`; the
  // device must be held (Hold) by the caller.
  WriteOutcome Write(const std::string& where, WriteOptions options);

  // One write at a time per device: true when the device of `where` was
  // free and is now held, else `busy` says what holds it. Release frees it.
  bool TryHold(const std::string& device, const std::string& what, std::string& busy);
  void Hold(const std::string& device, const std::string& what);
  void Release(const std::string& device);

 private:
  struct Bench;
  struct Place {
    Bench* bench = nullptr;  // null: a serial port
    unsigned int channel = 0;
    std::string port;
  };
  bool Locate(const std::string& where, Place& place) const;
  bool SaveBench(Bench& bench, std::string& problem);

  ServeTargetOptions options;
  std::vector<std::unique_ptr<Bench>> benches;
  TEDSScan scanner;
  mutable std::mutex mutex;  // guards `holders` and the benches' texts
  std::condition_variable released;
  std::map<std::string, std::string> holders;
};

#pragma once

#include <atomic>
#include <memory>
#include <ostream>
#include <string>

#include "onewire/Status.h"
#include "simserial/DS2480BEmulator.h"

namespace simserial {

// Serves an emulated adapter on a POSIX pseudo-terminal: a host opens the
// terminal's path as it would a serial port. When the host closes it, the
// adapter is powered off: the next host starts it afresh. The rate the host
// sets on the terminal is the rate its bytes travel at: the adapter takes
// only those sent at its own rate, and its answers reach the host only at
// the host's rate. A terminal tells the rate in force when its bytes are
// read, not when they were written, so bytes found waiting after the host
// changed its rate are split as on a line: those up to and including the
// first rate switch went at the old rate, the rest at the new one. A
// pseudo-terminal carries no break: the host port discards its unsent
// output with each break, which this end sees (packet mode) and takes as
// the break. Not available on Windows (Open fails).
class PtyServer {
 public:
  explicit PtyServer(std::unique_ptr<DS2480BEmulator> emulator);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Real time: each chunk's answer comes only after the time its bytes take
  // on the serial line at the adapter's rate (10 bits a byte, plus the last
  // answer byte going back) and the 1-Wire time they cost at standard speed.
  // Off by default: the adapter answers at once.
  void SetPacing(bool pace) { pacing = pace; }

  // Creates the terminal and sets `path` to its name.
  Status Open(std::string& path);
  // Answers the host until `stop` is set (checked every 100 ms). With
  // `trace`, each chunk received and its answer go there as hex lines.
  void Serve(const std::atomic<bool>& stop, std::ostream* trace = nullptr);

 private:
  std::unique_ptr<DS2480BEmulator> emulator;
  int fd = -1;
  bool pacing = false;
};

}  // namespace simserial

#pragma once

#include <atomic>
#include <memory>
#include <ostream>
#include <string>

#include "simserial/DS2480BEmulator.h"

namespace simserial {

// Serves an emulated adapter on a POSIX pseudo-terminal: a host opens the
// terminal's path as it would a serial port. When the host closes it, the
// adapter is powered off: the next host starts it afresh. The rate the host
// sets on the terminal is the rate its bytes travel at: the adapter takes
// only those sent at its own rate. Not available on Windows (Open fails).
class PtyServer {
 public:
  explicit PtyServer(std::unique_ptr<DS2480BEmulator> emulator);
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  // Creates the terminal; its path, or empty with `error` set.
  std::string Open(std::string& error);
  // Answers the host until `stop` is set (checked every 100 ms). With
  // `trace`, each chunk received and its answer go there as hex lines.
  void Serve(const std::atomic<bool>& stop, std::ostream* trace = nullptr);

 private:
  std::unique_ptr<DS2480BEmulator> emulator;
  int fd = -1;
};

}  // namespace simserial

#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "serial/SerialPort.h"
#include "simserial/DS2480BEmulator.h"

namespace simserial {

// A serial port wired straight to an emulated adapter in the same process:
// what is written is answered at once, a break reaches the emulator, and the
// time between the host's writes is the bus's idle time. Lets the DS2480B
// master run against the emulator on any platform.
class EmulatedPort : public SerialPort {
 public:
  explicit EmulatedPort(std::shared_ptr<DS2480BEmulator> emulator);

  Status Write(const uint8_t* data, std::size_t count) override;
  // Waits the whole `wait` when nothing is there, like a silent line.
  Status Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
              std::size_t& got) override;
  void SendBreak() override;
  void DiscardInput() override;
  // The host's rate: the emulator takes only bytes sent at its own.
  Status SetBaud(unsigned baud) override;

  DS2480BEmulator& GetEmulator() { return *emulator; }
  // Bytes written so far: the traffic of a query.
  std::size_t BytesWritten() const;
  // Writes so far: one per packet the master sends.
  std::size_t Writes() const;

 private:
  std::shared_ptr<DS2480BEmulator> emulator;
  mutable std::mutex mutex;
  // Tells the emulator how long the host has been quiet.
  void Quiet();

  std::deque<uint8_t> pending;
  std::chrono::steady_clock::time_point lastWrite{};
  bool wrote = false;
  unsigned baud = 9600;
  std::size_t written = 0;
  std::size_t writes = 0;
};

}  // namespace simserial

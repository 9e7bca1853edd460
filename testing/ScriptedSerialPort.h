#pragma once

// A serial port double that plays a script of expected traffic, in the
// manner of an I2C mock: each step is a break or one expected write with the
// bytes that answer it. Every write is checked against the next step; a
// deviation, and a step left unused when the port is destroyed, each fail
// the test.

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "serial/SerialPort.h"
#include "text/HexText.h"

namespace orvtest {

class ScriptedSerialPort : public SerialPort {
 public:
  ScriptedSerialPort() = default;
  ScriptedSerialPort(const ScriptedSerialPort&) = delete;
  ScriptedSerialPort& operator=(const ScriptedSerialPort&) = delete;
  // Verifies.
  ~ScriptedSerialPort() override;

  void ExpectBreak();
  // `write` must arrive as one write; `answer` then becomes readable.
  void Expect(std::vector<uint8_t> write, std::vector<uint8_t> answer);

  Status Write(const uint8_t* data, std::size_t count) override;
  // Hands out answer bytes; with none, waits `wait` like a silent line.
  Status Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
              std::size_t& got) override;
  void SendBreak() override;
  void DiscardInput() override;

  // Steps not yet reached.
  std::size_t Unused() const;

 private:
  struct Step {
    bool isBreak = false;
    std::vector<uint8_t> write;
    std::vector<uint8_t> answer;
  };

  mutable std::mutex mutex;
  std::deque<Step> steps;
  std::deque<uint8_t> pending;
};

// "C1 E1 55" for messages.
inline std::string HexBytes(const std::vector<uint8_t>& bytes) {
  return orvtext::FormatHex(bytes);
}

}  // namespace orvtest

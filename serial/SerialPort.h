#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "onewire/Export.h"
#include "onewire/Status.h"

// A serial port as the DS2480B master needs it: 9600 baud, 8 data bits, no
// parity, one stop bit, no flow control, raw bytes. POSIX terminals (termios)
// and Windows communication ports implement it; tests put doubles in its
// place. Used by one thread at a time.
class ORVANE_TEDS_API SerialPort {
 public:
  virtual ~SerialPort();

  // Writes all `count` bytes; fails when the port does.
  virtual Status Write(const uint8_t* data, std::size_t count) = 0;
  // Reads what has arrived, waiting at most `wait` for the first byte, and
  // sets `got` to the number of bytes read (0: nothing in time).
  virtual Status Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
                      std::size_t& got) = 0;
  // Holds the line in the break state briefly: the adapter's reset.
  virtual void SendBreak() = 0;
  // Throws away bytes received and not yet read.
  virtual void DiscardInput() = 0;
  // Switches the port to `baud` (9600, 19200, 57600 or 115200) once what
  // was written has gone out. A port that cannot says so (the default).
  virtual Status SetBaud(unsigned baud);

  // The port itself has gone: the Read or Write that failed met a hang-up,
  // the end of the file or an I/O error (an adapter unplugged, or its
  // emulator ended), so waiting for more cannot help.
  bool Gone() const { return gone; }

 protected:
  bool gone = false;
};

// Opens `name` ("/dev/ttyUSB0", "COM3") at 9600 8N1 in raw mode into `port`.
ORVANE_TEDS_API Status OpenSerialPort(const std::string& name, std::unique_ptr<SerialPort>& port);

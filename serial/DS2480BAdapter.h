#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "serial/DS2480BProtocol.h"
#include "serial/DS2480BTiming.h"
#include "serial/SerialPort.h"

// The exchanges of the DS2480B master with its adapter, one packet each,
// run synchronously on the master's own thread: start-up, one pass of the
// accelerated ROM search, one addressed operation. Each returns its Status,
// the text of the fault when it failed; after a fault
// the adapter is started afresh before its next exchange.
class DS2480BAdapter {
 public:
  using Timing = DS2480BTiming;

  // One search pass as the adapter reported it.
  struct Pass {
    bool presence = false;     // a presence pulse answered the reset
    bool nobody = false;       // all ones: no device took part
    ds2480b::Rom rom{};        // the ROM chosen
    int lastDiscrepancy = -1;  // where the next pass turns; -1 none left
  };

  // `port` in use already (a test double), or null to open `portName` at
  // start-up and close it again on Close.
  DS2480BAdapter(std::shared_ptr<SerialPort> port, std::string portName, Timing timing,
                 std::function<bool()> cancelled);

  // The rate to switch to after each start-up at 9600, and where notes on
  // the switch go. Set before the first start.
  void SetBaud(unsigned requested, std::function<void(const std::string&)> note);
  // The rate the adapter works at since the latest start-up.
  unsigned Baud() const { return baud; }
  // Break, timing byte, reset, configuration, single bit, reset.
  Status Start();
  // Starts the adapter first when a fault has left it unstarted.
  Status EnsureStarted() { return started ? Status() : Start(); }
  Status Search(uint8_t command, const ds2480b::SearchBlock& directions, Pass& pass);
  // Selects the device, sends command and data, and reads `length` bytes.
  // A device that has left reads as the idle bus (all ones): whoever reads
  // must tell that from data (Departed).
  Status Exchange(const AbstractOneWireMaster::OperationData& operation,
                  std::vector<uint8_t>& reply);
  // The text of a device found gone after its read.
  std::string Departed(const AbstractOneWireMaster::Device& device) const;
  // Lets go of a port opened by name.
  void Close();

 private:
  Status Open();
  // Switches the adapter, then the port, to the requested rate and checks
  // that the adapter answers there; otherwise starts afresh at 9600.
  Status SwitchBaud();
  Status FallBack(const std::string& why);
  // Sends `out` and collects exactly `count` answer bytes into `in`.
  Status Transact(const std::vector<uint8_t>& out, std::size_t count, std::vector<uint8_t>& in);
  Status CheckReset(uint8_t answer, ds2480b::ResetResult& result);
  Status CheckEcho(const std::vector<uint8_t>& in, std::size_t at, const std::vector<uint8_t>& sent);
  Status Fault(const std::string& text);
  // A failed read or write: the adapter went away when the port itself has
  // gone (a port opened by name is then let go, so that the next start opens
  // it afresh).
  Status PortFault(const char* what, const Status& failure);
  Status Mismatch(uint8_t answer, uint8_t command);
  void Pause(std::chrono::milliseconds pause) const;

  std::shared_ptr<SerialPort> port;
  const bool ownsPort;
  const std::string portName;
  const Timing timing;
  const std::shared_ptr<Clock> clock;
  const std::function<bool()> cancelled;
  bool started = false;
  unsigned requestedBaud = 9600;
  bool fellBack = false;  // the requested rate failed once: 9600 from then on
  unsigned baud = 9600;
  std::function<void(const std::string&)> note;
};

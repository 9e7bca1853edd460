#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "simdevice/DS2430A.h"
#include "simdevice/RelayEmulator.h"

// The bench: one simulated data-acquisition device with the relays and 1-Wire
// devices on its TEDS channels and the faults to emulate, read from a JSON
// bench file (simdevice/README.md describes the format).

namespace simdevice {

struct BusDeviceConfig {
  BusDeviceConfig();
  Rom rom;
  uint8_t status;                    // DS2430A only
  DS2430A::Application application;  // DS2430A only
  DS2430A::Memory memory;            // DS2430A only
};

struct ChannelConfig {
  ChannelConfig();
  unsigned channel;  // 0 to 7
  RelaySettings relay;
  RelayFaults faults;
  std::vector<BusDeviceConfig> devices;
  // Faults of the device's side of the channel.
  bool refuseSetMode;            // set-mode requests for this channel fail
  bool refuseWrites;             // TEDS writes fail once ...
  uint32_t writesBeforeRefusal;  // ... this many have been accepted
};

struct Bench {
  Bench();
  std::wstring name;
  unsigned int address;
  // Refuse TEDS writes and reads unless the device is in service operating
  // mode TEDS and every selected channel is in a TEDS mode other than Off.
  bool checkModes;
  bool refuseServiceMode;
  uint32_t responseDelayMs;  // waited (through the device's sleeper) before each answer
  std::vector<ChannelConfig> channels;
};

// A malformed bench. The text names the file, the field and the problem.
class BenchError : public std::runtime_error {
 public:
  explicit BenchError(const std::string& message);
};

// Reads and checks a bench file. Findings that do not stop the bench (a ROM
// whose CRC does not check) are appended to `warnings` when it is given.
Bench LoadBench(const std::string& path, std::vector<std::string>* warnings = nullptr);

// The same for bench text; `source` names it in messages.
Bench ParseBench(const std::string& text, const std::string& source,
                 std::vector<std::string>* warnings = nullptr);

// The built-in bench: device "SIM-DAQ" at address 1 with one DS2430A
// accelerometer on channel 0 (Basic TEDS and template 25), as JSON text.
std::string DefaultBenchJson();
Bench DefaultBench();

// The relay of one channel, with its bus devices in place.
std::unique_ptr<RelayEmulator> MakeRelay(const ChannelConfig& channel);

}  // namespace simdevice

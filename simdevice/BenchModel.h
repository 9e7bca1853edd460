#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simdevice/DS2430A.h"
#include "simdevice/RelayEmulator.h"

// The bench: one simulated data-acquisition device with the relays and 1-Wire
// devices on its TEDS channels and the faults to emulate. Plain data; the
// bench file reader (BenchReader.h) fills it in and BenchRelays.h builds the
// relays it describes.

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

}  // namespace simdevice

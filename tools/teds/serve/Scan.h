#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

// One row of a scan (a sensor, or a channel or port without one) with what
// the server keeps of a sensor for its data sheet and its lock: the decoded
// transducer (as `teds decode --json` has it) and its image.
struct ScanSensor {
  nlohmann::ordered_json row;
  nlohmann::ordered_json transducer;  // null for a row without a sensor
  std::vector<uint8_t> image;
};

// What a scan is told: the relay's pauses as they happen.
using ScanProgress = std::function<void(const std::string& line)>;

struct ScanSettings {
  unsigned int pollMs = 1000;
  double timeoutS = 60;
  int64_t todayDay = 0;  // days since 1970-01-01: calibrations due before it are overdue
  // Set from another thread to end a scan early; the channel under way
  // reports "failed".
  const std::atomic<bool>* cancel = nullptr;
};

// One channel of a device reached through the device library (the device
// must be attached) or one DS2480B adapter's port: its rows.
std::vector<ScanSensor> ScanDeviceChannel(const std::string& device, unsigned int address,
                                          unsigned int channel, const ScanSettings& settings,
                                          const ScanProgress& progress);
std::vector<ScanSensor> ScanSerialPort(const std::string& port, const ScanSettings& settings,
                                       const ScanProgress& progress);

// The decoded transducer's row fields, for a sensor whose image is known
// (after a write): the row of `sensor` with the values of `transducerJson`.
nlohmann::ordered_json SensorRow(const nlohmann::ordered_json& where,
                                 const nlohmann::ordered_json& transducerJson, int64_t todayDay);

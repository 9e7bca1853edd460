#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/teds/serve/Scan.h"

class ServeTargets;

// An answer of the API: HTTP status and JSON body. Failures carry
// {"error": text}, the text the command line prints for the same input.
struct ApiReply {
  int status = 200;
  nlohmann::ordered_json body;
};

// The endpoints of `teds serve`, apart from HTTP: each takes the request's
// JSON body. A scan runs on a thread of its own; its rows are kept, and the
// data sheet and lock of a sensor refer to the last scan's.
class ServeApi {
 public:
  ServeApi(ServeTargets& targets, int64_t todayDay);
  ~ServeApi();
  ServeApi(const ServeApi&) = delete;
  ServeApi& operator=(const ServeApi&) = delete;

  ApiReply StartScan();
  ApiReply ScanState();
  ApiReply Sheet(const nlohmann::json& request);
  ApiReply Preview(const nlohmann::json& request);
  ApiReply Decode(const nlohmann::json& request);
  ApiReply Write(const nlohmann::json& request);
  ApiReply Lock(const nlohmann::json& request);

  // Ends a scan under way and waits for its thread.
  void Stop();

 private:
  ApiReply RunWrite(const std::string& where, const std::string& rom, bool lock,
                    const std::string& sheetJson, const std::string& imageHex);
  bool FindSensor(const std::string& where, const std::string& rom, ScanSensor& sensor);
  void UpdateSensor(const std::string& where, const std::string& rom,
                    const std::vector<uint8_t>& image);

  ServeTargets& targets;
  const int64_t todayDay;
  std::mutex mutex;  // guards everything below but the thread
  bool running = false;
  bool scanned = false;
  std::vector<std::string> progress;
  std::vector<ScanSensor> sensors;
  std::atomic<bool> cancel{false};
  std::thread scanThread;
};

// The form's limits of each data-sheet field (the encoder's), as JSON.
nlohmann::ordered_json FieldLimitsJson();

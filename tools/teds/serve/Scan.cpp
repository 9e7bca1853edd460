#include "tools/teds/serve/Scan.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sstream>

#include "devicelink/ZorelOneWireMaster.h"
#include "orvane/OrvaneBackend.h"
#include "serial/DS2480BOneWireMaster.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSTransducer.h"
#include "text/Calendar.h"
#include "text/Utf8.h"
#include "tools/teds/JsonOutput.h"

using nlohmann::ordered_json;

namespace {

// Gathers one query cycle: the transducers found, the texts the host got,
// and the cycle's end, which the scanning thread waits for.
class CycleRecorder : public TEDSInterface::Listener, public TEDSInterface::CycleListener {
 public:
  void TransducerFound(const TEDSTransducer& transducer) override {
    std::lock_guard<std::mutex> guard(mutex);
    found.push_back({TransducerJson(transducer), transducer.GetImage()});
  }
  void Error(const std::string& message) override {
    std::lock_guard<std::mutex> guard(mutex);
    texts.push_back(message);
    if (stalled && stalled()) {
      ended = true;
      endedCv.notify_all();
    }
  }
  void CycleEnded(std::size_t) override {
    std::lock_guard<std::mutex> guard(mutex);
    ended = true;
    endedCv.notify_all();
  }
  void SetStalled(std::function<bool()> check) { stalled = std::move(check); }

  // True when the cycle ended; false after the time-out or a cancel.
  bool Wait(const ScanSettings& settings) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(settings.timeoutS));
    std::unique_lock<std::mutex> guard(mutex);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
      if (settings.cancel && settings.cancel->load()) return false;
      endedCv.wait_for(guard, std::chrono::milliseconds(100));
    }
    return ended;
  }

  struct Found {
    ordered_json transducer;
    std::vector<uint8_t> image;
  };
  std::vector<Found> TakeFound() {
    std::lock_guard<std::mutex> guard(mutex);
    return found;
  }
  std::string Texts() {
    std::lock_guard<std::mutex> guard(mutex);
    std::string joined;
    for (const std::string& text : texts) joined += (joined.empty() ? "" : "; ") + text;
    return joined;
  }

 private:
  std::function<bool()> stalled;
  std::mutex mutex;
  std::condition_variable endedCv;
  bool ended = false;
  std::vector<Found> found;
  std::vector<std::string> texts;
};

// The relay's pauses and answers on one device, as progress lines.
class PauseObserver : public orvane::TrafficObserver {
 public:
  PauseObserver(std::wstring device, unsigned int address, std::string where, unsigned int pollMs,
                ScanProgress progress)
      : device(std::move(device)),
        address(address),
        where(std::move(where)),
        pollMs(pollMs),
        progress(std::move(progress)) {}

  void Observe(const orvane::TrafficEvent& event) override {
    if (event.device != device || event.address != address || !progress) return;
    if (event.kind == orvane::TrafficKind::TEDSRead && !event.response) {
      progress(where + ": waiting for the relay's answer (" + std::to_string(pollMs) +
               " ms pause)");
    } else if (event.kind == orvane::TrafficKind::TEDSRead && !event.bytes.empty()) {
      progress(where + ": answer received (" + std::to_string(event.bytes.size()) + " bytes)");
    } else if (event.kind == orvane::TrafficKind::TEDSSetMode && !event.response) {
      progress(where + ": handshake: TEDS mode requested");
    }
  }

 private:
  const std::wstring device;
  const unsigned int address;
  const std::string where;
  const unsigned int pollMs;
  const ScanProgress progress;
};

ordered_json BaseRow(const std::string& where, const ordered_json& device,
                     const ordered_json& address, const ordered_json& channel,
                     const ordered_json& port) {
  ordered_json row;
  row["where"] = where;
  row["device"] = device;
  row["address"] = address;
  row["channel"] = channel;
  row["port"] = port;
  for (const char* key : {"rom", "manufacturerID", "modelNumber", "versionLetter", "versionNumber",
                          "serialNumber", "sensitivity", "sensitivityUnit", "direction", "calDate",
                          "calPeriodDays", "calDue", "overdue"}) {
    row[key] = nullptr;
  }
  row["status"] = "empty";
  row["detail"] = "";
  return row;
}

// Runs one query cycle of `master` and turns it into rows.
std::vector<ScanSensor> ScanCycle(AbstractOneWireMaster& master,
                                  const std::function<bool()>& stalled,
                                  const std::function<void()>& stop, const ordered_json& base,
                                  const ScanSettings& settings) {
  const auto recorder = std::make_shared<CycleRecorder>();
  recorder->SetStalled(stalled);
  bool ended = false;
  {
    TEDSInterface teds(master);
    teds.AddListener(recorder);
    teds.AddCycleListener(recorder);
    teds.Query();
    ended = recorder->Wait(settings);
    stop();
  }
  std::vector<ScanSensor> rows;
  for (const auto& found : recorder->TakeFound()) {
    rows.push_back({SensorRow(base, found.transducer, settings.todayDay), found.transducer,
                    found.image});
  }
  if (!rows.empty()) return rows;
  ScanSensor none{base, nullptr, {}};
  const std::string texts = recorder->Texts();
  if (!ended) {
    none.row["status"] = "failed";
    none.row["detail"] = settings.cancel && settings.cancel->load()
                             ? "the scan was stopped"
                             : "no answer within " + std::to_string(int(settings.timeoutS)) + " s";
  } else if (!texts.empty()) {
    none.row["status"] = "failed";
    none.row["detail"] = texts;
  }
  rows.push_back(none);
  return rows;
}

}  // namespace

ordered_json SensorRow(const ordered_json& base, const ordered_json& transducer,
                       int64_t todayDay) {
  ordered_json row = base;
  row["rom"] = transducer.value("id", "");
  const ordered_json& basic = transducer["basicTeds"];
  for (const char* key :
       {"manufacturerID", "modelNumber", "versionLetter", "versionNumber", "serialNumber"}) {
    row[key] = basic.contains(key) ? basic[key] : ordered_json(nullptr);
  }
  row["status"] = "ok";
  row["detail"] = "";
  const ordered_json& templates = transducer["templates"];
  if (templates.is_array() && !templates.empty()) {
    const ordered_json& t = templates[0];
    row["sensitivity"] = t["sensRef"];
    row["sensitivityUnit"] = t["sensRef"].is_null() ? ordered_json(nullptr) : "V/(m/s^2)";
    row["direction"] = t["directionText"];
    const int64_t calDate = t["calDate"].get<int64_t>();
    const int64_t period = t["calPeriod"].get<int64_t>();
    const int64_t dueDay = orvtext::DayOf(calDate) + period;
    row["calDate"] = orvtext::DateText(calDate);
    row["calPeriodDays"] = period;
    row["calDue"] = orvtext::DateText(dueDay * 86400);
    row["overdue"] = dueDay < todayDay;
  }
  // The last template error only ends the template list; without any
  // template it is why nothing could be read.
  const ordered_json& errors = transducer["errors"];
  if (errors.is_array() && !errors.empty() && (!templates.is_array() || templates.empty())) {
    row["status"] = "parse error";
    row["detail"] = errors.back();
  }
  return row;
}

std::vector<ScanSensor> ScanDeviceChannel(const std::string& device, unsigned int address,
                                          unsigned int channel, const ScanSettings& settings,
                                          const ScanProgress& progress) {
  const std::string where =
      device + "/" + std::to_string(address) + "/" + std::to_string(channel);
  const ordered_json base = BaseRow(where, device, address, channel, nullptr);
  std::wstring name;
  orvtext::Utf8ToWide(device, name);
  const auto observer =
      std::make_shared<PauseObserver>(name, address, where, settings.pollMs, progress);
  orvane::AddTrafficObserver(observer);
  ZorelOneWireMaster master(name, address, channel, ZorelDAQTEDSMode(1),
                            std::chrono::milliseconds(settings.pollMs));
  ZorelOneWireMaster* const link = &master;
  std::vector<ScanSensor> rows = ScanCycle(
      master, [link] { return link->HandshakeRefused(); },
      [link] {
        link->Enable(false);
        link->Shutdown();
      },
      base, settings);
  orvane::RemoveTrafficObserver(observer);
  return rows;
}

std::vector<ScanSensor> ScanSerialPort(const std::string& port, const ScanSettings& settings,
                                       const ScanProgress& progress) {
  const ordered_json base = BaseRow(port, nullptr, nullptr, nullptr, port);
  if (progress) progress(port + ": starting the DS2480B adapter");
  DS2480BOneWireMaster master(port);
  return ScanCycle(
      master, [&master] { return master.StartFailed(); },
      [&master] {
        master.Enable(false);
        master.Shutdown();
      },
      base, settings);
}

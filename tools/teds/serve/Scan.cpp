#include "tools/teds/serve/Scan.h"

#include <memory>
#include <mutex>

#include "orvane/OrvaneBackend.h"
#include "teds/TEDSTransducer.h"
#include "text/Utf8.h"
#include "tools/teds/JsonOutput.h"
#include "tools/teds/SimBench.h"

using nlohmann::ordered_json;

namespace {

// The relay's pauses and answers on the devices scanned, as progress lines
// naming the channel: most of a scan is these pauses.
class PauseObserver : public orvane::TrafficObserver {
 public:
  PauseObserver(const std::vector<ScanPlace>& places, unsigned int pollMs, ScanProgress progress)
      : places(places), pollMs(pollMs), progress(std::move(progress)) {}

  void Observe(const orvane::TrafficEvent& event) override {
    if (event.kind != orvane::TrafficKind::TEDSRead) return;
    if (event.response && event.bytes.empty()) return;
    const std::string device = orvtext::WideToUtf8(event.device);
    for (const ScanPlace& place : places) {
      if (!place.device || *place.device != device || *place.address != event.address ||
          !(event.channelMask & (1u << *place.channel))) {
        continue;
      }
      progress(place.where + (event.response ? ": answer received (" +
                                                   std::to_string(event.bytes.size()) + " bytes)"
                                             : ": waiting for the relay's answer (" +
                                                   std::to_string(pollMs) + " ms pause)"));
    }
  }

 private:
  const std::vector<ScanPlace>& places;
  const unsigned int pollMs;
  const ScanProgress progress;
};

// The transducer of `result` that `row` reports, if any.
const TEDSTransducer* TransducerOf(const ScanRow& row, const TEDSScan::Result& result) {
  if (!row.rom) return nullptr;
  for (const TEDSScan::Found& found : result.transducers) {
    if (found.transducer && found.transducer->GetId() == *row.rom) return found.transducer.get();
  }
  return nullptr;
}

}  // namespace

std::vector<ScanSensor> ScanTargets(TEDSScan& scan, const ScanPlan& plan, double timeoutS,
                                    unsigned int pollMs, int64_t today,
                                    const ScanProgress& progress) {
  // One progress line at a time, from the queries' threads and the device
  // library's callback thread alike.
  auto mutex = std::make_shared<std::mutex>();
  const ScanProgress note = [mutex, progress](const std::string& line) {
    std::lock_guard<std::mutex> guard(*mutex);
    progress(line);
  };
  TrafficObserving pauses(std::make_shared<PauseObserver>(plan.places, pollMs, note));
  const std::vector<TEDSScan::Result> results =
      scan.Run(plan.targets, std::chrono::duration<double>(timeoutS),
               ProgressByLine(plan.places, note));
  std::vector<ScanSensor> sensors;
  for (std::size_t i = 0; i < results.size(); ++i) {
    for (const ScanRow& row : ScanRows(plan.places[i], results[i], timeoutS)) {
      ScanSensor sensor{ScanRowJson(row, today), nullptr, {}};
      if (const TEDSTransducer* transducer = TransducerOf(row, results[i])) {
        sensor.transducer = TransducerJson(*transducer);
        sensor.image = transducer->GetImage();
      }
      sensors.push_back(sensor);
    }
  }
  return sensors;
}

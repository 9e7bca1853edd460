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

// The traffic to the channels scanned, as progress lines naming the
// channel (the handshake, the transfers, the relay's answer pauses: most of a
// scan is these pauses), worded as `teds query` notes it.
class TrafficLines : public orvane::TrafficObserver {
 public:
  TrafficLines(const std::vector<ScanPlace>& places, unsigned int pollMs, ScanProgress progress)
      : places(places), phases(places.size(), "relay"), pollMs(pollMs),
        progress(std::move(progress)) {}

  // On the device library's callback thread only.
  void Observe(const orvane::TrafficEvent& event) override {
    const std::string device = orvtext::WideToUtf8(event.device);
    for (std::size_t i = 0; i < places.size(); ++i) {
      const ScanPlace& place = places[i];
      if (!place.device || *place.device != device || *place.address != event.address ||
          !(event.channelMask & (1u << *place.channel))) {
        continue;
      }
      const std::string note = TrafficNote(event, pollMs, phases[i]);
      if (!note.empty()) progress(place.where + ": " + note);
    }
  }

 private:
  const std::vector<ScanPlace>& places;
  std::vector<std::string> phases;  // what each channel's last transfer was for
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
  TrafficObserving traffic(std::make_shared<TrafficLines>(plan.places, pollMs, note));
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

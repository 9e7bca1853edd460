#include "testing/QueryHost.h"

#include "teds/TEDSTransducer.h"
#include "testing/Roms.h"

namespace orvtest {

namespace {

// The report's first line names the transducer: "Transducer:[..]".
std::string Identity(const TEDSTransducer& transducer) {
  const std::string report = transducer.Print();
  return report.substr(11, report.find('\n') - 11);
}

// Gathers a run's reports (TEDSQuery calls it under its lock).
class Recorder : public TEDSQuery::Listener {
 public:
  explicit Recorder(QueryRecord& record) : record(record) {}
  void TransducerFound(const TEDSTransducer& transducer) override {
    record.transducers.push_back(Identity(transducer));
  }
  void Text(const std::string& text) override { record.texts.push_back(text); }

 private:
  QueryRecord& record;
};

}  // namespace

QueryRecord RunQuery(QueryMaster master, std::chrono::milliseconds timeout) {
  QueryRecord record;
  Recorder recorder(record);
  TEDSQuery query(std::move(master));
  const TEDSQuery::Result run = query.Run(timeout, &recorder);
  record.outcome = run.outcome;
  record.reported = run.transducers;
  return record;
}

void QueryHost::Enter(Call call) {
  std::size_t index;
  {
    std::lock_guard<std::mutex> guard(mutex);
    index = calls++;
  }
  if (hook) hook(call, index);
}

void QueryHost::TransducerFound(const TEDSTransducer& transducer) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    transducers.push_back(Identity(transducer));
  }
  Enter(Call::TransducerFound);
}

void QueryHost::Error(const std::string& message) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    texts.push_back(message);
  }
  Enter(Call::Error);
}

void QueryHost::CycleEnded(std::size_t) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    ++cycles;
    changed.notify_all();
  }
  Enter(Call::CycleEnded);
}

bool QueryHost::WaitCycles(std::size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(mutex);
  return changed.wait_for(guard, timeout, [&] { return cycles >= count; });
}

std::size_t QueryHost::Cycles() {
  std::lock_guard<std::mutex> guard(mutex);
  return cycles;
}

std::vector<std::string> QueryHost::Transducers() {
  std::lock_guard<std::mutex> guard(mutex);
  return transducers;
}

std::vector<std::string> QueryHost::Texts() {
  std::lock_guard<std::mutex> guard(mutex);
  return texts;
}

simdevice::Bench SensorBench(const std::vector<unsigned>& channels) {
  const simdevice::Bench builtIn = simdevice::DefaultBench();
  simdevice::Bench bench = builtIn;
  bench.channels.clear();
  for (unsigned channel : channels) {
    simdevice::ChannelConfig config = builtIn.channels.at(0);
    config.channel = channel;
    const AbstractOneWireMaster::Device rom = MakeRom(0x14, static_cast<uint8_t>(channel + 1));
    std::copy(rom.begin(), rom.end(), config.devices.at(0).rom.begin());
    bench.channels.push_back(config);
  }
  return bench;
}

std::string SensorRomText(unsigned channel) {
  return MakeRom(0x14, static_cast<uint8_t>(channel + 1)).ToString();
}

}  // namespace orvtest

#include "tools/teds/serve/Targets.h"

#include <fstream>
#include <sstream>

#include "tools/teds/SimBench.h"
#include "text/Utf8.h"
#include "tools/teds/BenchSave.h"

struct ServeTargets::Bench {
  std::string path;  // empty: the built-in bench
  std::string text;  // the bench file as the parts hold it now
  simdevice::Bench model;
  std::string name;  // the device's name, UTF-8
  SimBench sim;  // the simulated device, attached while the server runs

  std::string Where(unsigned int channel) const {
    return name + "/" + std::to_string(model.address) + "/" + std::to_string(channel);
  }
  std::string DeviceKey() const { return name + "/" + std::to_string(model.address); }
};

ServeTargets::ServeTargets() = default;

ServeTargets::~ServeTargets() = default;

namespace {

// The TEDS mode the served channels are read and written in, as `teds query`
// and `teds write` use by default.
constexpr unsigned int kTedsMode = 1;

}  // namespace

bool ServeTargets::Open(const ServeTargetOptions& given, std::ostream& err) {
  options = given;
  std::vector<std::string> paths = options.benchPaths;
  if (paths.empty() && options.serialPorts.empty()) paths.push_back(std::string());
  for (const std::string& path : paths) {
    auto bench = std::make_unique<Bench>();
    bench->path = path;
    const std::string source = path.empty() ? "built-in bench" : path;
    if (!LoadBenchText(path, "teds serve", bench->text, bench->model, err)) return false;
    bench->name = orvtext::WideToUtf8(bench->model.name);
    bench->sim.Use(bench->model);
    if (!bench->sim.Attach()) {
      err << "teds serve: " << source << ": device " << bench->DeviceKey()
          << " is served already by another bench\n";
      return false;
    }
    benches.push_back(std::move(bench));
  }
  return true;
}

std::vector<ScanSensor> ServeTargets::Scan(const ScanProgress& progress) {
  ScanPlan plan;
  std::vector<std::string> devices;
  for (const auto& bench : benches) {
    devices.push_back(bench->DeviceKey());
    std::vector<unsigned> channels;
    for (const auto& channel : bench->model.channels) channels.push_back(channel.channel);
    AddDeviceTargets(bench->model.name, bench->model.address, channels, kTedsMode, options.pollMs,
                     plan);
  }
  for (const std::string& port : options.serialPorts) {
    devices.push_back(port);
    AddPortTarget(port, 0, nullptr, plan);
  }
  // A write under way has its bus; the scan waits for it, and a write that
  // comes during the scan is refused.
  for (const std::string& device : devices) Hold(device, "a scan of " + device + " is running");
  std::vector<ScanSensor> rows;
  try {
    rows = ScanTargets(scanner, plan, options.timeoutS, options.pollMs, options.todayDay,
                       progress);
  } catch (...) {
    for (const std::string& device : devices) Release(device);
    throw;
  }
  for (const std::string& device : devices) Release(device);
  return rows;
}

void ServeTargets::StopScan() { scanner.Stop(); }

bool ServeTargets::Locate(const std::string& where, Place& place) const {
  for (const auto& bench : benches) {
    for (const auto& channel : bench->model.channels) {
      if (bench->Where(channel.channel) == where) {
        place.bench = bench.get();
        place.channel = channel.channel;
        return true;
      }
    }
  }
  for (const std::string& port : options.serialPorts) {
    if (port == where) {
      place.port = port;
      return true;
    }
  }
  return false;
}

std::string ServeTargets::DeviceOf(const std::string& where) const {
  Place place;
  if (!Locate(where, place)) return std::string();
  return place.bench ? place.bench->DeviceKey() : place.port;
}

bool ServeTargets::TryHold(const std::string& device, const std::string& what, std::string& busy) {
  std::lock_guard<std::mutex> guard(mutex);
  const auto holder = holders.find(device);
  if (holder != holders.end()) {
    busy = holder->second;
    return false;
  }
  holders[device] = what;
  return true;
}

void ServeTargets::Hold(const std::string& device, const std::string& what) {
  std::unique_lock<std::mutex> guard(mutex);
  released.wait(guard, [&] { return holders.count(device) == 0; });
  holders[device] = what;
}

void ServeTargets::Release(const std::string& device) {
  std::lock_guard<std::mutex> guard(mutex);
  holders.erase(device);
  released.notify_all();
}

bool ServeTargets::SaveBench(Bench& bench, std::string& problem) {
  std::string text;
  {
    std::lock_guard<std::mutex> guard(mutex);
    bench.text = ::SaveBench(bench.text, bench.sim.Device());
    text = bench.text;
  }
  if (options.saveBenchPath.empty()) return true;
  std::ofstream file(options.saveBenchPath, std::ios::binary | std::ios::trunc);
  if (file) file << text;
  if (file.flush()) return true;
  problem = "teds write: the part was written, but the bench was not saved: " +
            options.saveBenchPath + " cannot be written";
  return false;
}

WriteOutcome ServeTargets::Write(const std::string& where, WriteOptions write) {
  WriteOutcome outcome;
  Place place;
  if (!Locate(where, place)) {
    outcome.status = TEDS_EXIT_BAD_INPUT;
    outcome.messages = "teds serve: " + where + " is none of the served channels and ports\n";
    return outcome;
  }
  write.pollMs = options.pollMs;
  write.timeoutS = options.timeoutS;
  write.quiet = true;
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  TedsStreams streams{in, out, err, false};
  if (place.bench) {
    std::wstring name;
    orvtext::Utf8ToWide(place.bench->name, name);
    outcome.status = RunAttachedDeviceWrite(write, name, place.bench->model.address,
                                            place.channel, streams);
    // Saved whatever the outcome, as `teds write` does: the bench then holds
    // what the parts hold.
    std::string problem;
    if (outcome.status != TEDS_EXIT_BAD_INPUT && !SaveBench(*place.bench, problem)) {
      err << problem << '\n';
      if (outcome.status == TEDS_EXIT_OK) outcome.status = TEDS_EXIT_BENCH_NOT_SAVED;
    }
  } else {
    write.serialPort = place.port;
    outcome.status = RunWrite(write, streams);
  }
  outcome.report = out.str();
  outcome.messages = err.str();
  return outcome;
}

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capi/CError.h"
#include "capi/orvane_teds.h"
#include "onewire/DS2430AWriter.h"
#include "serial/DS2480BOneWireMaster.h"

// Writing one DS2430A through a serial adapter: the master comes up, the
// search finds the part, and the writer runs on the master's thread while
// the calling thread waits for its report.

namespace {

// The DS2430A programs for about 10 ms after a copy.
constexpr std::chrono::milliseconds kProgrammingPause{12};

class WriteHost : public AbstractOneWireMaster::Listener,
                  public DS2430AWriter::Listener,
                  public std::enable_shared_from_this<WriteHost> {
 public:
  WriteHost(DS2480BOneWireMaster& master, const AbstractOneWireMaster::Device& rom,
            std::vector<uint8_t> application, std::vector<uint8_t> memory, bool lock)
      : master(master),
        rom(rom),
        application(std::move(application)),
        memory(std::move(memory)),
        lock(lock) {}

  void Ready() override {
    if (searching) return;
    searching = true;
    master.Discover(std::make_shared<SearchListener>(shared_from_this()));
  }
  // A master that cannot start waits for ever; after any other bus error
  // it still becomes ready, and the search or the writer reports.
  void Error(const std::string& message) override {
    if (master.StartFailed()) End(false, message);
  }
  void WriteFinished(const DS2430AWriter::Report& report) override {
    End(report.ok, report.Text(rom));
  }

  // True when the write ended within `timeout`.
  bool Wait(std::chrono::milliseconds timeout, bool& ok, std::string& text) {
    std::unique_lock<std::mutex> guard(mutex);
    const bool done = endedCv.wait_for(guard, timeout, [this] { return ended; });
    ok = succeeded;
    text = outcome;
    return done;
  }

 private:
  class SearchListener : public AbstractOneWireMaster::DiscoveryListener {
   public:
    explicit SearchListener(std::shared_ptr<WriteHost> host) : host(std::move(host)) {}
    void Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) override {
      host->Discovered(devices);
    }
    void Error(const std::string& message) override { host->End(false, message); }

   private:
    const std::shared_ptr<WriteHost> host;
  };

  void Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) {
    if (std::find(devices.begin(), devices.end(), rom) == devices.end()) {
      std::string found;
      for (const auto& device : devices) found += (found.empty() ? "" : ", ") + device.ToString();
      End(false, "Device " + rom.ToString() +
                     " not found on the bus (found: " + (found.empty() ? "none" : found) + ")");
      return;
    }
    writer = DS2430AWriter::Create(master, rom, application, memory, lock, *this);
    writer->SetProgrammingPause([] { std::this_thread::sleep_for(kProgrammingPause); });
    writer->Start();
  }

  void End(bool ok, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex);
    if (ended) return;
    ended = true;
    succeeded = ok;
    outcome = text;
    endedCv.notify_all();
  }

  DS2480BOneWireMaster& master;
  const AbstractOneWireMaster::Device rom;
  const std::vector<uint8_t> application;
  const std::vector<uint8_t> memory;
  const bool lock;
  std::shared_ptr<DS2430AWriter> writer;
  bool searching = false;  // the master's thread only
  std::mutex mutex;
  std::condition_variable endedCv;
  bool ended = false;
  bool succeeded = false;
  std::string outcome;
};

}  // namespace

orvane_teds_status orvane_teds_write_serial(const char* port, const uint8_t* rom,
                                            const uint8_t* application, const uint8_t* memory,
                                            int lock, uint32_t timeout_ms, int* written,
                                            char* report, size_t report_size) {
  static const char kName[] = "orvane_teds_write_serial";
  return capi::Guard(kName, [&] {
    const char* problem = !port || !*port          ? "port is null or empty"
                          : !rom                   ? "rom is null"
                          : !application           ? "application is null"
                          : !memory                ? "memory is null"
                          : !written               ? "written is null"
                          : !report && report_size ? "report is null"
                          : timeout_ms == 0        ? "timeout_ms is 0"
                                                   : nullptr;
    if (problem) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(kName) + ": " + problem);
    }
    if (capi::InsideCallback()) {
      return capi::Fail(ORVANE_TEDS_BUSY, std::string(kName) +
                                              ": called from a query's callback, which it "
                                              "would wait for");
    }
    *written = 0;
    if (report_size) report[0] = '\0';
    const AbstractOneWireMaster::Device part(rom);
    bool ok = false;
    std::string text;
    bool ended = false;
    {
      DS2480BOneWireMaster master(port);
      const auto host = std::make_shared<WriteHost>(
          master, part, std::vector<uint8_t>(application, application + 8),
          std::vector<uint8_t>(memory, memory + 32), lock != 0);
      master.AddListener(host);
      master.Serialized([&master] { master.Enable(true); });
      ended = host->Wait(std::chrono::milliseconds(timeout_ms), ok, text);
      master.Enable(false);
      master.Shutdown();
    }
    if (!ended) text = "the write did not end within " + std::to_string(timeout_ms) + " ms";
    if (report_size) {
      const std::size_t count = std::min(text.size(), report_size - 1);
      std::memcpy(report, text.data(), count);
      report[count] = '\0';
    }
    *written = ended && ok ? 1 : 0;
    return ended ? ORVANE_TEDS_OK : ORVANE_TEDS_TIMEOUT;
  });
}

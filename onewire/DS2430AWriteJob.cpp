#include "onewire/DS2430AWriteJob.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "onewire/DS2430AWriter.h"

namespace {

// The DS2430A programs for about 10 ms after a copy; a little more is waited.
constexpr std::chrono::milliseconds kProgrammingPause{12};

// Brings the master up, finds the part and runs the writer, on the master's
// thread. The bus and the discovery each report failures through an Error
// of their own, so each has its own listener object.
class WriteHost : public AbstractOneWireMaster::Listener,
                  public DS2430AWriter::Listener,
                  public std::enable_shared_from_this<WriteHost> {
 public:
  WriteHost(const DS2430AWriteJob& job, const QueryMaster& master,
            const DS2430AWriteJob::Notes& notes)
      : job(job), master(*master.master), stalled(master.stalled), notes(notes) {}

  void Ready() override {
    if (searching) return;
    searching = true;
    Progress("searching the bus");
    master.Discover(std::make_shared<SearchListener>(shared_from_this()));
  }
  void Error(const std::string& message) override {
    Text(message);
    // A master that cannot start waits for ever.
    if (stalled()) End(false, message);
  }
  void WriteFinished(const DS2430AWriter::Report& report) override {
    Finish(report.ok, report.Text(job.rom));
  }

  DS2430AWriteJob::Outcome Wait(std::chrono::duration<double> timeout) {
    std::unique_lock<std::mutex> guard(mutex);
    outcome.ended = endedCv.wait_for(guard, timeout, [this] { return ended; });
    return outcome;
  }

  void Progress(const std::string& note) {
    if (!notes.progress) return;
    std::lock_guard<std::mutex> guard(mutex);
    notes.progress(note);
  }

 private:
  class SearchListener : public AbstractOneWireMaster::DiscoveryListener {
   public:
    explicit SearchListener(std::shared_ptr<WriteHost> host) : host(std::move(host)) {}
    void Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) override {
      host->Discovered(devices);
    }
    // A search that failed will not be retried: the part cannot be found.
    void Error(const std::string& message) override { host->Finish(false, message); }

   private:
    const std::shared_ptr<WriteHost> host;
  };

  void Discovered(const std::vector<AbstractOneWireMaster::Device>& devices) {
    if (std::find(devices.begin(), devices.end(), job.rom) == devices.end()) {
      std::string found;
      for (const auto& device : devices) found += (found.empty() ? "" : ", ") + device.ToString();
      Finish(false, "Device " + job.rom.ToString() + " not found on the bus (found: " +
                        (found.empty() ? "none" : found) + ")");
      return;
    }
    Progress("writing " + job.rom.ToString() + (job.lock ? " and locking it" : ""));
    writer = DS2430AWriter::Create(master, job.rom, job.application, job.memory, job.lock, *this);
    // The next block may follow a copy as soon as its answer is fetched: the
    // bus must stay idle while the part programs.
    writer->SetProgrammingPause([] { std::this_thread::sleep_for(kProgrammingPause); });
    writer->Start();
  }

  // A text for the host, unless the write has ended.
  void Text(const std::string& text) {
    if (!notes.text) return;
    std::lock_guard<std::mutex> guard(mutex);
    if (!ended) notes.text(text);
  }
  // Ends the write with `text`, which the host hears first.
  void Finish(bool ok, const std::string& text) {
    Text(text);
    End(ok, text);
  }
  void End(bool ok, const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex);
    if (ended) return;
    ended = true;
    outcome.ok = ok;
    outcome.text = text;
    endedCv.notify_all();
  }

  const DS2430AWriteJob job;
  AbstractOneWireMaster& master;
  const std::function<bool()> stalled;
  const DS2430AWriteJob::Notes notes;
  std::shared_ptr<DS2430AWriter> writer;
  bool searching = false;  // the master's thread only
  std::mutex mutex;
  std::condition_variable endedCv;
  bool ended = false;
  DS2430AWriteJob::Outcome outcome;
};

}  // namespace

DS2430AWriteJob::Outcome DS2430AWriteJob::Run(QueryMaster master,
                                              std::chrono::duration<double> timeout,
                                              const Notes& notes) const {
  const auto host = std::make_shared<WriteHost>(*this, master, notes);
  AbstractOneWireMaster* const bus = master.master.get();
  bus->AddListener(host);
  host->Progress("enabling the TEDS channel");
  bus->Serialized([bus] { bus->Enable(true); });
  const Outcome outcome = host->Wait(timeout);
  bus->Enable(false);
  master.shutdown();
  return outcome;
}

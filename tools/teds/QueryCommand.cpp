#include "tools/teds/QueryCommand.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <sstream>
#include <stdexcept>

#include "devicelink/ZorelOneWireMaster.h"
#include "orvane/OrvaneBackend.h"
#include "relay/RelayProtocol.h"
#include "simdevice/Bench.h"
#include "simdevice/SimDevice.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSTransducer.h"
#include "text/HexText.h"
#include "text/Utf8.h"
#include "tools/teds/JsonOutput.h"
#include "tools/teds/QueryHost.h"
#include "tools/teds/SerialCommand.h"

namespace {

const char kQueryFooter[] =
    "The device is reached through the device library; with this build's\n"
    "stand-in that is the simulated device of a bench file (JSON, see the README),\n"
    "or of the built-in bench: device SIM-DAQ at address 1 with one DS2430A\n"
    "accelerometer on channel 0.\n"
    "\n"
    "Standard output gets exactly what the host listener receives, in order: each\n"
    "text, and each transducer's report followed by its template errors. Progress\n"
    "goes to standard error unless --quiet.\n"
    "\n"
    "Examples:\n"
    "  teds query --poll-ms 0\n"
    "  teds query --bench bench.json --channel 2 --timeout-s 20\n"
    "  teds query --search-passes max   (fewer round trips for many sensors)\n"
    "  teds query --serial /dev/ttyUSB0\n"
    "\n"
    "With --json, one JSON document (tools/schema/teds.schema.json) once the\n"
    "query has ended, in place of the texts, with the same exit status.\n"
    "\n"
    "Exit status: 0 a transducer was reported, 1 the query ended without one,\n"
    "2 bad arguments or bench, 3 the query did not end within the time-out,\n"
    "4 standard output could not be written.";

// "max" or a number from 1: search passes per transfer; false otherwise.
bool ParseSearchPasses(const std::string& text, unsigned& passes) {
  if (text == "max") {
    passes = RemoteOneWireMaster::SEARCH_PASSES_MOST;
    return true;
  }
  if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  passes = static_cast<unsigned>(std::stoul(text));
  return passes >= 1;
}

// The longest time-out the tool waits: the clock cannot hold much more than a
// few hundred years, and nobody waits longer than a year for one query.
constexpr double kMaxTimeoutS = 365.0 * 24 * 3600;

// Gathers what the host listener receives into the JSON document.
class JsonRecorder : public TEDSInterface::Listener {
 public:
  void TransducerFound(const TEDSTransducer& transducer) override {
    std::lock_guard<std::mutex> guard(mutex);
    document.AddTransducer(transducer);
  }
  void Error(const std::string& message) override {
    std::lock_guard<std::mutex> guard(mutex);
    document.AddQueryText(message);
  }
  std::string Dump(int exitCode, bool timedOut) {
    std::lock_guard<std::mutex> guard(mutex);
    return document.Dump(exitCode, timedOut);
  }

 private:
  std::mutex mutex;
  JsonDocument document{"query"};
};

// Progress notes from the device library's traffic: the phase, each transfer
// sent to the relay and the wait for its answer.
class Progress : public orvane::TrafficObserver {
 public:
  Progress(std::ostream& err, const std::wstring& device, unsigned int address,
           unsigned int pollMs)
      : err(err), device(device), address(address), pollMs(pollMs) {}

  void Observe(const orvane::TrafficEvent& event) override {
    if (event.device != device || event.address != address) return;
    const std::string note = Describe(event);
    if (note.empty()) return;
    std::lock_guard<std::mutex> guard(mutex);
    err << "teds: " << note << '\n';
    err.flush();
  }

 private:
  std::string Describe(const orvane::TrafficEvent& event) {
    std::ostringstream note;
    const char* outcome = event.success ? "done" : "refused";
    switch (event.kind) {
      case orvane::TrafficKind::ServiceMode:
        note << "handshake: service operating mode " << unsigned(event.mode);
        if (event.response) note << ' ' << outcome;
        else note << " requested";
        break;
      case orvane::TrafficKind::TEDSSetMode:
        note << "handshake: TEDS mode ";
        if (event.response) note << outcome;
        else note << unsigned(event.mode) << " requested for channel mask 0x"
                  << orvtext::HexByte(event.channelMask);
        break;
      case orvane::TrafficKind::TEDSWrite:
        if (event.response) {
          if (event.success) return std::string();
          note << phase << ": the device refused the write";
          break;
        }
        if (RelayProtocol::IsPollBlock(event.bytes)) {
          note << phase << ": polling the relay again";
        } else {
          phase = PhaseOf(event.bytes);
          note << phase << ": transfer sent (" << event.bytes.size() << " bytes)";
        }
        break;
      case orvane::TrafficKind::TEDSRead:
        if (!event.response) {
          note << phase << ": waiting for the relay's answer (" << pollMs << " ms pause)";
        } else if (!event.success) {
          note << phase << ": the device refused the read";
        } else if (event.bytes.empty()) {
          note << phase << ": the relay has no answer yet";
        } else {
          note << phase << ": answer received (" << event.bytes.size() << " bytes)";
        }
        break;
      default:
        return std::string();
    }
    return note.str();
  }

  // The relay command that opens a block tells what the block is for.
  static const char* PhaseOf(const std::vector<uint8_t>& block) {
    if (block.empty()) return "relay";
    switch (block[0]) {
      case RelayProtocol::CMD_RESET: return "configuration";
      case RelayProtocol::CMD_DATA_SEARCH_STATE:
      case RelayProtocol::CMD_ML_RESET: return "search";
      case RelayProtocol::CMD_DATA_ID: return "reading";
      default: return "relay";
    }
  }

  std::ostream& err;
  const std::wstring device;
  const unsigned int address;
  const unsigned int pollMs;
  std::mutex mutex;
  std::string phase = "relay";
};

// Keeps a traffic observer registered for its own lifetime.
class ObserverRegistration {
 public:
  explicit ObserverRegistration(std::shared_ptr<orvane::TrafficObserver> observer)
      : observer(std::move(observer)) {
    if (this->observer) orvane::AddTrafficObserver(this->observer);
  }
  ~ObserverRegistration() {
    if (observer) orvane::RemoveTrafficObserver(observer);
  }
  ObserverRegistration(const ObserverRegistration&) = delete;
  ObserverRegistration& operator=(const ObserverRegistration&) = delete;

 private:
  std::shared_ptr<orvane::TrafficObserver> observer;
};

bool LoadQueryBench(const QueryOptions& options, simdevice::Bench& bench, std::ostream& err) {
  if (options.haveBench && options.benchPath.empty()) {
    err << "teds query: --bench: no file name given (leave out --bench for the built-in bench)\n";
    return false;
  }
  try {
    std::vector<std::string> warnings;
    bench = options.haveBench ? simdevice::LoadBench(options.benchPath, &warnings)
                              : simdevice::DefaultBench();
    for (const std::string& warning : warnings) err << "teds query: warning: " << warning << '\n';
    return true;
  } catch (const std::exception& e) {
    err << "teds query: " << e.what() << '\n';
    return false;
  }
}

// Checks the arguments that the bench does not supply and fills in the
// device name. False, with a message, for a value the query cannot use.
bool CheckArguments(const QueryOptions& options, std::wstring& device, unsigned& searchPasses,
                    std::ostream& err) {
  if (options.haveDevice) {
    if (options.device.empty()) {
      err << "teds query: --device: the name must not be empty\n";
      return false;
    }
    if (!orvtext::Utf8ToWide(options.device, device)) {
      err << "teds query: --device: the name is not valid UTF-8\n";
      return false;
    }
  }
  if (options.mode > 255) {
    err << "teds query: --mode " << options.mode << " is not a TEDS mode (0 to 255)\n";
    return false;
  }
  if (!(options.timeoutS > 0)) {
    err << "teds query: --timeout-s must be greater than 0\n";
    return false;
  }
  if (!(options.timeoutS <= kMaxTimeoutS)) {
    err << "teds query: --timeout-s " << options.timeoutS
        << " is longer than the tool waits (at most "
        << static_cast<long long>(kMaxTimeoutS) << " s, one year)\n";
    return false;
  }
  if (!ParseSearchPasses(options.searchPasses, searchPasses)) {
    err << "teds query: --search-passes " << options.searchPasses
        << " is neither a number from 1 to 999 nor max\n";
    return false;
  }
  return true;
}

}  // namespace

int RunQuery(const QueryOptions& options, TedsStreams& streams) {
  if (!options.serialPort.empty()) return RunSerialQuery(options, streams);
  simdevice::Bench bench;
  if (!LoadQueryBench(options, bench, streams.err)) return TEDS_EXIT_BAD_INPUT;
  std::wstring device = bench.name;
  unsigned searchPasses = 0;
  if (!CheckArguments(options, device, searchPasses, streams.err)) return TEDS_EXIT_BAD_INPUT;
  const unsigned int address = options.haveAddress ? options.address : bench.address;
  unsigned int channel = options.haveChannel ? options.channel : 0;
  if (!options.haveChannel && !bench.channels.empty()) channel = bench.channels[0].channel;

  simdevice::SimAttachment sim(simdevice::SimDevice::Create(bench));
  ObserverRegistration progress(
      options.quiet ? nullptr
                    : std::make_shared<Progress>(streams.err, device, address, options.pollMs));

  std::unique_ptr<ZorelOneWireMaster> master;
  try {
    master = std::make_unique<ZorelOneWireMaster>(
        device, address, channel, ZorelDAQTEDSMode(static_cast<uint8_t>(options.mode)),
        std::chrono::milliseconds(options.pollMs));
  } catch (const std::invalid_argument& e) {
    streams.err << "teds query: " << e.what() << '\n';
    return TEDS_EXIT_BAD_INPUT;
  }
  master->SetSearchPasses(searchPasses);

  if (!options.quiet) streams.err << "teds: handshake: enabling the TEDS channel\n";
  ZorelOneWireMaster* const link = master.get();
  const int status = RunQueryCycle(
      *master, [link] { return link->HandshakeRefused(); },
      [link] {
        // Let the device go back to its normal mode, then stop all traffic
        // into the master before the interface it reports to goes away.
        link->Enable(false);
        link->Shutdown();
      },
      options, streams);
  master.reset();
  return status;
}

int RunQueryCycle(AbstractOneWireMaster& master, const std::function<bool()>& stalled,
                  const std::function<void()>& stop, const QueryOptions& options,
                  TedsStreams& streams) {
  // With --json the texts go into the document only.
  std::ostringstream textsInJson;
  const auto host = std::make_shared<QueryHost>(options.json ? textsInJson : streams.out);
  const auto recorder = options.json ? std::make_shared<JsonRecorder>() : nullptr;
  host->SetStalled(stalled);
  std::size_t reported = 0;
  bool ended = false;
  {
    TEDSInterface teds(master);
    if (recorder) teds.AddListener(recorder);
    teds.AddListener(host);
    teds.AddCycleListener(host);
    teds.Query();
    ended = host->Wait(std::chrono::duration<double>(options.timeoutS), reported);
    stop();
  }
  const int status =
      !ended ? TEDS_EXIT_TIMEOUT : reported > 0 ? TEDS_EXIT_OK : TEDS_EXIT_PARSE_ERROR;
  if (recorder) {
    streams.out << recorder->Dump(status, !ended);
    streams.out.flush();
  }
  if (!ended) {
    streams.err << "teds query: no answer: the query did not end within " << options.timeoutS
                << " s\n";
  }
  return status;
}

void AddBenchCommand(CLI::App& app, TedsStreams& streams, int& status) {
  CLI::App* bench = app.add_subcommand(
      "bench", "Print the built-in bench file, a starting point for benches of your own");
  bench->callback([&streams, &status]() {
    streams.out << simdevice::DefaultBenchJson();
    if (simdevice::DefaultBenchJson().back() != '\n') streams.out << '\n';
    status = TEDS_EXIT_OK;
  });
}

void AddQueryCommand(CLI::App& app, TedsStreams& streams, int& status) {
  auto options = std::make_shared<QueryOptions>();
  CLI::App* query = app.add_subcommand(
      "query", "Run one TEDS query against a device and print every transducer found");
  query->footer(kQueryFooter);
  CLI::Option* bench =
      query->add_option("--bench", options->benchPath, "Bench file of the simulated device (JSON)")
          ->type_name("FILE");
  CLI::Option* device =
      query->add_option("--device", options->device, "Device name (default: the bench's)")
          ->type_name("NAME");
  CLI::Option* address =
      query->add_option("--address", options->address, "Device address (default: the bench's)")
          ->type_name("N");
  CLI::Option* channel =
      query
          ->add_option("--channel", options->channel,
                       "TEDS channel 0-7 of the relay (default: the bench's first)")
          ->type_name("N");
  query->add_option("--mode", options->mode, "TEDS mode of the channel")
      ->type_name("M")
      ->capture_default_str();
  query->add_option("--poll-ms", options->pollMs, "Pause before each read of the relay's answer")
      ->type_name("N")
      ->capture_default_str();
  query->add_option("--timeout-s", options->timeoutS, "Give up after this many seconds (at most a year)")
      ->type_name("N")
      ->capture_default_str();
  query
      ->add_option("--search-passes", options->searchPasses,
                   "Search passes per transfer: a number, or max for as many as the relay's "
                   "block limits allow (fewer round trips)")
      ->type_name("N|max")
      ->capture_default_str();
  query->add_flag("--quiet", options->quiet, "No progress on standard error");
  query->add_flag("--json", options->json,
                  "Write one JSON document once the query has ended (see "
                  "tools/schema/teds.schema.json)");
  AddSerialOption(*query, *options);
  query->callback([options, bench, device, address, channel, &streams, &status]() {
    options->haveBench = bench->count() > 0;
    options->haveDevice = device->count() > 0;
    options->haveAddress = address->count() > 0;
    options->haveChannel = channel->count() > 0;
    status = RunQuery(*options, streams);
  });
}

#include "tools/teds/QueryCore.h"

#include <chrono>
#include <memory>
#include <ostream>
#include <stdexcept>

#include "devicelink/ZorelQueryMaster.h"
#include "serial/DS2480BQueryMaster.h"
#include "teds/TEDSTransducer.h"
#include "text/Utf8.h"
#include "tools/teds/JsonOutput.h"

namespace {

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
class JsonRecorder : public TEDSQuery::Listener {
 public:
  void TransducerFound(const TEDSTransducer& transducer) override {
    std::lock_guard<std::mutex> guard(mutex);
    document.AddTransducer(transducer);
  }
  void Text(const std::string& text) override {
    std::lock_guard<std::mutex> guard(mutex);
    document.AddQueryText(text);
  }
  std::string Dump(int exitCode, bool timedOut) {
    std::lock_guard<std::mutex> guard(mutex);
    return document.Dump(exitCode, timedOut);
  }

 private:
  std::mutex mutex;
  JsonDocument document{"query"};
};

}  // namespace

void ReportWriter::TransducerFound(const TEDSTransducer& transducer) {
  std::lock_guard<std::mutex> guard(mutex);
  out << transducer.Print();
  for (const std::string& error : transducer.PrintErrors()) out << error << '\n';
  out.flush();
}

void ReportWriter::Text(const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex);
  out << text;
  if (text.empty() || text.back() != '\n') out << '\n';
  out.flush();
}

bool ResolveTarget(const QueryOptions& options, const DeviceTarget& defaults,
                   DeviceTarget& target, std::ostream& err) {
  target = defaults;
  if (options.haveDevice) {
    if (options.device.empty()) {
      err << "teds query: --device: the name must not be empty\n";
      return false;
    }
    if (!orvtext::Utf8ToWide(options.device, target.device)) {
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
  if (!ParseSearchPasses(options.searchPasses, target.searchPasses)) {
    err << "teds query: --search-passes " << options.searchPasses
        << " is neither a number from 1 to 999 nor max\n";
    return false;
  }
  if (options.haveAddress) target.address = options.address;
  if (options.haveChannel) target.channel = options.channel;
  return true;
}

ZorelQuerySettings DeviceLinkSettings(const DeviceTarget& target, unsigned int mode,
                                      unsigned int pollMs) {
  ZorelQuerySettings settings;
  settings.device = target.device;
  settings.address = target.address;
  settings.channel = target.channel;
  settings.tedsMode = static_cast<uint8_t>(mode);
  settings.pollPause = std::chrono::milliseconds(pollMs);
  return settings;
}

bool MakeDeviceLinkMaster(const ZorelQuerySettings& settings, const char* who, std::ostream& err,
                          QueryMaster& master) {
  try {
    master = MakeZorelQueryMaster(settings);
    return true;
  } catch (const std::invalid_argument& e) {
    err << who << ": " << e.what() << '\n';
    return false;
  }
}

int RunDeviceLinkQuery(const QueryOptions& options, const DeviceTarget& target,
                       TedsStreams& streams) {
  ZorelQuerySettings settings = DeviceLinkSettings(target, options.mode, options.pollMs);
  settings.searchPasses = target.searchPasses;
  QueryMaster master;
  if (!MakeDeviceLinkMaster(settings, "teds query", streams.err, master)) {
    return TEDS_EXIT_BAD_INPUT;
  }
  if (!options.quiet) streams.err << "teds: handshake: enabling the TEDS channel\n";
  return RunQueryOn(std::move(master), options, streams);
}

int RunSerialQuery(const QueryOptions& options, TedsStreams& streams) {
  if (!(options.timeoutS > 0)) {
    streams.err << "teds query: --timeout-s must be greater than 0\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  const bool quiet = options.quiet;
  // A failed switch of the rate is a note: the query goes on at 9600.
  QueryMaster master = MakeDS2480BQueryMaster(
      options.serialPort, options.baud, [quiet, &streams](const std::string& note) {
        if (!quiet) streams.err << "teds: adapter: " << note << '\n';
      });
  if (!options.quiet) {
    streams.err << "teds: adapter: starting the DS2480B on " << options.serialPort;
    if (options.baud != 9600) streams.err << ", then switching to " << options.baud << " baud";
    streams.err << '\n';
  }
  return RunQueryOn(std::move(master), options, streams);
}

int RunQueryOn(QueryMaster master, const QueryOptions& options, TedsStreams& streams) {
  // With --json the texts go into the document only.
  const auto recorder = options.json ? std::make_shared<JsonRecorder>() : nullptr;
  TEDSQuery::Result run;
  {
    TEDSQuery query(std::move(master));
    if (recorder) {
      query.SetListener(recorder);
    } else {
      query.SetListener(std::make_shared<ReportWriter>(streams.out));
    }
    run = query.Run(std::chrono::duration<double>(options.timeoutS));
    query.Shutdown();
  }
  const bool ended = run.outcome == TEDSQuery::Outcome::Ended;
  const int status =
      !ended ? TEDS_EXIT_TIMEOUT : run.transducers > 0 ? TEDS_EXIT_OK : TEDS_EXIT_PARSE_ERROR;
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

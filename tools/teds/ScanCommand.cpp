#include "tools/teds/ScanCommand.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "devicelink/ZorelQueryMaster.h"
#include "serial/DS2480BQueryMaster.h"
#include "simdevice/Bench.h"
#include "teds/TEDSScan.h"
#include "teds/TEDSText.h"
#include "text/Utf8.h"
#include "tools/teds/QueryCore.h"
#include "tools/teds/ScanTable.h"

namespace {

const char kWho[] = "teds scan: ";

const char kScanFooter[] =
    "Queries every chosen channel of each device (a bench file's simulated device,\n"
    "or the built-in bench) and every --serial port at the same time, and prints\n"
    "one row per sensor: where, ROM, manufacturer ID, model, version, serial\n"
    "number, sensitivity, direction, calibration date, calibration due (date plus\n"
    "period; OVERDUE when due before today) and status (ok, bad checksum, skipped,\n"
    "parse error, empty, failed, with the reason). A channel or port without a\n"
    "sensor, or whose query failed, is a row too. Progress goes to standard error\n"
    "unless --quiet.\n"
    "\n"
    "--channels: all (0-7) or a list such as 0,2-4; default the channels the\n"
    "bench lists. With only --serial ports given, no device is scanned.\n"
    "\n"
    "Examples:\n"
    "  teds scan --poll-ms 0\n"
    "  teds scan --bench rack1.json --bench rack2.json --channels all\n"
    "  teds scan --serial /dev/ttyUSB0 --serial /dev/ttyUSB1 --csv\n"
    "\n"
    "With --json one JSON document (tools/schema/teds.schema.json), with --csv\n"
    "RFC 4180 CSV with a header line, in place of the table.\n"
    "\n"
    "Exit status: 0 at least one sensor read ok, 1 none, 2 bad arguments or\n"
    "bench, 3 a query did not end within the time-out, 4 standard output could\n"
    "not be written.";

constexpr double kMaxTimeoutS = 365.0 * 24 * 3600;

// The options of the output and the time-out.
bool CheckOptions(const ScanOptions& options, int64_t& today, std::ostream& err) {
  if (options.json && options.csv) {
    err << kWho << "--json and --csv exclude each other\n";
    return false;
  }
  if (!(options.timeoutS > 0) || !(options.timeoutS <= kMaxTimeoutS)) {
    err << kWho << "--timeout-s " << options.timeoutS << " is not between 0 and "
        << static_cast<long long>(kMaxTimeoutS) << " s (one year)\n";
    return false;
  }
  today = TodayUtc();
  if (!options.today.empty() && !ParseDay(options.today, today)) {
    err << kWho << "--today " << options.today << " is not a date YYYY-MM-DD\n";
    return false;
  }
  return true;
}

// The benches to scan (the built-in one when none is given and the scan is
// not of serial ports alone), with the device name, address and channels.
bool PlanDevices(const ScanOptions& options, ScanPlan& plan, std::ostream& err,
                 const std::string& who) {
  const bool portsOnly = !options.serialPorts.empty() && options.benches.empty() &&
                         !options.haveDevice && !options.haveAddress && !options.haveChannels;
  if (portsOnly) return true;
  if ((options.haveDevice || options.haveAddress) && options.benches.size() > 1) {
    err << who << "--device and --address name one device: give one --bench with them\n";
    return false;
  }
  std::wstring name;
  if (options.haveDevice) {
    if (options.device.empty() || !orvtext::Utf8ToWide(options.device, name)) {
      err << who << "--device: the name is empty or not valid UTF-8\n";
      return false;
    }
  }
  std::vector<unsigned> chosen;
  std::string problem;
  if (options.haveChannels && !ParseChannels(options.channels, chosen, problem)) {
    err << who << "--channels " << options.channels << ": " << problem << '\n';
    return false;
  }
  std::vector<std::string> paths = options.benches;
  if (paths.empty()) paths.push_back(std::string());  // the built-in bench
  std::set<std::pair<std::wstring, unsigned>> seen;
  // SimBench words its messages "<command>: ...".
  const std::string command = who.substr(0, who.rfind(": "));
  for (const std::string& path : paths) {
    auto sim = std::make_unique<SimBench>();
    if (!sim->Load(path.empty(), path, command.c_str(), err)) return false;
    const simdevice::Bench& bench = sim->Loaded();
    std::vector<unsigned> channels = chosen;
    if (!options.haveChannels) {
      for (const simdevice::ChannelConfig& channel : bench.channels) channels.push_back(channel.channel);
    }
    if (!seen.insert({bench.name, bench.address}).second) {
      err << who << (path.empty() ? "the built-in bench" : path) << ": device "
          << orvtext::WideToUtf8(bench.name) << " at address " << bench.address
          << " is already given by another bench\n";
      return false;
    }
    AddDeviceTargets(options.haveDevice ? name : bench.name,
                     options.haveAddress ? options.address : bench.address, channels, options.mode,
                     options.pollMs, plan);
    plan.benches.push_back(std::move(sim));
  }
  return true;
}

void AddPortTargets(const ScanOptions& options, std::ostream& err, ScanPlan& plan) {
  const std::shared_ptr<std::mutex> errMutex = plan.errMutex;
  for (const std::string& port : options.serialPorts) {
    // A failed switch of the rate is a note: the query goes on at 9600.
    std::function<void(const std::string&)> note;
    if (!options.quiet) {
      note = [port, &err, errMutex](const std::string& text) {
        std::lock_guard<std::mutex> guard(*errMutex);
        err << "teds: " << port << ": adapter: " << text << '\n';
      };
    }
    AddPortTarget(port, options.baud, note, plan);
  }
}

}  // namespace

void AddDeviceTargets(const std::wstring& device, unsigned address,
                      const std::vector<unsigned>& channels, unsigned mode, unsigned pollMs,
                      ScanPlan& plan) {
  for (unsigned channel : channels) {
    DeviceTarget target;
    target.device = device;
    target.address = address;
    target.channel = channel;
    const ZorelQuerySettings settings = DeviceLinkSettings(target, mode, pollMs);
    plan.places.push_back(ScanPlace::Channel(orvtext::WideToUtf8(device), address, channel));
    plan.targets.push_back(
        {plan.places.back().where, [settings] { return MakeZorelQueryMaster(settings); }});
  }
}

void AddPortTarget(const std::string& port, unsigned baud,
                   std::function<void(const std::string&)> note, ScanPlan& plan) {
  plan.places.push_back(ScanPlace::Port(port));
  plan.targets.push_back(
      {port, [port, baud, note] { return MakeDS2480BQueryMaster(port, baud, note); }});
}

TEDSScan::Progress ProgressByLine(const std::vector<ScanPlace>& places,
                                  std::function<void(const std::string&)> line) {
  return [&places, line](std::size_t index, const std::string& text) {
    std::istringstream lines(TEDSText::ToUtf8(text));
    for (std::string each; std::getline(lines, each);) line(places[index].where + ": " + each);
  };
}

bool ParseChannels(const std::string& text, std::vector<unsigned>& channels, std::string& problem) {
  std::set<unsigned> chosen;
  if (text == "all") {
    for (unsigned c = 0; c < 8; ++c) chosen.insert(c);
  } else {
    std::istringstream items(text);
    std::string item;
    bool any = false;
    while (std::getline(items, item, ',')) {
      any = true;
      const std::size_t dash = item.find('-');
      const std::string first = item.substr(0, dash);
      const std::string last = dash == std::string::npos ? first : item.substr(dash + 1);
      const auto digit = [](const std::string& s) { return s.size() == 1 && s[0] >= '0' && s[0] <= '7'; };
      if (!digit(first) || !digit(last) || last[0] < first[0]) {
        problem = "'" + item + "' is not a channel 0-7 or a range such as 2-4";
        return false;
      }
      for (unsigned c = unsigned(first[0] - '0'); c <= unsigned(last[0] - '0'); ++c) {
        if (!chosen.insert(c).second) {
          problem = "channel " + std::to_string(c) + " is given twice";
          return false;
        }
      }
    }
    if (!any || text.back() == ',') {
      problem = "expected all, or channels 0-7 separated by commas";
      return false;
    }
  }
  channels.assign(chosen.begin(), chosen.end());
  return true;
}

bool PlanScan(const ScanOptions& options, ScanPlan& plan, std::ostream& err,
              const std::string& who) {
  if (options.mode > 255) {
    err << who << "--mode " << options.mode << " is not a TEDS mode (0 to 255)\n";
    return false;
  }
  for (const std::string& port : options.serialPorts) {
    if (port.empty()) {
      err << who << "--serial: no port given\n";
      return false;
    }
  }
  if (!PlanDevices(options, plan, err, who)) return false;
  AddPortTargets(options, err, plan);
  if (plan.targets.empty()) {
    err << who << "nothing to scan: the bench lists no channel (try --channels all)\n";
    return false;
  }
  return true;
}

int RunScan(const ScanOptions& options, TedsStreams& streams) {
  int64_t today = 0;
  ScanPlan plan;
  if (!CheckOptions(options, today, streams.err) || !PlanScan(options, plan, streams.err)) {
    return TEDS_EXIT_BAD_INPUT;
  }
  for (const auto& bench : plan.benches) bench->Attach();
  if (!options.quiet) {
    streams.err << "teds: scanning " << plan.targets.size()
                << (plan.targets.size() == 1 ? " target" : " targets") << " at once\n";
  }
  TEDSScan::Progress progress;
  if (!options.quiet) {
    const TEDSScan::Progress lines =
        ProgressByLine(plan.places, [&streams](const std::string& line) {
          streams.err << "teds: " << line << '\n';
          streams.err.flush();
        });
    progress = [lines, &plan](std::size_t index, const std::string& text) {
      std::lock_guard<std::mutex> guard(*plan.errMutex);
      lines(index, text);
    };
  }
  TEDSScan scan;
  const std::vector<TEDSScan::Result> results =
      scan.Run(plan.targets, std::chrono::duration<double>(options.timeoutS), progress);
  plan.benches.clear();  // detached once every query has ended

  std::vector<ScanRow> rows;
  for (std::size_t i = 0; i < results.size(); ++i) {
    for (ScanRow& row : ScanRows(plan.places[i], results[i], options.timeoutS)) rows.push_back(row);
  }
  const int status = ScanExitStatus(rows, results);
  if (options.json) {
    streams.out << ScanJson(rows, today, status);
  } else if (options.csv) {
    streams.out << ScanCsv(rows, today);
  } else {
    streams.out << ScanTableText(rows, today);
  }
  if (status == 3) {
    streams.err << kWho << "a query did not end within " << options.timeoutS << " s\n";
  }
  return status;
}

void AddScanCommand(CLI::App& app, TedsStreams& streams, int& status) {
  auto options = std::make_shared<ScanOptions>();
  CLI::App* scan = app.add_subcommand(
      "scan", "Query every channel of one or more devices and serial adapters at once; one row per sensor");
  scan->footer(kScanFooter);
  scan->add_option("--bench", options->benches, "Bench file of a simulated device (repeatable)")
      ->type_name("FILE");
  CLI::Option* device =
      scan->add_option("--device", options->device, "Device name (default: the bench's)")
          ->type_name("NAME");
  CLI::Option* address =
      scan->add_option("--address", options->address, "Device address (default: the bench's)")
          ->type_name("N");
  CLI::Option* channels =
      scan->add_option("--channels", options->channels,
                       "all, or channels such as 0,2-4 (default: the bench's channels)")
          ->type_name("all|LIST");
  scan->add_option("--serial", options->serialPorts,
                   "A DS2480B serial 1-Wire adapter to scan as well (repeatable)")
      ->type_name("PORT");
  scan->add_option("--baud", options->baud,
                   "Serial rate to switch the adapters to after start-up at 9600")
      ->type_name("BAUD")
      ->check(CLI::IsMember({9600u, 19200u, 57600u, 115200u}))
      ->capture_default_str();
  scan->add_option("--mode", options->mode, "TEDS mode of the channels")
      ->type_name("M")
      ->capture_default_str();
  scan->add_option("--poll-ms", options->pollMs, "Pause before each read of a relay's answer")
      ->type_name("N")
      ->capture_default_str();
  scan->add_option("--timeout-s", options->timeoutS, "Give up on the whole scan after this many seconds")
      ->type_name("N")
      ->capture_default_str();
  scan->add_option("--today", options->today, "The day against which calibrations are overdue")
      ->type_name("YYYY-MM-DD");
  scan->add_flag("--quiet", options->quiet, "No progress on standard error");
  scan->add_flag("--json", options->json, "Write one JSON document in place of the table");
  scan->add_flag("--csv", options->csv, "Write CSV in place of the table");
  scan->callback([options, device, address, channels, &streams, &status]() {
    options->haveDevice = device->count() > 0;
    options->haveAddress = address->count() > 0;
    options->haveChannels = channels->count() > 0;
    status = RunScan(*options, streams);
  });
}

#include "tools/teds/serve/ServeCommand.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <csignal>
#include <ostream>
#include <thread>

#include "tools/teds/ScanTable.h"
#include "tools/teds/serve/Api.h"
#include "tools/teds/serve/Server.h"
#include "tools/teds/serve/Targets.h"

namespace {

const char kServeFooter[] =
    "Serves a web page for reading and writing the TEDS of the sensors of the\n"
    "benches (--bench, or the built-in bench) and of DS2480B adapters (--serial):\n"
    "the scan table, each sensor's data sheet as a form with a preview of what a\n"
    "reader will see, write and verify, the lock of the application register, and\n"
    "the decoding of a pasted image or DS2430A dump.\n"
    "\n"
    "The first line of standard output is the URL to open, with a random token\n"
    "that every API call must carry; it serves until Ctrl-C. It listens on the\n"
    "loopback address unless --listen says otherwise: any page in the browser\n"
    "can reach a local server, so requests naming another host or coming from\n"
    "another site are refused.\n"
    "\n"
    "Examples:\n"
    "  teds serve --bench bench.json --save-bench bench.json\n"
    "  teds serve --serial /dev/ttyUSB0 --port 8451\n"
    "\n"
    "Exit status: 0 stopped, 2 bad arguments or bench, or the address cannot be\n"
    "used.";

// Set by SIGINT and SIGTERM: the server stops.
std::atomic<bool> stopRequested{false};
extern "C" void RequestServeStop(int) { stopRequested = true; }

bool IsLoopback(const std::string& address) {
  return address == "127.0.0.1" || address == "::1" || address == "localhost";
}

bool Today(const std::string& text, int64_t& day, std::ostream& err) {
  day = TodayUtc();
  if (text.empty() || ParseDay(text, day)) return true;
  err << "teds serve: --today " << text << " is not a date (YYYY-MM-DD)\n";
  return false;
}

bool CheckOptions(const ServeOptions& options, std::ostream& err) {
  if (!options.saveBenchPath.empty() &&
      (options.benchPaths.size() > 1 ||
       (options.benchPaths.empty() && !options.serialPorts.empty()))) {
    err << "teds serve: --save-bench saves one bench: give it with exactly one --bench\n";
    return false;
  }
  if (options.port < 0 || options.port > 65535) {
    err << "teds serve: --port " << options.port << " is not a port (0 to 65535, 0 any free one)\n";
    return false;
  }
  if (!(options.timeoutS > 0)) {
    err << "teds serve: --timeout-s must be greater than 0\n";
    return false;
  }
  return true;
}

std::string UrlHost(const std::string& listen) {
  if (listen == "0.0.0.0" || listen == "::") return "127.0.0.1";
  return listen.find(':') != std::string::npos ? "[" + listen + "]" : listen;
}

}  // namespace

int RunServe(const ServeOptions& options, TedsStreams& streams, const std::atomic<bool>& stop) {
  ServeTargetOptions targetOptions;
  if (!CheckOptions(options, streams.err) ||
      !Today(options.today, targetOptions.todayDay, streams.err)) {
    return TEDS_EXIT_BAD_INPUT;
  }
  targetOptions.benchPaths = options.benchPaths;
  targetOptions.serialPorts = options.serialPorts;
  targetOptions.saveBenchPath = options.saveBenchPath;
  targetOptions.pollMs = options.pollMs;
  targetOptions.timeoutS = options.timeoutS;
  ServeTargets targets;
  if (!targets.Open(targetOptions, streams.err)) return TEDS_EXIT_BAD_INPUT;

  ServeApi api(targets, targetOptions.todayDay);
  const std::string token = MakeServeToken();
  WebServer web(api, options.listen, token);
  const int port = web.Bind(options.port);
  if (port < 0) {
    streams.err << "teds serve: cannot listen on " << options.listen << " port " << options.port
                << " (in use, or not an address of this machine)\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  streams.out << "http://" << UrlHost(options.listen) << ':' << port << "/?token=" << token
              << '\n';
  streams.out.flush();
  if (!IsLoopback(options.listen)) {
    streams.err << "teds serve: warning: listening on " << options.listen
                << ": other machines can reach this server; anyone who has the URL with its "
                   "token can write the sensors\n";
  }
  streams.err << "teds serve: open the URL above in a browser; stop with Ctrl-C\n";
  streams.err.flush();

  std::thread serving([&web] { web.Serve(); });
  while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  web.Stop();
  serving.join();
  api.Stop();
  return TEDS_EXIT_OK;
}

void AddServeCommand(CLI::App& app, TedsStreams& streams, int& status) {
  auto options = std::make_shared<ServeOptions>();
  CLI::App* serve = app.add_subcommand("serve", "The TEDS editor in the browser: a local web page");
  serve->footer(kServeFooter);
  serve->add_option("--bench", options->benchPaths, "Bench file of a simulated device (repeatable)")
      ->type_name("FILE");
  serve
      ->add_option("--serial", options->serialPorts,
                   "A DS2480B serial 1-Wire adapter on this port (repeatable)")
      ->type_name("PORT");
  serve->add_option("--save-bench", options->saveBenchPath,
                    "Save the bench here after each write (one --bench)")
      ->type_name("FILE");
  serve->add_option("--listen", options->listen, "Address to listen on")
      ->type_name("ADDR")
      ->capture_default_str();
  serve->add_option("--port", options->port, "Port to listen on, 0 for any free one")
      ->type_name("N")
      ->capture_default_str();
  serve->add_option("--poll-ms", options->pollMs, "Pause before each read of the relay's answer")
      ->type_name("N")
      ->capture_default_str();
  serve->add_option("--timeout-s", options->timeoutS, "Give up a channel's scan or a write after this many seconds")
      ->type_name("N")
      ->capture_default_str();
  serve->add_option("--today", options->today, "The date calibrations are due against")
      ->type_name("YYYY-MM-DD");
  serve->callback([options, &streams, &status]() {
    stopRequested = false;
    std::signal(SIGINT, RequestServeStop);
    std::signal(SIGTERM, RequestServeStop);
    status = RunServe(*options, streams, stopRequested);
  });
}

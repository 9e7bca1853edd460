#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}

// `teds serve`: the TEDS editor in the browser, a local web application.
struct ServeOptions {
  std::vector<std::string> benchPaths;
  std::vector<std::string> serialPorts;
  std::string saveBenchPath;
  std::string listen = "127.0.0.1";
  int port = 0;  // 0: any free port
  unsigned int pollMs = 1000;
  double timeoutS = 60;
  std::string today;  // YYYY-MM-DD; empty: the system's date
};

// Prints the URL (with its token) as the first line of `streams.out`, then
// serves until `stop` is set. Returns TEDS_EXIT_BAD_INPUT with a message for
// bad options or benches and when the address cannot be bound.
int RunServe(const ServeOptions& options, TedsStreams& streams, const std::atomic<bool>& stop);

void AddServeCommand(CLI::App& app, TedsStreams& streams, int& status);

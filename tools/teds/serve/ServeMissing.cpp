#include <CLI/CLI.hpp>
#include <ostream>

#include "tools/teds/serve/ServeCommand.h"

// This build has no HTTP library: the command is there, and says so.
void AddServeCommand(CLI::App& app, TedsStreams& streams, int& status) {
  CLI::App* serve = app.add_subcommand("serve", "The TEDS editor in the browser (not in this build)");
  serve->allow_extras();
  serve->callback([&streams, &status]() {
    streams.err << "teds serve: this build has no web server (it was built without cpp-httplib)\n";
    status = TEDS_EXIT_BAD_INPUT;
  });
}

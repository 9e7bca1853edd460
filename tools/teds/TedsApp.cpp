#include "tools/teds/TedsApp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <ostream>

#include "tools/teds/DecodeCommand.h"
#include "tools/teds/QueryCommand.h"
#include "tools/teds/SerialCommand.h"

int RunTeds(const std::vector<std::string>& args, TedsStreams& streams) {
  CLI::App app(
      "teds - reads IEEE 1451.4 Transducer Electronic Data Sheets (TEDS), as held by\n"
      "the DS2430A memories of sensors, and prints them as text reports.",
      "teds");
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.footer(
      "Examples:\n"
      "  teds decode --image \"64 80 34 41 0C 40 E2 01\"\n"
      "  teds decode --help\n"
      "  teds query --poll-ms 0\n"
      "\n"
      "Exit status: 0 done, 1 the TEDS could not be parsed (decode) or no transducer\n"
      "was found (query), 2 bad arguments or input, 3 the query timed out.");

  // Each command registers itself and leaves its exit status here when it
  // runs; add further commands the same way, each in a file of its own.
  int status = TEDS_EXIT_OK;
  AddDecodeCommand(app, streams, status);
  AddQueryCommand(app, streams, status);
  AddBenchCommand(app, streams, status);
  AddSerialEmulatorCommand(app, streams, status);

  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, streams.out, streams.err);
    return code == 0 ? TEDS_EXIT_OK : TEDS_EXIT_BAD_INPUT;
  }
  streams.out.flush();
  return status;
}

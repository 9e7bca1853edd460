#include "tools/teds/TedsApp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <ostream>

#include "tools/teds/DecodeCommand.h"
#include "tools/teds/QueryCommand.h"
#include "tools/teds/SerialCommand.h"

namespace {

// The first argument names a command unless it is an option (the top level
// has only --help; CLI11 words the message for any other).
bool IsKnownCommand(CLI::App& app, const std::string& word) {
  if (!word.empty() && word[0] == '-') return true;
  for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    if (command->check_name(word)) return true;
  }
  return false;
}

std::string CommandList(CLI::App& app) {
  std::string list;
  for (const CLI::App* command : app.get_subcommands([](CLI::App*) { return true; })) {
    list += (list.empty() ? "" : ", ") + command->get_name();
  }
  return list;
}

int CheckOutput(TedsStreams& streams, int status) {
  streams.out.flush();
  if (!streams.out.fail()) return status;
  streams.err << "teds: standard output could not be written (disk full, or the output closed);"
                 " what was printed is incomplete\n";
  streams.err.flush();
  return TEDS_EXIT_OUTPUT_FAILED;
}

}  // namespace

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
      "was found (query), 2 bad arguments or input, 3 the query timed out,\n"
      "4 standard output could not be written.");

  // Each command registers itself and leaves its exit status here when it
  // runs; add further commands the same way, each in a file of its own.
  int status = TEDS_EXIT_OK;
  AddDecodeCommand(app, streams, status);
  AddQueryCommand(app, streams, status);
  AddBenchCommand(app, streams, status);
  AddSerialEmulatorCommand(app, streams, status);

  if (!args.empty() && !IsKnownCommand(app, args[0])) {
    streams.err << "teds: unknown command '" << args[0] << "'; the commands are "
                << CommandList(app) << " (teds --help describes them)\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  // CLI11 takes the arguments last first.
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e, streams.out, streams.err);
    status = code == 0 ? TEDS_EXIT_OK : TEDS_EXIT_BAD_INPUT;
  }
  return CheckOutput(streams, status);
}

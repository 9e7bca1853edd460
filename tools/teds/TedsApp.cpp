#include "tools/teds/TedsApp.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <exception>
#include <ostream>

#include "tools/teds/DecodeCommand.h"
#include "tools/teds/EncodeCommand.h"
#include "tools/teds/QueryCommand.h"
#include "tools/teds/ScanCommand.h"
#include "tools/teds/SerialEmulatorCommand.h"
#include "tools/teds/WriteCommand.h"
#include "tools/teds/serve/ServeCommand.h"

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

// An option that names a port, a file or a device, given an empty value (an
// unset shell variable, most often), names nothing: it is bad input, not a
// request for the default. The message for such an option of `command`
// found in `args` (its arguments); empty when there is none. Options whose
// command words this check itself are left to it.
std::string EmptyNameProblem(CLI::App& command, const std::vector<std::string>& args) {
  static const std::pair<const char*, const char*> kOwnCheck[] = {{"query", "--bench"},
                                                                  {"query", "--device"}};
  for (const CLI::Option* option : command.get_options()) {
    const std::string type = option->get_type_name();
    const char* what = type == "PORT"   ? "port"
                       : type == "FILE" ? "file"
                       : type == "NAME" ? "name"
                                        : nullptr;
    if (!what) continue;
    for (const std::string& flag : option->get_lnames()) {
      const std::string name = "--" + flag;
      bool own = false;
      for (const auto& check : kOwnCheck) {
        own = own || (command.get_name() == check.first && name == check.second);
      }
      if (own) continue;
      for (std::size_t i = 0; i < args.size(); ++i) {
        const bool separate = args[i] == name && i + 1 < args.size() && args[i + 1].empty();
        if (separate || args[i] == name + "=") {
          return "teds " + command.get_name() + ": " + name + ": no " + what +
                 " given (the value is empty; an unset variable?)\n";
        }
      }
    }
  }
  return std::string();
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
      "teds - reads and writes IEEE 1451.4 Transducer Electronic Data Sheets (TEDS),\n"
      "as held by the DS2430A memories of sensors.",
      "teds");
  app.allow_windows_style_options(false);
  app.require_subcommand(1);
  app.footer(
      "Examples:\n"
      "  teds decode --image \"64 80 34 41 0C 40 E2 01\"\n"
      "  teds decode --help\n"
      "  teds query --poll-ms 0\n"
      "  teds scan --channels all --csv\n"
      "  teds encode --sheet sensor.json --set calDate=2024-05-01\n"
      "  teds write --rom \"14 3A 7F 1B 05 00 00 B6\" --sheet sensor.json\n"
      "\n"
      "Exit status: 0 done, 1 the TEDS could not be parsed (decode), no transducer\n"
      "was found (query), no sensor was read (scan) or the write failed (write),\n"
      "2 bad arguments or input, 3 the query, scan or write timed out, 4 standard\n"
      "output could not be written.");

  // Each command registers itself and leaves its exit status here when it
  // runs; add further commands the same way, each in a file of its own.
  int status = TEDS_EXIT_OK;
  AddDecodeCommand(app, streams, status);
  AddQueryCommand(app, streams, status);
  AddBenchCommand(app, streams, status);
  AddSerialEmulatorCommand(app, streams, status);
  AddEncodeCommand(app, streams, status);
  AddWriteCommand(app, streams, status);
  AddScanCommand(app, streams, status);
  AddServeCommand(app, streams, status);

  if (!args.empty() && !IsKnownCommand(app, args[0])) {
    streams.err << "teds: unknown command '" << args[0] << "'; the commands are "
                << CommandList(app) << " (teds --help describes them)\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  if (!args.empty() && args[0][0] != '-') {
    CLI::App* command = app.get_subcommand(args[0]);
    const std::string problem =
        EmptyNameProblem(*command, std::vector<std::string>(args.begin() + 1, args.end()));
    if (!problem.empty()) {
      streams.err << problem;
      return TEDS_EXIT_BAD_INPUT;
    }
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

#include "tools/teds/QueryCommand.h"

#include <CLI/CLI.hpp>
#include <memory>
#include <ostream>

#include "simdevice/Bench.h"
#include "tools/teds/SimBench.h"

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

// Adds --serial to `teds query`, excluding the device library's options.
void AddSerialOption(CLI::App& query, QueryOptions& options) {
  CLI::Option* serial =
      query
          .add_option("--serial", options.serialPort,
                      "Query through a DS2480B serial 1-Wire adapter on this port "
                      "(/dev/ttyUSB0, COM3) instead of the device library")
          ->type_name("PORT");
  for (const char* name :
       {"--bench", "--device", "--address", "--channel", "--mode", "--poll-ms"}) {
    serial->excludes(query.get_option(name));
  }
  query
      .add_option("--baud", options.baud,
                  "Serial rate to switch the adapter to after start-up at 9600 (9600, 19200, "
                  "57600, 115200); if the adapter does not answer there, 9600 with a note")
      ->type_name("BAUD")
      ->check(CLI::IsMember({9600u, 19200u, 57600u, 115200u}))
      ->needs(serial);
}

}  // namespace

int RunQuery(const QueryOptions& options, TedsStreams& streams) {
  if (!options.serialPort.empty()) return RunSerialQuery(options, streams);
  // The simulated device stands behind the device library's stand-in.
  SimBench sim;
  if (!sim.Load(!options.haveBench, options.benchPath, "teds query", streams.err)) {
    return TEDS_EXIT_BAD_INPUT;
  }
  DeviceTarget target;
  if (!ResolveTarget(options, sim.Defaults(), target, streams.err)) return TEDS_EXIT_BAD_INPUT;
  sim.Attach();
  if (!options.quiet) sim.NoteTraffic(streams.err, target, options.pollMs);
  return RunDeviceLinkQuery(options, target, streams);
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

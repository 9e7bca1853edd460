#include "tools/teds/SerialCommand.h"

#include <CLI/CLI.hpp>
#include <csignal>
#include <memory>
#include <ostream>

#include "serial/DS2480BOneWireMaster.h"
#include "simdevice/Bench.h"
#include "simserial/DS2480BEmulator.h"
#include "simserial/PtyServer.h"

namespace {

// Set by SIGINT and SIGTERM: the emulator stops serving.
std::atomic<bool> stopRequested{false};

extern "C" void RequestStop(int) { stopRequested = true; }

}  // namespace

int RunSerialQuery(const QueryOptions& options, TedsStreams& streams) {
  if (!(options.timeoutS > 0)) {
    streams.err << "teds query: --timeout-s must be greater than 0\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  DS2480BOneWireMaster master(options.serialPort);
  const bool quiet = options.quiet;
  // A failed switch of the rate is a note: the query goes on at 9600.
  master.SetBaudRate(options.baud, [quiet, &streams](const std::string& note) {
    if (!quiet) streams.err << "teds: adapter: " << note << '\n';
  });
  if (!options.quiet) {
    streams.err << "teds: adapter: starting the DS2480B on " << options.serialPort;
    if (options.baud != 9600) streams.err << ", then switching to " << options.baud << " baud";
    streams.err << '\n';
  }
  return RunQueryCycle(
      master, [&master] { return master.StartFailed(); },
      [&master] {
        master.Enable(false);
        master.Shutdown();
      },
      options, streams);
}

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

int RunSerialEmulator(const SerialEmulatorOptions& options, TedsStreams& streams,
                      const std::atomic<bool>& stop) {
  const char* const who = "teds serial-emulator: ";
  simdevice::Bench bench;
  try {
    std::vector<std::string> warnings;
    bench = options.benchPath.empty() ? simdevice::DefaultBench()
                                      : simdevice::LoadBench(options.benchPath, &warnings);
    for (const std::string& warning : warnings)
      streams.err << who << "warning: " << warning << '\n';
  } catch (const std::exception& e) {
    streams.err << who << e.what() << '\n';
    return TEDS_EXIT_BAD_INPUT;
  }
  const simdevice::ChannelConfig* channel = nullptr;
  for (const simdevice::ChannelConfig& candidate : bench.channels) {
    if (!options.haveChannel || candidate.channel == options.channel) {
      channel = &candidate;
      break;
    }
  }
  if (channel == nullptr) {
    streams.err << who << "the bench has no channel" << (options.haveChannel ? " " : "")
                << (options.haveChannel ? std::to_string(options.channel) : std::string()) << '\n';
    return TEDS_EXIT_BAD_INPUT;
  }
  simserial::AdapterFaults faults;
  faults.silent = options.silent;
  faults.shorted = options.shorted;
  faults.noisyAnswer = options.noisyAnswer;
  faults.fixedBaud = options.fixedBaud;
  simserial::PtyServer server(std::make_unique<simserial::DS2480BEmulator>(*channel, faults));
  server.SetPacing(options.realTime);
  std::string error;
  const std::string path = server.Open(error);
  if (path.empty()) {
    streams.err << who << "cannot make a pseudo-terminal: " << error << '\n';
    return TEDS_EXIT_BAD_INPUT;
  }
  streams.out << path << '\n';
  streams.out.flush();
  streams.err << who << channel->devices.size() << " device(s) of channel " << channel->channel
              << " on " << path << "; stop with Ctrl-C\n";
  streams.err.flush();
  server.Serve(stop, options.trace ? &streams.err : nullptr);
  return TEDS_EXIT_OK;
}

void AddSerialEmulatorCommand(CLI::App& app, TedsStreams& streams, int& status) {
  auto options = std::make_shared<SerialEmulatorOptions>();
  CLI::App* command = app.add_subcommand(
      "serial-emulator",
      "Emulate a DS2480B serial 1-Wire adapter with a bench's devices on a pseudo-terminal");
  command->footer(
      "Prints the terminal's path, then serves until stopped (Ctrl-C). Open the path\n"
      "as a serial port: teds query --serial PATH, or owserver -d PATH.\n"
      "The devices and their fault knobs (dropOff, corruptSearchCrc) are those of the\n"
      "bench's first channel, or of --channel.");
  command->add_option("--bench", options->benchPath, "Bench file (JSON)")->type_name("FILE");
  CLI::Option* channel =
      command->add_option("--channel", options->channel, "Bench channel whose devices to serve")
          ->type_name("N");
  command->add_flag("--silent", options->silent, "Never answer, like a port without an adapter");
  command->add_flag("--shorted", options->shorted, "Report a shorted 1-Wire bus");
  command
      ->add_option("--noisy-answer", options->noisyAnswer,
                   "Invert this answer byte (counting from 1 at each power-on), like line noise")
      ->type_name("N");
  command->add_flag("--fixed-baud", options->fixedBaud,
                    "Take a change of the baud rate but stay at 9600, like an adapter that "
                    "cannot switch");
  command->add_flag("--real-time", options->realTime,
                    "Answer only after the time the bytes take on the serial line at the "
                    "adapter's rate and on the 1-Wire bus at standard speed");
  command->add_flag("--trace", options->trace, "Write the traffic in hex to standard error");
  command->callback([options, channel, &streams, &status]() {
    options->haveChannel = channel->count() > 0;
    stopRequested = false;
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    status = RunSerialEmulator(*options, streams, stopRequested);
  });
}

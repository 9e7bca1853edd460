#include "tools/teds/WriteCommand.h"

#include <CLI/CLI.hpp>
#include <chrono>
#include <fstream>
#include <memory>
#include <ostream>

#include "devicelink/ZorelQueryMaster.h"
#include "onewire/DS2430AMemory.h"
#include "onewire/DS2430AWriteJob.h"
#include "serial/DS2480BQueryMaster.h"
#include "simdevice/Bench.h"
#include "text/HexText.h"
#include "text/Utf8.h"
#include "tools/teds/BenchSave.h"
#include "tools/teds/HexText.h"
#include "tools/teds/QueryCore.h"
#include "tools/teds/SimBench.h"

namespace {

const char kWriteFooter[] =
    "Programs one DS2430A, chosen by its ROM, with the contents of a data sheet (as\n"
    "for `teds encode`) or of a whole image: it reads the part, writes and verifies\n"
    "the scratchpad, copies it into the memory and reads the memory back. Only with\n"
    "--lock-application-register does it also write, verify and lock the\n"
    "application register (status FC), which commits the TEDS for good: hosts read\n"
    "only locked parts. A part locked with other contents is refused.\n"
    "\n"
    "With this build's stand-in the device is the simulated device of a bench file\n"
    "(or the built-in bench); --save-bench writes the bench with the parts' new\n"
    "contents, for `teds query --bench`. With --serial PORT the same sequence runs\n"
    "through a DS2480B serial 1-Wire adapter, as a calibration bench has it.\n"
    "\n"
    "Examples:\n"
    "  teds write --bench blank.json --rom \"14 3A 7F 1B 05 00 00 B6\" \\\n"
    "    --sheet sensor.json --lock-application-register --save-bench written.json\n"
    "  teds query --bench written.json\n"
    "\n"
    "Exit status: 0 written and verified, 1 the write failed or the part was not\n"
    "found (the line on standard output says what the part holds), 2 bad\n"
    "arguments, contents or bench, 3 no end within the time-out, 5 written and\n"
    "verified but the --save-bench file could not be written.";

bool ParseRom(const std::string& text, AbstractOneWireMaster::Device& rom, std::ostream& err) {
  std::vector<uint8_t> bytes;
  std::string problem;
  if (text.empty()) {
    problem = "the ROM of the part to write is required";
  } else if (ParseHexBytes(text, bytes, problem) && bytes.size() != 8) {
    problem = "a ROM has 8 bytes, not " + std::to_string(bytes.size());
  } else if (problem.empty() && bytes[0] != DS2430AMemory::familyCode) {
    problem = "family " + orvtext::HexByte(bytes[0]) + " is not a DS2430A (family 14)";
  }
  if (!problem.empty()) {
    err << "teds write: --rom: " << problem << '\n';
    return false;
  }
  rom = AbstractOneWireMaster::Device(bytes.data());
  return true;
}

bool SaveWrittenBench(const WriteOptions& options, const std::string& text,
                      simdevice::SimDevice& device) {
  std::ofstream file(options.saveBenchPath, std::ios::binary | std::ios::trunc);
  if (file) file << SaveBench(text, device);
  return static_cast<bool>(file.flush());
}

// The part to write and what to write into it, from the options.
bool ParseWriteInput(const WriteOptions& options, TedsStreams& streams, DS2430AWriteJob& job) {
  job.lock = options.lock;
  return ParseRom(options.rom, job.rom, streams.err) &&
         MakeDS2430AContents(options.contents, "teds write", streams, job.application, job.memory);
}

// Brings the master up, finds the part and writes it; then ends all traffic
// into the master and lets it go. Standard output gets the texts as they
// arrive. TEDS_EXIT_TIMEOUT (without a message) when the write did not end
// within the time-out.
int RunWriteCycle(QueryMaster master, const DS2430AWriteJob& job, const WriteOptions& options,
                  TedsStreams& streams) {
  DS2430AWriteJob::Notes notes;
  notes.text = [&streams](const std::string& text) {
    streams.out << text;
    if (text.empty() || text.back() != '\n') streams.out << '\n';
    streams.out.flush();
  };
  if (!options.quiet) {
    notes.progress = [&streams](const std::string& note) {
      streams.err << "teds write: " << note << '\n';
      streams.err.flush();
    };
  }
  const DS2430AWriteJob::Outcome outcome =
      job.Run(std::move(master), std::chrono::duration<double>(options.timeoutS), notes);
  if (!outcome.ended) return TEDS_EXIT_TIMEOUT;
  return outcome.ok ? TEDS_EXIT_OK : TEDS_EXIT_PARSE_ERROR;
}

int TimedOut(const WriteOptions& options, TedsStreams& streams) {
  streams.err << "teds write: no answer: the write did not end within " << options.timeoutS
              << " s\n";
  return TEDS_EXIT_TIMEOUT;
}

int RunSerialWrite(const WriteOptions& options, TedsStreams& streams) {
  DS2430AWriteJob job;
  if (!ParseWriteInput(options, streams, job)) return TEDS_EXIT_BAD_INPUT;
  if (!(options.timeoutS > 0)) {
    streams.err << "teds write: --timeout-s must be greater than 0\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  const int status =
      RunWriteCycle(MakeDS2480BQueryMaster(options.serialPort), job, options, streams);
  return status == TEDS_EXIT_TIMEOUT ? TimedOut(options, streams) : status;
}

// The write through the device library to the device named, which must be
// attached. TEDS_EXIT_BAD_INPUT, with a message, when no master can be made
// for it; TEDS_EXIT_TIMEOUT without a message.
int DeviceWrite(const DS2430AWriteJob& job, const WriteOptions& options,
                const DeviceTarget& target, TedsStreams& streams) {
  QueryMaster master;
  if (!MakeDeviceLinkMaster(DeviceLinkSettings(target, options.mode, options.pollMs), "teds write",
                            streams.err, master)) {
    return TEDS_EXIT_BAD_INPUT;
  }
  return RunWriteCycle(std::move(master), job, options, streams);
}

}  // namespace

int RunAttachedDeviceWrite(const WriteOptions& options, const std::wstring& deviceName,
                           unsigned int address, unsigned int channel, TedsStreams& streams) {
  DS2430AWriteJob job;
  if (!ParseWriteInput(options, streams, job)) return TEDS_EXIT_BAD_INPUT;
  DeviceTarget target;
  target.device = deviceName;
  target.address = address;
  target.channel = channel;
  const int status = DeviceWrite(job, options, target, streams);
  return status == TEDS_EXIT_TIMEOUT ? TimedOut(options, streams) : status;
}

int RunSerialWriteOn(QueryMaster master, const WriteOptions& options, TedsStreams& streams) {
  DS2430AWriteJob job;
  if (!ParseWriteInput(options, streams, job)) return TEDS_EXIT_BAD_INPUT;
  return RunWriteCycle(std::move(master), job, options, streams);
}

int RunWrite(const WriteOptions& options, TedsStreams& streams) {
  if (!options.serialPort.empty()) return RunSerialWrite(options, streams);
  DS2430AWriteJob job;
  std::string benchText;
  simdevice::Bench bench;
  if (!ParseWriteInput(options, streams, job) ||
      !LoadBenchText(options.benchPath, "teds write", benchText, bench, streams.err)) {
    return TEDS_EXIT_BAD_INPUT;
  }
  if (options.mode > 255 || !(options.timeoutS > 0)) {
    streams.err << "teds write: --mode must be 0 to 255 and --timeout-s greater than 0\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  // The name is UTF-8 on the command line, as for `query`.
  std::wstring deviceName = bench.name;
  if (options.haveDevice && !orvtext::Utf8ToWide(options.device, deviceName)) {
    streams.err << "teds write: --device: the name is not valid UTF-8\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  // The simulated device stands behind the device library's stand-in.
  SimBench sim;
  sim.Use(bench);
  sim.Attach();
  DeviceTarget target = sim.Defaults();
  target.device = deviceName;
  if (options.haveAddress) target.address = options.address;
  if (options.haveChannel) target.channel = options.channel;
  const int status = DeviceWrite(job, options, target, streams);
  if (status == TEDS_EXIT_BAD_INPUT) return status;
  const bool ended = status != TEDS_EXIT_TIMEOUT;
  const bool ok = status == TEDS_EXIT_OK;

  // Saved whatever the outcome: the file then holds what the parts hold.
  if (!options.saveBenchPath.empty() && !SaveWrittenBench(options, benchText, sim.Device())) {
    if (ended && ok) {
      // The part is written: that must not read as bad input.
      streams.err << "teds write: the part was written, but the bench was not saved: "
                  << options.saveBenchPath << " cannot be written\n";
      return TEDS_EXIT_BENCH_NOT_SAVED;
    }
    streams.err << "teds write: --save-bench: " << options.saveBenchPath << " cannot be written\n";
    return TEDS_EXIT_BAD_INPUT;
  }
  return ended ? status : TimedOut(options, streams);
}

void AddWriteCommand(CLI::App& app, TedsStreams& streams, int& status) {
  auto options = std::make_shared<WriteOptions>();
  CLI::App* write = app.add_subcommand("write", "Program one DS2430A with a TEDS and verify it");
  write->footer(kWriteFooter);
  write->add_option("--rom", options->rom, "ROM of the part to write (8 bytes)")->type_name("HEX");
  CLI::Option* sheet = write
                           ->add_option("--sheet", options->contents.sheetPath,
                                        "Data sheet file (JSON), - for stdin")
                           ->type_name("FILE");
  CLI::Option* set = write->add_option("--set", options->contents.settings, "Set one field")
                         ->type_name("FIELD=VALUE");
  write->add_option("--image", options->contents.imageHex, "A whole TEDS image instead")
      ->type_name("HEX")
      ->excludes(sheet)
      ->excludes(set);
  write->add_flag("--lock-application-register", options->lock,
                  "Also write, verify and lock the application register (irreversible)");
  write->add_option("--bench", options->benchPath, "Bench file of the simulated device (JSON)")
      ->type_name("FILE");
  write->add_option("--save-bench", options->saveBenchPath, "Write the bench with the new contents")
      ->type_name("FILE");
  CLI::Option* device =
      write->add_option("--device", options->device, "Device name")->type_name("NAME");
  CLI::Option* address =
      write->add_option("--address", options->address, "Device address")->type_name("N");
  CLI::Option* channel =
      write->add_option("--channel", options->channel, "TEDS channel 0-7")->type_name("N");
  write->add_option("--mode", options->mode, "TEDS mode of the channel")->capture_default_str();
  write->add_option("--poll-ms", options->pollMs, "Pause before each read of the relay's answer")
      ->capture_default_str();
  write->add_option("--timeout-s", options->timeoutS, "Give up after this many seconds")
      ->capture_default_str();
  write->add_flag("--quiet", options->quiet, "No progress on standard error");
  CLI::Option* serial =
      write
          ->add_option("--serial", options->serialPort,
                       "Write through a DS2480B serial 1-Wire adapter on this port "
                       "(/dev/ttyUSB0, COM3) instead of the device library")
          ->type_name("PORT");
  for (const char* name :
       {"--bench", "--save-bench", "--device", "--address", "--channel", "--mode", "--poll-ms"}) {
    serial->excludes(write->get_option(name));
  }
  write->callback([options, device, address, channel, &streams, &status]() {
    options->haveDevice = device->count() > 0;
    options->haveAddress = address->count() > 0;
    options->haveChannel = channel->count() > 0;
    const ContentOptions& c = options->contents;
    if (c.sheetPath.empty() && c.settings.empty() && c.imageHex.empty()) {
      streams.err
          << "teds write: give the contents: --sheet FILE, --set FIELD=VALUE or --image HEX\n";
      status = TEDS_EXIT_BAD_INPUT;
      return;
    }
    status = RunWrite(*options, streams);
  });
}

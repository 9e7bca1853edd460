#pragma once

#include <string>

#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}

// `teds decode`: decodes a TEDS image given in hexadecimal.
struct DecodeOptions {
  enum class Source { Stdin, Image, DS2430A };
  Source source = Source::Stdin;
  std::string imageHex;        // Source::Image
  std::string registerHex;     // Source::DS2430A: application register
  std::string memoryHex;       // Source::DS2430A: memory dump
  bool json = false;           // one JSON document in place of the text
};

// Standard output gets, for a DS2430A dump, one checksum verdict line per
// memory page; then the transducer report followed by each template error on
// its own line, or, when the TEDS could not be parsed, the single line
// "Template Parse Error : " and the reason; with `json`, one JSON document
// holding all of that instead. Returns TEDS_EXIT_OK,
// TEDS_EXIT_PARSE_ERROR, or TEDS_EXIT_BAD_INPUT with a message on the error
// stream and nothing on standard output.
int RunDecode(const DecodeOptions& options, TedsStreams& streams);

// Adds the `decode` subcommand; when it is chosen it runs and stores its exit
// status in `status`.
void AddDecodeCommand(CLI::App& app, TedsStreams& streams, int& status);

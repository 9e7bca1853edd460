#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "teds/TEDSEncoder.h"
#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}

// Where the contents to program come from: a JSON data sheet (a file, "-"
// for standard input, or none), with FIELD=VALUE settings on top, or a whole
// TEDS image in hexadecimal.
struct ContentOptions {
  std::string sheetPath;
  std::vector<std::string> settings;
  std::string imageHex;
  // The data sheet's JSON itself (`teds serve` gets it from a page); used in
  // place of sheetPath when not empty, and named "data sheet" in messages.
  std::string sheetJson;
};

// The encoding `options` describe (the records as they read back, the image
// and the DS2430A layout); when it is not `ok`, `error` holds the message
// without the command's prefix.
TEDSEncoder::Result EncodeContents(const ContentOptions& options, TedsStreams& streams,
                                   std::string& error);

// What a reader gets from the DS2430A contents of `result`: the page
// verdicts, the transducer report and its template errors.
std::string ReadBackReport(const TEDSEncoder::Result& result);

// The DS2430A contents `options` describe: application register (8 bytes)
// and memory (32 bytes, page checksum first). False with a message on the
// error stream, prefixed with `command`, when they cannot be made.
bool MakeDS2430AContents(const ContentOptions& options, const std::string& command,
                         TedsStreams& streams, std::vector<uint8_t>& application,
                         std::vector<uint8_t>& memory);

// `teds encode`: prints the image, the DS2430A dump and what it reads back as.
void AddEncodeCommand(CLI::App& app, TedsStreams& streams, int& status);

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "teds/TEDSDecoder.h"

class TEDSTransducer;

// The one JSON document of `teds decode --json` and `teds query --json`
// (tools/schema/teds.schema.json describes it). Texts are converted from the
// library's 8-bit Windows-1252 to UTF-8; field names of the Basic TEDS and
// of template 25 are the library's member names.
class JsonDocument {
 public:
  explicit JsonDocument(const std::string& command);

  // A text the host listener received, in order. The device list, the page
  // verdicts and a parse failure are also taken out of it.
  void AddQueryText(const std::string& text);
  void AddTransducer(const TEDSTransducer& transducer);
  // What `teds decode` found: the page verdicts, and either the transducer or
  // the parse failure.
  void SetDecoded(const TEDSDecoder::Result& result);

  // The document, indented, ending with a newline.
  std::string Dump(int exitCode, bool timedOut) const;

 private:
  void AddPage(bool good);

  nlohmann::ordered_json document;
};

// The JSON form of one transducer.
nlohmann::ordered_json TransducerJson(const TEDSTransducer& transducer);

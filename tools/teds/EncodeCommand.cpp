#include "tools/teds/EncodeCommand.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <sstream>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSEncoder.h"
#include "teds/TEDSImage.h"
#include "text/HexText.h"
#include "tools/teds/DataSheet.h"
#include "tools/teds/HexText.h"

namespace {

const char kEncodeFooter[] =
    "The data sheet is JSON with the field names of `teds decode --json`: one\n"
    "transducer object {\"basicTeds\": {...}, \"templates\": [{...}]}, or a whole\n"
    "`teds decode --json` document with one transducer. Template-25 fields:\n"
    "  group (\"standard\" or \"extended\"), sensRef, tfHpS (standard group),\n"
    "  defaultFR, passive, sensRef01, sensRef10, tfHpS01, tfHpS10 (extended, raw),\n"
    "  direction (0-2 or X/Y/Z), weight, sign (0/1 or POSITIVE/NEGATIVE),\n"
    "  transferFunction (true/false) with tfSp, tfKPr, tfKPq, tfSl, tempCoef (raw),\n"
    "  refFreq, refTemp, calDate (seconds or YYYY-MM-DD), calInitials, calPeriod,\n"
    "  measID.\n"
    "Scaled values are written as the nearest raw value; the report after\n"
    "\"Reads back as:\" shows what a reader will get.\n"
    "\n"
    "Examples:\n"
    "  teds encode --sheet sensor.json\n"
    "  teds encode --sheet sensor.json --set sensRef=0.0102 --set calDate=2024-05-01 \\\n"
    "    --set calInitials=XYZ --rom \"14 3A 7F 1B 05 00 00 B6\"\n"
    "\n"
    "Exit status: 0 encoded, 2 bad input or a value that cannot be encoded.";

bool ReadSheetText(const std::string& path, TedsStreams& streams, std::string& text,
                   std::string& error) {
  if (path.empty()) return true;
  if (path == "-") {
    text.assign(std::istreambuf_iterator<char>(streams.in), std::istreambuf_iterator<char>());
    return true;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    error = path + ": is a directory, not a data sheet file";
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  try {
    if (file) {
      text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
  } catch (const std::exception&) {
    // The stream buffer reports a failing read (a device, a vanished file)
    // by throwing.
    file.setstate(std::ios::badbit);
  }
  if (!file || file.bad()) {
    error = path + ": cannot be read";
    return false;
  }
  return true;
}

// The encoder names a template's field by itself ("weight") or, with more
// than one template, with its number ("template 2: weight"); a data sheet's
// messages name it by its place in the sheet ("templates[1].weight").
std::string SheetFieldMessage(const std::string& error) {
  static const char* const kBasic[] = {"manufacturerID", "modelNumber", "versionLetter",
                                       "versionNumber", "serialNumber"};
  for (const char* field : kBasic) {
    if (error.rfind(std::string(field) + ": ", 0) == 0) return "basicTeds." + error;
  }
  if (error.rfind("image: ", 0) == 0) return error;
  const std::string numbered = "template ";
  if (error.rfind(numbered, 0) == 0) {
    const std::size_t colon = error.find(": ");
    const std::string number = error.substr(numbered.size(), colon - numbered.size());
    if (colon != std::string::npos && !number.empty() &&
        number.find_first_not_of("0123456789") == std::string::npos) {
      return "templates[" + std::to_string(std::stoul(number) - 1) + "]." + error.substr(colon + 2);
    }
  }
  return "templates[0]." + error;
}

}  // namespace

TEDSEncoder::Result EncodeContents(const ContentOptions& options, TedsStreams& streams,
                                   std::string& error) {
  if (!options.imageHex.empty()) {
    std::vector<uint8_t> image;
    if (!ParseHexBytes(options.imageHex, image, error)) {
      error = "--image: " + error;
      return {};
    }
    TEDSEncoder::Result laidOut = TEDSEncoder::LayOutDS2430A(image);
    error = laidOut.error;
    return laidOut;
  }
  std::string text = options.sheetJson;
  const bool given = !text.empty();
  if (!given && !ReadSheetText(options.sheetPath, streams, text, error)) return {};
  try {
    const std::string source = given || options.sheetPath.empty() ? "data sheet"
                               : options.sheetPath == "-" ? "standard input"
                                                          : options.sheetPath;
    const DataSheet sheet = ParseDataSheet(text, source, options.settings);
    TEDSEncoder::Result result = TEDSEncoder::EncodeDS2430A(sheet.basic, sheet.templates);
    if (!result.ok) error = source + ": " + SheetFieldMessage(result.error);
    return result;
  } catch (const DataSheetError& e) {
    error = e.what();
    return {};
  }
}

std::string ReadBackReport(const TEDSEncoder::Result& result) {
  const TEDSDecoder::Result decoded = TEDSDecoder::DecodeDS2430A(result.application, result.memory);
  std::ostringstream text;
  for (bool good : decoded.verdicts) text << TEDSImage::VerdictText(good) << '\n';
  text << decoded.transducer->Print();
  for (const std::string& e : decoded.transducer->PrintErrors()) text << e << '\n';
  return text.str();
}

bool MakeDS2430AContents(const ContentOptions& options, const std::string& command,
                         TedsStreams& streams, std::vector<uint8_t>& application,
                         std::vector<uint8_t>& memory) {
  std::string error;
  const TEDSEncoder::Result result = EncodeContents(options, streams, error);
  if (!result.ok) {
    streams.err << command << ": " << error << '\n';
    return false;
  }
  application = result.application;
  memory = result.memory;
  return true;
}

namespace {

int RunEncode(const ContentOptions& options, const std::string& romHex, TedsStreams& streams) {
  std::vector<uint8_t> rom;
  std::string problem;
  if (!romHex.empty() && (!ParseHexBytes(romHex, rom, problem) || rom.size() != 8)) {
    streams.err << "teds encode: --rom: "
                << (problem.empty() ? "a ROM has 8 bytes, not " + std::to_string(rom.size())
                                    : problem)
                << '\n';
    return TEDS_EXIT_BAD_INPUT;
  }
  std::string error;
  const TEDSEncoder::Result result = EncodeContents(options, streams, error);
  if (!result.ok) {
    streams.err << "teds encode: " << error << '\n';
    return TEDS_EXIT_BAD_INPUT;
  }
  std::ostringstream text;
  text << "Image:       " << orvtext::FormatHex(result.image) << '\n'
       << "Application: " << orvtext::FormatHex(result.application) << '\n'
       << "Memory:      " << orvtext::FormatHex(result.memory) << '\n';
  if (!rom.empty()) {
    // A device entry for a bench file: the part as it is once written and
    // locked.
    text << "Bench device: {\"rom\": \"" << orvtext::FormatHex(rom) << "\", \"status\": \"FC\", "
         << "\"application\": \"" << orvtext::FormatHex(result.application) << "\", \"memory\": \""
         << orvtext::FormatHex(result.memory) << "\"}\n";
  }
  text << "\nReads back as:\n" << ReadBackReport(result);
  streams.out << text.str();
  streams.out.flush();
  return TEDS_EXIT_OK;
}

}  // namespace

void AddEncodeCommand(CLI::App& app, TedsStreams& streams, int& status) {
  auto options = std::make_shared<ContentOptions>();
  auto rom = std::make_shared<std::string>();
  CLI::App* encode = app.add_subcommand(
      "encode", "Encode a TEDS data sheet (JSON or settings) into a DS2430A image");
  encode->footer(kEncodeFooter);
  encode->add_option("--sheet", options->sheetPath, "Data sheet file (JSON), - for standard input")
      ->type_name("FILE");
  encode->add_option("--set", options->settings, "Set one field of the data sheet")
      ->type_name("FIELD=VALUE");
  encode->add_option("--rom", *rom, "Also print a bench device entry for this ROM")
      ->type_name("HEX");
  encode->callback([options, rom, &streams, &status]() {
    if (options->sheetPath.empty() && options->settings.empty()) {
      streams.err << "teds encode: give a data sheet (--sheet FILE) or the fields (--set)\n";
      status = TEDS_EXIT_BAD_INPUT;
      return;
    }
    status = RunEncode(*options, *rom, streams);
  });
}

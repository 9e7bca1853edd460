#include "tools/teds/DecodeCommand.h"

#include <CLI/CLI.hpp>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSImage.h"
#include "text/HexText.h"
#include "tools/teds/HexText.h"
#include "tools/teds/JsonOutput.h"

namespace {

const char* const kDecodeFooter =
    "Input formats:\n"
    "  HEX is a byte string in hexadecimal, two digits per byte, upper or lower\n"
    "  case. White space may separate bytes (\"64 80 34\" = \"648034\") but not\n"
    "  split one. Quote it when it holds spaces.\n"
    "  --image HEX          the whole TEDS image, from its first byte (the Basic\n"
    "                       TEDS) on.\n"
    "  --ds2430a APP MEM    a DS2430A's application register (8 bytes) and memory\n"
    "                       (32 bytes, byte 0 the page checksum); the image is\n"
    "                       assembled from them and the page's checksum verdict\n"
    "                       is printed first.\n"
    "  neither option       the image HEX is read from standard input (at most\n"
    "                       65536 characters).\n"
    "\n"
    "Output: the transducer report followed by each template error on its own\n"
    "line; when the TEDS cannot be parsed at all, the single line\n"
    "\"Template Parse Error : \" and the reason instead.\n"
    "With --json, one JSON document (tools/schema/teds.schema.json) in place of\n"
    "the text, with the same exit status.\n"
    "Exit status: 0 parsed (template errors included), 1 could not be parsed,\n"
    "2 bad input (message on standard error, nothing on standard output),\n"
    "4 standard output could not be written.\n"
    "\n"
    "Examples:\n"
    "  teds decode --image \"64 80 34 41 0C 40 E2 01 64 90 0F F8 64 06 29 1C FB 08 62 B4 45 01 00\"\n"
    "  echo 648034410C40E201 | teds decode\n"
    "  teds decode --ds2430a 648034410C40E201 \\\n"
    "    6F64900FF86406291CFB0862B445010000000000000000000000000000000000";

// A TEDS image in hexadecimal takes a few hundred characters; anything near
// this bound is not one, and reading on would only exhaust memory.
constexpr std::size_t kMaxInputCharacters = 65536;

bool ReadHex(const std::string& what, const std::string& text, std::vector<uint8_t>& bytes,
             std::ostream& err) {
  std::string problem;
  if (ParseHexBytes(text, bytes, problem)) return true;
  err << "teds decode: " << what << ": " << problem << '\n';
  return false;
}

// Reads standard input up to its end, or up to and including the first
// character that cannot belong to hexadecimal text, so that endless input of
// the wrong kind is refused at once. False, with a message, when the input
// is too long.
bool ReadInput(std::istream& in, std::string& text, std::ostream& err) {
  std::streambuf* buffer = in.rdbuf();
  for (;;) {
    const int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) break;
    if (text.size() == kMaxInputCharacters) {
      err << "teds decode: standard input: more than " << kMaxInputCharacters
          << " characters, far more than a TEDS image takes\n";
      return false;
    }
    text.push_back(static_cast<char>(c));
    if (orvtext::HexDigitValue(text.back()) < 0 && !orvtext::IsHexSpace(text.back())) break;
  }
  return true;
}

// A DS2430A holds exactly these sizes; other sizes are some other device's
// or a mistake, and would decode into something else.
bool CheckDS2430ASize(const char* what, const std::vector<uint8_t>& bytes, std::size_t size,
                      std::ostream& err) {
  if (bytes.size() == size) return true;
  err << "teds decode: --ds2430a " << what << ": " << bytes.size() << " bytes given; a DS2430A's "
      << what << " holds " << size << '\n';
  return false;
}

}  // namespace

int RunDecode(const DecodeOptions& options, TedsStreams& streams) {
  std::vector<uint8_t> image;
  std::vector<uint8_t> otp;
  std::vector<uint8_t> memory;
  switch (options.source) {
    case DecodeOptions::Source::Image:
      if (!ReadHex("--image", options.imageHex, image, streams.err)) return TEDS_EXIT_BAD_INPUT;
      break;
    case DecodeOptions::Source::DS2430A:
      if (!ReadHex("--ds2430a application register", options.registerHex, otp, streams.err) ||
          !ReadHex("--ds2430a memory", options.memoryHex, memory, streams.err) ||
          !CheckDS2430ASize("application register", otp, TEDSImage::OTP_BYTES, streams.err) ||
          !CheckDS2430ASize("memory", memory, TEDSImage::PAGE_BYTES, streams.err)) {
        return TEDS_EXIT_BAD_INPUT;
      }
      break;
    case DecodeOptions::Source::Stdin: {
      if (streams.interactiveInput) {
        streams.err << "teds decode: reading the image in hexadecimal from standard input;"
                       " end it with an end-of-file (Ctrl-D, or Ctrl-Z Enter on Windows)\n";
      }
      std::string text;
      if (!ReadInput(streams.in, text, streams.err) ||
          !ReadHex("standard input", text, image, streams.err)) {
        return TEDS_EXIT_BAD_INPUT;
      }
      break;
    }
  }

  const TEDSDecoder::Result result = options.source == DecodeOptions::Source::DS2430A
                                         ? TEDSDecoder::DecodeDS2430A(otp, memory)
                                         : TEDSDecoder::Decode(image);
  const int status = result.parsed ? TEDS_EXIT_OK : TEDS_EXIT_PARSE_ERROR;
  if (options.json) {
    JsonDocument document("decode");
    document.SetDecoded(result);
    streams.out << document.Dump(status, false);
    streams.out.flush();
    return status;
  }
  // The whole text is built first so that standard output gets all or nothing
  // of it.
  std::ostringstream text;
  for (bool good : result.verdicts) text << TEDSImage::VerdictText(good) << '\n';
  if (!result.parsed) {
    text << "Template Parse Error : " << result.parseError << '\n';
  } else {
    text << result.transducer->Print();
    for (const std::string& error : result.transducer->PrintErrors()) text << error << '\n';
  }
  streams.out << text.str();
  streams.out.flush();
  return status;
}

void AddDecodeCommand(CLI::App& app, TedsStreams& streams, int& status) {
  auto options = std::make_shared<DecodeOptions>();
  auto ds2430a = std::make_shared<std::vector<std::string>>();
  CLI::App* decode = app.add_subcommand(
      "decode", "Decode a TEDS image given in hexadecimal and print its report");
  decode->footer(kDecodeFooter);
  CLI::Option* image =
      decode->add_option("--image", options->imageHex, "The whole TEDS image")->type_name("HEX");
  CLI::Option* dump =
      decode
          ->add_option("--ds2430a", *ds2430a,
                       "A DS2430A's application register and memory dump, in this order")
          ->type_name("HEX")
          ->expected(2);
  image->excludes(dump);
  decode->add_flag("--json", options->json,
                   "Write one JSON document (see tools/schema/teds.schema.json)");
  decode->callback([options, ds2430a, image, dump, &streams, &status]() {
    if (image->count() > 0) {
      options->source = DecodeOptions::Source::Image;
    } else if (dump->count() > 0) {
      options->source = DecodeOptions::Source::DS2430A;
      options->registerHex = ds2430a->at(0);
      options->memoryHex = ds2430a->at(1);
    } else {
      options->source = DecodeOptions::Source::Stdin;
    }
    status = RunDecode(*options, streams);
  });
}

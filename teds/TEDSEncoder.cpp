#include "teds/TEDSEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <utility>

#include "teds/TEDSImage.h"
#include "teds/TEDSParser.h"
#include "teds/Template25Fields.h"
#include "text/Calendar.h"

namespace {

// A value that cannot be encoded; caught by Encode and turned into its text.
struct Refusal {
  std::string text;
};

[[noreturn]] void Refuse(const std::string& field, const std::string& problem) {
  throw Refusal{field + ": " + problem};
}

std::string Number(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// Packs fields the way the decoder reads them: least significant bit first,
// continuing at any bit offset.
class BitSink {
 public:
  void Put(uint32_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i, ++bits) {
      if (bits % 8 == 0) bytes.push_back(0);
      if ((value >> i) & 1u) bytes.back() = static_cast<uint8_t>(bytes.back() | (1u << (bits % 8)));
    }
  }
  std::vector<uint8_t> bytes;

 private:
  std::size_t bits = 0;
};

uint32_t Ranged(const std::string& field, uint64_t value, uint64_t low, uint64_t high,
                const char* note = "") {
  if (value < low || value > high) {
    Refuse(field, std::to_string(value) + " is outside " + std::to_string(low) + " to " +
                      std::to_string(high) + note);
  }
  return static_cast<uint32_t>(value);
}

uint32_t Bits(const std::string& field, uint64_t value, unsigned width) {
  return Ranged(field, value, 0, (uint64_t{1} << width) - 1);
}

const char kChr5Allowed[] = "space, A to Z, \",\", \".\", \"/\", \"_\" and \"@\"";

uint32_t Chr5Code(const std::string& field, char c) {
  const char* found = c == '\0' ? nullptr : std::strchr(TEDSParser::CHR5_TABLE, c);
  if (found == nullptr) {
    const unsigned byte = static_cast<unsigned char>(c);
    std::string shown =
        byte >= 0x20 && byte < 0x7F ? std::string("\"") + c + "\"" : "byte " + std::to_string(byte);
    Refuse(field, shown + " is not a 5-bit TEDS character (allowed: " + kChr5Allowed + ")");
  }
  return static_cast<uint32_t>(found - TEDSParser::CHR5_TABLE);
}

// A constant-relative-resolution field: the raw value whose reading lies
// nearest to `value`. Accepted are the values from the scale's first to its
// last reading, so that the range stated is the range accepted.
uint32_t NearestRelative(const std::string& name, const template25::Field& field, double value,
                         double& readBack) {
  const double start = field.start;
  const double tolerance = field.scale;
  const char* unit = field.suffix;
  const uint32_t top = template25::Max(field);
  const double low = TEDSParser::ConRelResValue(0, start, tolerance);
  const double high = TEDSParser::ConRelResValue(top, start, tolerance);
  // The ends as printed, or the exact ends where printing rounded them
  // inwards: a decoded end value encodes again.
  const double lowest = std::min(low, std::stod(Number(low)));
  const double highest = std::max(high, std::stod(Number(high)));
  if (!(value >= lowest && value <= highest)) {
    Refuse(name,
           Number(value) + unit + " is outside " + Number(low) + " to " + Number(high) + unit);
  }
  const double guess = std::log(value / start) / std::log(1.0 + 2.0 * tolerance);
  const int64_t around = static_cast<int64_t>(std::floor(guess));
  uint32_t best = 0;
  double bestDistance = INFINITY;
  for (int64_t raw = around - 1; raw <= around + 2; ++raw) {
    if (raw < 0 || raw > top) continue;
    const double reading = TEDSParser::ConRelResValue(static_cast<uint32_t>(raw), start, tolerance);
    if (std::fabs(reading - value) < bestDistance) {
      bestDistance = std::fabs(reading - value);
      best = static_cast<uint32_t>(raw);
    }
  }
  readBack = TEDSParser::ConRelResValue(best, start, tolerance);
  return best;
}

// A constant-resolution field (%RefTemp): the nearest raw value.
uint32_t NearestConstant(const std::string& name, const template25::Field& field, double value,
                         double& readBack) {
  const double start = field.start;
  const double step = field.scale;
  const uint32_t top = template25::Max(field);
  const double high = TEDSParser::ConResValue(top, start, step);
  if (!(value >= start && value <= high)) {
    Refuse(name, Number(value) + field.suffix + " is outside " + Number(start) + " to " +
                     Number(high) + field.suffix);
  }
  const double raw = std::round((value - start) / step);
  const uint32_t clamped = raw < 0 ? 0 : raw > top ? top : static_cast<uint32_t>(raw);
  readBack = TEDSParser::ConResValue(clamped, start, step);
  return clamped;
}

// Dates are stored as whole days since 1998-01-01; a time within a day
// stands for that day.
uint32_t DateDays(const std::string& field, int64_t seconds, int64_t& readBack) {
  const int64_t day = orvtext::DayOf(seconds);
  const int64_t days = day - TEDSParser::DATE_EPOCH_DAYS;
  if (days < 0 || days > 65535) {
    Refuse(field, TEDSEncoder::FormatDate(seconds) + " is outside " +
                      TEDSEncoder::FormatDate(TEDSParser::DATE_EPOCH_DAYS * 86400) + " to " +
                      TEDSEncoder::FormatDate((TEDSParser::DATE_EPOCH_DAYS + 65535) * 86400));
  }
  readBack = day * 86400;
  return static_cast<uint32_t>(days);
}

void PutInitials(BitSink& sink, const std::string& field, const std::string& initials,
                 std::string& readBack) {
  if (initials.size() > 3) {
    Refuse(field, "\"" + initials + "\" has more than 3 characters");
  }
  // Shorter initials are filled with spaces, as the decoder shows code 0.
  readBack = initials + std::string(3 - initials.size(), ' ');
  for (char c : readBack) sink.Put(Chr5Code(field, c), 5);
}

void PutBasic(BitSink& sink, const TEDSBasicDatasheet& in, TEDSBasicDatasheet& out) {
  out = in;
  sink.Put(Ranged("manufacturerID", in.manufacturerID, 17, 16382,
                  " (0 to 16 and 16383 announce no Basic TEDS)"),
           14);
  sink.Put(Bits("modelNumber", in.modelNumber, 15), 15);
  sink.Put(Chr5Code("versionLetter", in.versionLetter), 5);
  sink.Put(Bits("versionNumber", in.versionNumber, 6), 6);
  sink.Put(Bits("serialNumber", in.serialNumber, 24), 24);
}

// One field of the template 25 layout; `out` receives what the decoder
// will read back.
void PutField(BitSink& sink, const std::string& name, const template25::Field& field,
              const TEDSTemplate25::Data& in, TEDSTemplate25::Data& out) {
  using template25::Kind;
  using template25::Value;
  uint32_t raw = 0;
  switch (field.kind) {
    case Kind::Select:
    case Kind::Unsigned:
      raw = Ranged(name, template25::Raw(in, field), 0, template25::Max(field), field.suffix);
      template25::SetRaw(out, field, raw);
      break;
    case Kind::Relative:
      raw = NearestRelative(name, field, Value<double>(in, field), Value<double>(out, field));
      break;
    case Kind::Constant:
      raw = NearestConstant(name, field, Value<double>(in, field), Value<double>(out, field));
      break;
    case Kind::Date:
      raw = DateDays(name, Value<int64_t>(in, field), Value<int64_t>(out, field));
      break;
    case Kind::Chr5:
      PutInitials(sink, name, Value<std::string>(in, field), Value<std::string>(out, field));
      return;
  }
  sink.Put(raw, field.width);
}

// Selector 0 (standard template), template ID 25, then the fields in the
// order the decoder reads them. `out` starts as an empty record: a field the
// selects leave out reads back as its default.
void PutTemplate25(BitSink& sink, const std::string& at, const TEDSTemplate25::Data& in,
                   TEDSTemplate25::Data& out) {
  out = TEDSTemplate25::Data();
  sink.Put(0, 2);
  sink.Put(25, 8);
  if (in.force) Refuse(at + "force", "force transducers cannot be written (only acceleration)");
  for (const template25::Field& field : template25::kFields) {
    if (template25::Present(field, in)) PutField(sink, at + field.name, field, in, out);
  }
}

}  // namespace

TEDSEncoder::Result TEDSEncoder::Encode(const TEDSBasicDatasheet& basic,
                                        const std::vector<TEDSTemplate25::Data>& templates) {
  Result result;
  try {
    BitSink sink;
    PutBasic(sink, basic, result.basic);
    result.templates.resize(templates.size());
    for (std::size_t i = 0; i < templates.size(); ++i) {
      // Fields of the second and later templates are named with their place.
      const std::string at =
          templates.size() == 1 ? "" : "template " + std::to_string(i + 1) + ": ";
      PutTemplate25(sink, at, templates[i], result.templates[i]);
    }
    result.image = std::move(sink.bytes);
    result.ok = true;
  } catch (const Refusal& refusal) {
    result = Result();
    result.error = refusal.text;
  }
  return result;
}

TEDSEncoder::Result TEDSEncoder::EncodeDS2430A(const TEDSBasicDatasheet& basic,
                                               const std::vector<TEDSTemplate25::Data>& templates) {
  Result result = Encode(basic, templates);
  if (!result.ok) return result;
  Result laidOut = LayOutDS2430A(result.image);
  if (!laidOut.ok) return laidOut;
  result.application = std::move(laidOut.application);
  result.memory = std::move(laidOut.memory);
  return result;
}

TEDSEncoder::Result TEDSEncoder::LayOutDS2430A(const std::vector<uint8_t>& image) {
  Result result;
  if (image.size() > DS2430A_IMAGE_BYTES) {
    result.error = "image: " + std::to_string(image.size()) +
                   " bytes do not fit one DS2430A (at most " + std::to_string(DS2430A_IMAGE_BYTES) +
                   ": 8 in the application register, 31 in memory)";
    return result;
  }
  result.image = image;
  std::vector<uint8_t> padded = image;
  padded.resize(DS2430A_IMAGE_BYTES, 0x00);
  result.application.assign(padded.begin(), padded.begin() + TEDSImage::OTP_BYTES);
  result.memory.assign(1, 0x00);
  result.memory.insert(result.memory.end(), padded.begin() + TEDSImage::OTP_BYTES, padded.end());
  result.memory[0] = PageChecksum(result.application, result.memory);
  result.ok = true;
  return result;
}

uint8_t TEDSEncoder::PageChecksum(const std::vector<uint8_t>& application,
                                  const std::vector<uint8_t>& memory) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < application.size() && i < TEDSImage::OTP_BYTES; ++i) {
    sum += application[i];
  }
  for (std::size_t i = 1; i < memory.size() && i < TEDSImage::PAGE_BYTES; ++i) sum += memory[i];
  return static_cast<uint8_t>((256 - sum % 256) % 256);
}

bool TEDSEncoder::ParseDate(const std::string& text, int64_t& seconds) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  const int64_t year = std::stoll(text.substr(0, 4));
  const unsigned month = static_cast<unsigned>(std::stoul(text.substr(5, 2)));
  const unsigned day = static_cast<unsigned>(std::stoul(text.substr(8, 2)));
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  const int64_t days = orvtext::DaysFromCivil(year, month, day);
  int64_t y = 0;
  unsigned m = 0;
  unsigned d = 0;
  orvtext::CivilFromDays(days, y, m, d);
  if (m != month || d != day) return false;  // 2021-02-30 and the like
  seconds = days * 86400;
  return true;
}

std::string TEDSEncoder::FormatDate(int64_t seconds) { return orvtext::DateText(seconds); }

namespace {

using Limit = TEDSEncoder::FieldLimit;

Limit Whole(const char* name, bool basic, uint64_t low, uint64_t high, const char* unit = "",
            const char* note = "") {
  return {name, basic, Limit::Kind::Integer, double(low), double(high), std::to_string(low),
          std::to_string(high), unit, note};
}

// What the encoder accepts for one template 25 field, from the same table
// entry the encoder walks. The refusals' suffix is " unit" for a scaled
// field and " (meaning)" for a ranged one.
Limit TableLimit(const template25::Field& field, const std::string& chr5) {
  using template25::Kind;
  const std::string suffix = field.suffix;
  switch (field.kind) {
    case Kind::Relative:
    case Kind::Constant: {
      const uint32_t top = template25::Max(field);
      const bool relative = field.kind == Kind::Relative;
      const double low = relative ? TEDSParser::ConRelResValue(0, field.start, field.scale)
                                  : TEDSParser::ConResValue(0, field.start, field.scale);
      const double high = relative ? TEDSParser::ConRelResValue(top, field.start, field.scale)
                                   : TEDSParser::ConResValue(top, field.start, field.scale);
      return {field.name,   false,        Limit::Kind::Scaled, low, high, Number(low),
              Number(high), suffix.substr(1), ""};
    }
    case Kind::Date: {
      const int64_t first = TEDSParser::DATE_EPOCH_DAYS * 86400;
      const int64_t last = (TEDSParser::DATE_EPOCH_DAYS + 65535) * 86400;
      return {field.name,
              false,
              Limit::Kind::Date,
              double(first),
              double(last),
              TEDSEncoder::FormatDate(first),
              TEDSEncoder::FormatDate(last),
              "",
              ""};
    }
    case Kind::Chr5: {
      const unsigned chars = field.width / 5;
      return {field.name, false, Limit::Kind::Text, 0, double(chars), "0", std::to_string(chars),
              "", chr5};
    }
    default: {
      const std::string note = suffix.size() > 3 ? suffix.substr(2, suffix.size() - 3) : "";
      Limit limit = Whole(field.name, false, 0, template25::Max(field), field.unit);
      limit.note = note;
      return limit;
    }
  }
}

}  // namespace

std::vector<TEDSEncoder::FieldLimit> TEDSEncoder::FieldLimits() {
  const std::string chr5 = std::string("allowed: ") + kChr5Allowed;
  std::vector<FieldLimit> limits = {
      Whole("manufacturerID", true, 17, 16382, "", "0 to 16 and 16383 announce no Basic TEDS"),
      Whole("modelNumber", true, 0, 32767),
      {"versionLetter", true, FieldLimit::Kind::Text, 1, 1, "1", "1", "", chr5},
      Whole("versionNumber", true, 0, 63),
      Whole("serialNumber", true, 0, 16777215),
  };
  // The selects are not values a form types: they follow from the fields given.
  for (const template25::Field& field : template25::kFields) {
    if (field.kind != template25::Kind::Select) limits.push_back(TableLimit(field, chr5));
  }
  return limits;
}

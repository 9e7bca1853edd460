#include "teds/TEDSEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sstream>
#include <utility>

#include "teds/TEDSImage.h"
#include "teds/TEDSParser.h"
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

// The constant-relative-resolution scales: width in bits, first reading,
// tolerance, and the unit as the messages print it.
struct RelativeScale {
  unsigned width;
  double start;
  double tolerance;
  const char* unit;
};
constexpr RelativeScale kSensRef{16, 5e-7, 0.00015, " V/(m/s^2)"};
constexpr RelativeScale kTfHpS{8, 0.005, 0.03, " Hz"};
constexpr RelativeScale kWeight{6, 0.1, 0.1, " g"};
constexpr RelativeScale kRefFreq{8, 0.35, 0.0175, " Hz"};
// %RefTemp, the one constant-resolution field: 5 bits from 15 in steps of 0.5.
constexpr double kRefTempStart = 15.0;
constexpr double kRefTempStep = 0.5;

// A constant-relative-resolution field: the raw value whose reading lies
// nearest to `value`. Accepted are the values from the scale's first to its
// last reading, so that the range stated is the range accepted.
uint32_t NearestRelative(const std::string& field, double value, const RelativeScale& scale,
                         double& readBack) {
  const unsigned width = scale.width;
  const double start = scale.start;
  const double tolerance = scale.tolerance;
  const char* const unit = scale.unit;
  const uint32_t top = (1u << width) - 1;
  const double low = TEDSParser::ConRelResValue(0, start, tolerance);
  const double high = TEDSParser::ConRelResValue(top, start, tolerance);
  // The ends as printed, or the exact ends where printing rounded them
  // inwards: a decoded end value encodes again.
  const double lowest = std::min(low, std::stod(Number(low)));
  const double highest = std::max(high, std::stod(Number(high)));
  if (!(value >= lowest && value <= highest)) {
    Refuse(field,
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

// The one constant-resolution field, %RefTemp: 5 bits from 15 in steps of 0.5.
uint32_t NearestConstant(const std::string& field, double value, double& readBack) {
  const double start = kRefTempStart;
  const double step = kRefTempStep;
  const double high = TEDSParser::ConResValue(31, start, step);
  if (!(value >= start && value <= high)) {
    Refuse(field,
           Number(value) + " *C is outside " + Number(start) + " to " + Number(high) + " *C");
  }
  const double raw = std::round((value - start) / step);
  const uint32_t clamped = raw < 0 ? 0 : raw > 31 ? 31 : static_cast<uint32_t>(raw);
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

void PutStandardOrExtended(BitSink& sink, const std::string& at, const TEDSTemplate25::Data& in,
                           TEDSTemplate25::Data& out) {
  sink.Put(in.extended ? 1 : 0, 1);
  if (!in.extended) {
    sink.Put(
        NearestRelative(at + "sensRef", in.sensRef, kSensRef, out.sensRef),
        16);
    sink.Put(NearestRelative(at + "tfHpS", in.tfHpS, kTfHpS, out.tfHpS), 8);
    // The extended group's values are not written, so they read back as 0.
    out.defaultFR = out.passive = 0;
    out.sensRef01 = out.sensRef10 = out.tfHpS01 = out.tfHpS10 = 0;
    return;
  }
  // The extended group carries raw values only; the scaled pair reads as 0.
  out.sensRef = 0.0;
  out.tfHpS = 0.0;
  sink.Put(Bits(at + "defaultFR", in.defaultFR, 2), 2);
  sink.Put(Bits(at + "passive", in.passive, 1), 1);
  sink.Put(Bits(at + "sensRef01", in.sensRef01, 16), 16);
  sink.Put(Bits(at + "sensRef10", in.sensRef10, 16), 16);
  sink.Put(Bits(at + "tfHpS01", in.tfHpS01, 8), 8);
  sink.Put(Bits(at + "tfHpS10", in.tfHpS10, 8), 8);
}

void PutTransferFunction(BitSink& sink, const std::string& at, const TEDSTemplate25::Data& in,
                         TEDSTemplate25::Data& out) {
  sink.Put(in.transferFunction ? 1 : 0, 1);
  if (!in.transferFunction) {
    out.tfSp = out.tfKPr = out.tfKPq = out.tfSl = out.tempCoef = 0;
    return;
  }
  sink.Put(Bits(at + "tfSp", in.tfSp, 7), 7);
  sink.Put(Bits(at + "tfKPr", in.tfKPr, 9), 9);
  sink.Put(Bits(at + "tfKPq", in.tfKPq, 9), 9);
  sink.Put(Bits(at + "tfSl", in.tfSl, 7), 7);
  sink.Put(Bits(at + "tempCoef", in.tempCoef, 6), 6);
}

// Selector 0 (standard template), template ID 25, then the fields in the
// order the decoder reads them.
void PutTemplate25(BitSink& sink, const std::string& at, const TEDSTemplate25::Data& in,
                   TEDSTemplate25::Data& out) {
  out = in;
  sink.Put(0, 2);
  sink.Put(25, 8);
  if (in.force) Refuse(at + "force", "force transducers cannot be written (only acceleration)");
  sink.Put(0, 1);
  PutStandardOrExtended(sink, at, in, out);
  sink.Put(Ranged(at + "direction", in.direction, 0, 2, " (0 X, 1 Y, 2 Z)"), 2);
  sink.Put(NearestRelative(at + "weight", in.weight, kWeight, out.weight), 6);
  sink.Put(Ranged(at + "sign", in.sign, 0, 1, " (0 positive, 1 negative)"), 1);
  PutTransferFunction(sink, at, in, out);
  sink.Put(NearestRelative(at + "refFreq", in.refFreq, kRefFreq, out.refFreq), 8);
  sink.Put(NearestConstant(at + "refTemp", in.refTemp, out.refTemp), 5);
  sink.Put(DateDays(at + "calDate", in.calDate, out.calDate), 16);
  PutInitials(sink, at + "calInitials", in.calInitials, out.calInitials);
  sink.Put(Bits(at + "calPeriod", in.calPeriod, 12), 12);
  sink.Put(Bits(at + "measID", in.measID, 11), 11);
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

TEDSEncoder::FieldLimit Whole(const char* name, bool basic, uint64_t low, uint64_t high,
                              const char* unit = "", const char* note = "") {
  return {name,          basic,         TEDSEncoder::FieldLimit::Kind::Integer,
          double(low),   double(high),  std::to_string(low),
          std::to_string(high), unit,   note};
}

TEDSEncoder::FieldLimit Scaled(const char* name, const RelativeScale& scale) {
  const double low = TEDSParser::ConRelResValue(0, scale.start, scale.tolerance);
  const double high =
      TEDSParser::ConRelResValue((1u << scale.width) - 1, scale.start, scale.tolerance);
  // The unit without the space the messages put before it.
  return {name, false, TEDSEncoder::FieldLimit::Kind::Scaled, low, high, Number(low), Number(high),
          scale.unit + 1, ""};
}

}  // namespace

std::vector<TEDSEncoder::FieldLimit> TEDSEncoder::FieldLimits() {
  using Kind = FieldLimit::Kind;
  const std::string chr5 = std::string("allowed: ") + kChr5Allowed;
  const double refTempHigh = TEDSParser::ConResValue(31, kRefTempStart, kRefTempStep);
  const int64_t firstDay = TEDSParser::DATE_EPOCH_DAYS * 86400;
  const int64_t lastDay = (TEDSParser::DATE_EPOCH_DAYS + 65535) * 86400;
  return {
      Whole("manufacturerID", true, 17, 16382, "", "0 to 16 and 16383 announce no Basic TEDS"),
      Whole("modelNumber", true, 0, 32767),
      {"versionLetter", true, Kind::Text, 1, 1, "1", "1", "", chr5},
      Whole("versionNumber", true, 0, 63),
      Whole("serialNumber", true, 0, 16777215),
      Scaled("sensRef", kSensRef),
      Scaled("tfHpS", kTfHpS),
      Whole("defaultFR", false, 0, 3),
      Whole("passive", false, 0, 1),
      Whole("sensRef01", false, 0, 65535),
      Whole("sensRef10", false, 0, 65535),
      Whole("tfHpS01", false, 0, 255),
      Whole("tfHpS10", false, 0, 255),
      Whole("direction", false, 0, 2, "", "0 X, 1 Y, 2 Z"),
      Scaled("weight", kWeight),
      Whole("sign", false, 0, 1, "", "0 positive, 1 negative"),
      Whole("tfSp", false, 0, 127),
      Whole("tfKPr", false, 0, 511),
      Whole("tfKPq", false, 0, 511),
      Whole("tfSl", false, 0, 127),
      Whole("tempCoef", false, 0, 63),
      Scaled("refFreq", kRefFreq),
      {"refTemp", false, Kind::Scaled, kRefTempStart, refTempHigh, Number(kRefTempStart),
       Number(refTempHigh), "*C", ""},
      {"calDate", false, Kind::Date, double(firstDay), double(lastDay), FormatDate(firstDay),
       FormatDate(lastDay), "", ""},
      {"calInitials", false, Kind::Text, 0, 3, "0", "3", "", chr5},
      Whole("calPeriod", false, 0, 4095, "days"),
      Whole("measID", false, 0, 2047),
  };
}

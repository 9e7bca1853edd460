#include "teds/TEDSTemplate25.h"

#include <sstream>

#include "teds/TEDSException.h"
#include "text/Calendar.h"

TEDSTemplate25::TEDSTemplate25(const Data& data) : data(data) {}

std::string TEDSTemplate25::GetName() const {
  return "Accelerometer/Force transducer with constant current amplifier";
}

void TEDSTemplate25::ParseFail(const TEDSParser& reader, const std::string& message,
                               unsigned width) {
  throw TEDSParse25Exception(reader.FormatError(message, width));
}

std::shared_ptr<TEDSTemplate> TEDSTemplate25::Parse(TEDSParser& reader) {
  // Each failure names the failing field's bits from its first bit, so the
  // reader is copied before every field is read.
  auto field = [&reader](unsigned width, const char* text) -> uint32_t {
    const TEDSParser start = reader;
    uint32_t value = 0;
    if (!reader.ReadUnInt(width, value)) ParseFail(start, text, width);
    return value;
  };
  auto scaled = [&reader](unsigned width, double start, double tolerance,
                          const char* text) -> double {
    const TEDSParser at = reader;
    double value = 0.0;
    if (!reader.ReadConRelRes(width, start, tolerance, value)) ParseFail(at, text, width);
    return value;
  };
  Data d;

  TEDSParser at = reader;
  if (field(1, "Invalid Acceleration / Force bit") == 1) {
    ParseFail(at, "Force not supported", 1);
  }
  d.force = false;

  d.extended = field(1, "Invalid Extended Functionality bit") == 1;
  if (!d.extended) {
    d.sensRef = scaled(16, 5e-7, 0.00015, "Invalid value for %Sens@Ref");
    d.tfHpS = scaled(8, 0.005, 0.03, "Invalid value for %TF_HP_S");
  } else {
    // The case labels sit between the Windows-1252 quotation marks 0x93 and
    // 0x94; the literals are split so that the digits are not taken into the
    // hexadecimal escapes.
    d.defaultFR = field(2, "Invalid value for %DefaultFR");
    d.passive = field(1, "Invalid value for %Passive");
    d.sensRef01 = field(16, "Invalid value for %Sens@Ref[\x93" "01\x94]");
    d.sensRef10 = field(16, "Invalid value for %Sens@Ref[\x93" "10\x94]");
    d.tfHpS01 = field(8, "Invalid value for %TF_HP_S[\x93" "01\x94]");
    d.tfHpS10 = field(8, "Invalid value for %TF_HP_S[\x93" "10\x94]");
  }

  at = reader;
  d.direction = field(2, "Invalid value for %Direction");
  if (d.direction == 3) ParseFail(at, "Invalid value for %Direction", 2);
  d.weight = scaled(6, 0.1, 0.1, "Invalid value for %Weight");
  d.sign = field(1, "Invalid value for %Sign");

  d.transferFunction = field(1, "Invalid Transfer Function bit") == 1;
  if (d.transferFunction) {
    // Kept raw: the acceleration report has no place for the group.
    d.tfSp = field(7, "Invalid value for %TF_SP");
    d.tfKPr = field(9, "Invalid value for %TF_KPr");
    d.tfKPq = field(9, "Invalid value for %TF_KPq");
    d.tfSl = field(7, "Invalid value for %TF_SL");
    d.tempCoef = field(6, "Invalid value for %TempCoef");
  }

  d.refFreq = scaled(8, 0.35, 0.0175, "Invalid value for %Reffreq");
  at = reader;
  if (!reader.ReadConRes(15.0, 0.5, d.refTemp)) ParseFail(at, "Invalid value for %RefTemp", 5);
  at = reader;
  if (!reader.ReadDate(d.calDate)) ParseFail(at, "Invalid value for %CalDate", 16);
  at = reader;
  if (!reader.ReadChr5String(d.calInitials)) {
    ParseFail(at, "Invalid value for %CalInitials", 15);
  }
  d.calPeriod = field(12, "Invalid value for %CalPeriod");
  d.measID = field(11, "Invalid value for %MeasID");

  // make_shared needs a public constructor; this local class lends it the
  // protected one, so object and count are allocated together and the
  // enable_shared_from_this link is set.
  struct make_shared_enabler : public TEDSTemplate25 {
    explicit make_shared_enabler(const Data& data) : TEDSTemplate25(data) {}
  };
  return std::make_shared<make_shared_enabler>(d);
}

std::string TEDSTemplate25::Print() const {
  static const char* const kDirections[] = {"X", "Y", "Z"};
  static const char* const kSigns[] = {"POSITIVE", "NEGATIVE"};
  std::ostringstream text;
  text.setf(std::ios::fixed, std::ios::floatfield);
  text.precision(6);
  text << "Template 25 - " << GetName() << ":\n";
  text << "  Measurement:\n";
  if (!data.force) {
    text << "    Accelerometer:\n";
    text << "      %Sens@Ref:    " << data.sensRef << " V/(m/s^2)\n";
    text << "      %TF_HP_S:     " << data.tfHpS << " Hz\n";
  }
  if (data.direction < 3) text << "    %Direction:     " << kDirections[data.direction] << '\n';
  text << "    %Weight:        " << data.weight << " g\n";
  text << "  Electrical signal output:\n";
  if (data.sign < 2) text << "    %Sign:          " << kSigns[data.sign] << '\n';
  text << "  Calibration Information:\n";
  text << "    %Reffreq:       " << data.refFreq << " Hz\n";
  text << "    %RefTemp:       " << data.refTemp << " *C\n";
  text << "    %CalDate:       " << orvtext::DateText(data.calDate) << '\n';
  text << "    %CalInitials:   " << data.calInitials << '\n';
  text << "    %CalPeriod:     " << data.calPeriod << " days\n";
  text << "  Misc.:\n";
  text << "    %MeasID:        " << data.measID << '\n';
  return text.str();
}

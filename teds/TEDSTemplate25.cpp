#include "teds/TEDSTemplate25.h"

#include <sstream>

#include "teds/TEDSException.h"
#include "teds/Template25Fields.h"
#include "text/Calendar.h"

TEDSTemplate25::TEDSTemplate25(const Data& data) : data(data) {}

std::string TEDSTemplate25::GetName() const {
  return "Accelerometer/Force transducer with constant current amplifier";
}

void TEDSTemplate25::ParseFail(const TEDSParser& reader, const std::string& message,
                               unsigned width) {
  throw TEDSParse25Exception(reader.FormatError(message, width));
}

namespace {

// Reads one field of the layout into `data`; false when it cannot be read.
bool ReadField(TEDSParser& reader, const template25::Field& field, TEDSTemplate25::Data& data) {
  using template25::Kind;
  using template25::Value;
  uint32_t raw = 0;
  switch (field.kind) {
    case Kind::Select:
    case Kind::Unsigned:
      if (!reader.ReadUnInt(field.width, raw) || raw > template25::Max(field)) return false;
      template25::SetRaw(data, field, raw);
      return true;
    case Kind::Relative:
      return reader.ReadConRelRes(field.width, field.start, field.scale,
                                  Value<double>(data, field));
    case Kind::Constant:
      return reader.ReadConRes(field.start, field.scale, Value<double>(data, field));
    case Kind::Date:
      return reader.ReadDate(Value<int64_t>(data, field));
    case Kind::Chr5:
      return reader.ReadChr5String(Value<std::string>(data, field));
  }
  return false;
}

}  // namespace

std::shared_ptr<TEDSTemplate> TEDSTemplate25::Parse(TEDSParser& reader) {
  Data d;
  for (const template25::Field& field : template25::kFields) {
    if (!template25::Present(field, d)) continue;
    // A failure names the field's bits from its first bit.
    const TEDSParser at = reader;
    if (!ReadField(reader, field, d)) {
      ParseFail(at,
                field.kind == template25::Kind::Select
                    ? std::string("Invalid ") + field.label + " bit"
                    : std::string("Invalid value for ") + field.label,
                field.width);
    }
    // Only acceleration is decoded: the force select, the first field, must be 0.
    if (d.force) ParseFail(at, "Force not supported", field.width);
  }

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

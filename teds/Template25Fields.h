#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "teds/TEDSTemplate25.h"

// The bit layout of template 25, from the first bit after the template ID,
// in reading order: one table that both the decoder (TEDSTemplate25::Parse)
// and the encoder (TEDSEncoder) walk, so that the two cannot drift apart.
namespace template25 {

using Data = TEDSTemplate25::Data;

// How a field's bits stand for its value.
enum class Kind {
  Acceleration,  // the Acceleration / Force select: only 0, acceleration, is decoded
  Select,        // 1 bit that says whether a group of fields follows
  Unsigned,      // `width` bits, raw values 0 to `max`
  Relative,      // constant relative resolution: start * (1 + 2 * scale)^raw
  Constant,      // constant resolution: start + raw * scale (5 bits)
  Date,          // 16 bits: days since 1998-01-01
  Chr5,          // three 5-bit characters
};

// The fields present depend on the selects read before them.
enum class Group { Always, Standard, Extended, TransferFunction };

// The member of Data that holds a field's value.
using Member = std::variant<bool Data::*, uint32_t Data::*, uint64_t Data::*, double Data::*,
                            int64_t Data::*, std::string Data::*>;

struct Field {
  Kind kind;
  Group group;
  unsigned width;
  Member member;
  const char* name;    // the member's name, as the encoder's refusals say it
  const char* label;   // the field's name in the template, as the decoder's messages say it
  double start = 0.0;  // Relative and Constant: the first reading
  double scale = 0.0;  // Relative: the tolerance; Constant: the step
  uint32_t max = 0;    // Unsigned: the highest valid raw value (0: all that fit)
  // What the encoder's refusals put after a number: the unit of a scaled
  // value, or what the values of a ranged one mean.
  const char* suffix = "";
};

// The quoted case labels of the extended group sit between the
// Windows-1252 quotation marks 0x93 and 0x94; the literals are split so that
// the digits are not taken into the hexadecimal escapes.
inline const Field kFields[] = {
    {Kind::Acceleration, Group::Always, 1, &Data::force, "force", "Acceleration / Force"},
    {Kind::Select, Group::Always, 1, &Data::extended, "extended", "Extended Functionality"},
    {Kind::Relative, Group::Standard, 16, &Data::sensRef, "sensRef", "%Sens@Ref", 5e-7, 0.00015, 0,
     " V/(m/s^2)"},
    {Kind::Relative, Group::Standard, 8, &Data::tfHpS, "tfHpS", "%TF_HP_S", 0.005, 0.03, 0, " Hz"},
    {Kind::Unsigned, Group::Extended, 2, &Data::defaultFR, "defaultFR", "%DefaultFR"},
    {Kind::Unsigned, Group::Extended, 1, &Data::passive, "passive", "%Passive"},
    {Kind::Unsigned, Group::Extended, 16, &Data::sensRef01, "sensRef01",
     "%Sens@Ref[\x93"
     "01\x94]"},
    {Kind::Unsigned, Group::Extended, 16, &Data::sensRef10, "sensRef10",
     "%Sens@Ref[\x93"
     "10\x94]"},
    {Kind::Unsigned, Group::Extended, 8, &Data::tfHpS01, "tfHpS01",
     "%TF_HP_S[\x93"
     "01\x94]"},
    {Kind::Unsigned, Group::Extended, 8, &Data::tfHpS10, "tfHpS10",
     "%TF_HP_S[\x93"
     "10\x94]"},
    {Kind::Unsigned, Group::Always, 2, &Data::direction, "direction", "%Direction", 0, 0, 2,
     " (0 X, 1 Y, 2 Z)"},
    {Kind::Relative, Group::Always, 6, &Data::weight, "weight", "%Weight", 0.1, 0.1, 0, " g"},
    {Kind::Unsigned, Group::Always, 1, &Data::sign, "sign", "%Sign", 0, 0, 1,
     " (0 positive, 1 negative)"},
    {Kind::Select, Group::Always, 1, &Data::transferFunction, "transferFunction",
     "Transfer Function"},
    // Kept raw: the acceleration report has no place for the group.
    {Kind::Unsigned, Group::TransferFunction, 7, &Data::tfSp, "tfSp", "%TF_SP"},
    {Kind::Unsigned, Group::TransferFunction, 9, &Data::tfKPr, "tfKPr", "%TF_KPr"},
    {Kind::Unsigned, Group::TransferFunction, 9, &Data::tfKPq, "tfKPq", "%TF_KPq"},
    {Kind::Unsigned, Group::TransferFunction, 7, &Data::tfSl, "tfSl", "%TF_SL"},
    {Kind::Unsigned, Group::TransferFunction, 6, &Data::tempCoef, "tempCoef", "%TempCoef"},
    {Kind::Relative, Group::Always, 8, &Data::refFreq, "refFreq", "%Reffreq", 0.35, 0.0175, 0,
     " Hz"},
    {Kind::Constant, Group::Always, 5, &Data::refTemp, "refTemp", "%RefTemp", 15.0, 0.5, 0, " *C"},
    {Kind::Date, Group::Always, 16, &Data::calDate, "calDate", "%CalDate"},
    {Kind::Chr5, Group::Always, 15, &Data::calInitials, "calInitials", "%CalInitials"},
    {Kind::Unsigned, Group::Always, 12, &Data::calPeriod, "calPeriod", "%CalPeriod"},
    {Kind::Unsigned, Group::Always, 11, &Data::measID, "measID", "%MeasID"},
};

// Whether the field is in the image of `data`: the selects (read or written
// before the fields they govern) decide.
inline bool Present(const Field& field, const Data& data) {
  switch (field.group) {
    case Group::Standard:
      return !data.extended;
    case Group::Extended:
      return data.extended;
    case Group::TransferFunction:
      return data.transferFunction;
    default:
      return true;
  }
}

// The highest raw value the field accepts.
inline uint32_t Max(const Field& field) {
  return field.max != 0 ? field.max : static_cast<uint32_t>((uint64_t{1} << field.width) - 1);
}

// The member of `data` that holds the field, as the type it has.
template <typename T>
T& Value(Data& data, const Field& field) {
  return data.*std::get<T Data::*>(field.member);
}
template <typename T>
const T& Value(const Data& data, const Field& field) {
  return data.*std::get<T Data::*>(field.member);
}

// An integer field's raw value, whatever integer (or bool)
// type its member has.
inline uint64_t Raw(const Data& data, const Field& field) {
  return std::visit(
      [&data](auto member) -> uint64_t {
        using T = std::decay_t<decltype(data.*member)>;
        if constexpr (std::is_integral_v<T>) return static_cast<uint64_t>(data.*member);
        return 0;
      },
      field.member);
}
inline void SetRaw(Data& data, const Field& field, uint32_t raw) {
  std::visit(
      [&data, raw](auto member) {
        using T = std::decay_t<decltype(data.*member)>;
        if constexpr (std::is_integral_v<T>) data.*member = static_cast<T>(raw);
      },
      field.member);
}

// Puts the field's member back to what a record holds when the image does
// not carry the field.
inline void Reset(Data& data, const Field& field) {
  std::visit([&data](auto member) { data.*member = Data{}.*member; }, field.member);
}

}  // namespace template25

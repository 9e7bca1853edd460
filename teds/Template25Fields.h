#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "teds/TEDSTemplate25.h"

// The bit layout of template 25 after the template ID, in reading order: the
// one table that the decoder (TEDSTemplate25::Parse) and the encoder
// (TEDSEncoder) both walk.
namespace template25 {

using Data = TEDSTemplate25::Data;

enum class Kind {
  Select,    // 1 bit; the extended and transfer function selects govern groups
  Unsigned,  // `width` bits, raw values 0 to Max
  Relative,  // constant relative resolution: start * (1 + 2 * scale)^raw
  Constant,  // constant resolution: start + raw * scale (5 bits)
  Date,      // 16 bits: days since 1998-01-01
  Chr5,      // three 5-bit characters
};
// Which select a field depends on.
enum class Group { Always, Standard, Extended, TransferFunction };

using Member = std::variant<bool Data::*, uint32_t Data::*, uint64_t Data::*, double Data::*,
                            int64_t Data::*, std::string Data::*>;

struct Field {
  Kind kind;
  Group group;
  unsigned width;
  Member member;
  const char* name;    // the member's name, as the encoder's refusals say it
  const char* label;   // the template's name for it, as the decoder's messages say it
  double start = 0.0;  // Relative and Constant: the first reading
  double scale = 0.0;  // Relative: the tolerance; Constant: the step
  uint32_t max = 0;    // Unsigned: the highest valid raw value (0: all that fit)
  // What the encoder's refusals put after a number: a scaled value's unit,
  // or the meaning of a ranged one's values.
  const char* suffix = "";
  // Unsigned: the unit of the count, for forms (the refusals do not name it).
  const char* unit = "";
};

// \223 and \224 are the Windows-1252 quotation marks around a case label.
inline const Field kFields[] = {
    {Kind::Select, Group::Always, 1, &Data::force, "force", "Acceleration / Force"},
    {Kind::Select, Group::Always, 1, &Data::extended, "extended", "Extended Functionality"},
    {Kind::Relative, Group::Standard, 16, &Data::sensRef, "sensRef", "%Sens@Ref", 5e-7, 0.00015, 0,
     " V/(m/s^2)"},
    {Kind::Relative, Group::Standard, 8, &Data::tfHpS, "tfHpS", "%TF_HP_S", 0.005, 0.03, 0, " Hz"},
    {Kind::Unsigned, Group::Extended, 2, &Data::defaultFR, "defaultFR", "%DefaultFR"},
    {Kind::Unsigned, Group::Extended, 1, &Data::passive, "passive", "%Passive"},
    {Kind::Unsigned, Group::Extended, 16, &Data::sensRef01, "sensRef01", "%Sens@Ref[\22301\224]"},
    {Kind::Unsigned, Group::Extended, 16, &Data::sensRef10, "sensRef10", "%Sens@Ref[\22310\224]"},
    {Kind::Unsigned, Group::Extended, 8, &Data::tfHpS01, "tfHpS01", "%TF_HP_S[\22301\224]"},
    {Kind::Unsigned, Group::Extended, 8, &Data::tfHpS10, "tfHpS10", "%TF_HP_S[\22310\224]"},
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
    {Kind::Unsigned, Group::Always, 12, &Data::calPeriod, "calPeriod", "%CalPeriod", 0, 0, 0,
     "", "days"},
    {Kind::Unsigned, Group::Always, 11, &Data::measID, "measID", "%MeasID"},
};

// Whether `data` carries the field: the selects, read or written before the
// fields they govern, decide.
inline bool Present(const Field& field, const Data& data) {
  return field.group == Group::Always || (field.group == Group::Standard   ? !data.extended
                                          : field.group == Group::Extended ? data.extended
                                                                           : data.transferFunction);
}

inline uint32_t Max(const Field& field) {
  return field.max != 0 ? field.max : static_cast<uint32_t>((uint64_t{1} << field.width) - 1);
}

// The field's member of `data` (const or not), as the type it has.
template <typename T, typename D>
auto& Value(D& data, const Field& field) {
  return data.*std::get<T Data::*>(field.member);
}

// A Select or Unsigned field's raw value, whatever integer type its member has.
inline uint64_t Raw(const Data& data, const Field& field) {
  return std::visit(
      [&data](auto member) -> uint64_t {
        if constexpr (std::is_integral_v<std::decay_t<decltype(data.*member)>>) return data.*member;
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

}  // namespace template25

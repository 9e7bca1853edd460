#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "onewire/Export.h"
#include "teds/TEDSParser.h"
#include "teds/TEDSTemplate.h"

// IEEE 1451.4 standard template 25: accelerometer or force transducer with a
// constant current amplifier. Only the acceleration case is decoded.
class ORVANE_TEDS_API TEDSTemplate25 : public TEDSTemplate {
 public:
  // The decoded properties. A field that the path through the template does
  // not reach keeps the value given here.
  struct Data {
    bool force = false;     // Acceleration / Force select; only false is decoded
    double sensRef = 0.0;   // %Sens@Ref, V/(m/s^2)
    double tfHpS = 0.0;     // %TF_HP_S, Hz
    // Raw values of the extended-functionality group (Extended Functionality
    // select 1). They are not scaled and the report does not show them; they
    // are kept so that nothing read from the image is lost.
    uint64_t sensRef01 = 0;  // %Sens@Ref, case 01
    uint64_t sensRef10 = 0;  // %Sens@Ref, case 10
    uint64_t tfHpS01 = 0;    // %TF_HP_S, case 01
    uint64_t tfHpS10 = 0;    // %TF_HP_S, case 10
    uint32_t direction = 0;  // %Direction: 0 X, 1 Y, 2 Z
    double weight = 0.0;     // %Weight, g
    uint32_t sign = 0;       // %Sign: 0 positive, 1 negative
    double refFreq = 0.0;    // %Reffreq, Hz
    double refTemp = 0.0;    // %RefTemp, *C
    int64_t calDate = (TEDSParser::DATE_EPOCH_DAYS) * 86400;  // %CalDate, 1998-01-01
    std::string calInitials;  // %CalInitials, three characters
    uint32_t calPeriod = 0;   // %CalPeriod, days
    uint32_t measID = 0;      // %MeasID
    // Which optional groups the image held, and the raw values of theirs that
    // have no member above, so that a host can tell the standard group's
    // sensitivity from an extended group's (whose sensRef stays 0.0) and an
    // encoder can write back what was read. Not shown by the report.
    bool extended = false;       // Extended Functionality select
    uint32_t defaultFR = 0;      // %DefaultFR, extended group
    uint32_t passive = 0;        // %Passive, extended group
    bool transferFunction = false;  // Transfer Function select
    uint32_t tfSp = 0;           // %TF_SP
    uint32_t tfKPr = 0;          // %TF_KPr
    uint32_t tfKPq = 0;          // %TF_KPq
    uint32_t tfSl = 0;           // %TF_SL
    uint32_t tempCoef = 0;       // %TempCoef
  };

  TEDSTemplate25(const TEDSTemplate25&) = default;
  TEDSTemplate25(TEDSTemplate25&&) = default;
  ~TEDSTemplate25() = default;

  // "Accelerometer/Force transducer with constant current amplifier".
  std::string GetName() const override;
  // The 17-line report (14 lines for a force record); doubles in fixed
  // notation with six decimals, values starting at column 21.
  std::string Print() const override;

  const Data& GetData() const { return data; }

 protected:
  friend class TEDSTemplate;

  static constexpr unsigned templateID = 25;

  explicit TEDSTemplate25(const Data& data);

  // Decodes the template from the reader's position (just after the template
  // ID) and leaves the reader after its last field. Throws
  // TEDSParse25Exception naming the failing field's bits.
  static std::shared_ptr<TEDSTemplate> Parse(TEDSParser& reader);
  // Throws TEDSParse25Exception(reader.FormatError(message, width)); `reader`
  // is the reader as it stood before the failing field.
  [[noreturn]] static void ParseFail(const TEDSParser& reader, const std::string& message,
                                     unsigned width);

  Data data;
};

// Decodes arbitrary bytes as a TEDS image; whatever decodes with a Basic TEDS
// must encode again, and the encoding must decode to the very same records
// (the encoder is the exact inverse of the decoder on what it decodes).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSEncoder.h"

namespace {

std::vector<TEDSTemplate25::Data> Records(const TEDSDecoder::Result& result) {
  std::vector<TEDSTemplate25::Data> records;
  for (const auto& t : result.transducer->GetTemplates()) {
    records.push_back(static_cast<const TEDSTemplate25&>(*t).GetData());
  }
  return records;
}

bool Same(const TEDSTemplate25::Data& a, const TEDSTemplate25::Data& b) {
  return a.force == b.force && a.extended == b.extended && a.sensRef == b.sensRef &&
         a.tfHpS == b.tfHpS && a.defaultFR == b.defaultFR && a.passive == b.passive &&
         a.sensRef01 == b.sensRef01 && a.sensRef10 == b.sensRef10 && a.tfHpS01 == b.tfHpS01 &&
         a.tfHpS10 == b.tfHpS10 && a.direction == b.direction && a.weight == b.weight &&
         a.sign == b.sign && a.transferFunction == b.transferFunction && a.tfSp == b.tfSp &&
         a.tfKPr == b.tfKPr && a.tfKPq == b.tfKPq && a.tfSl == b.tfSl &&
         a.tempCoef == b.tempCoef && a.refFreq == b.refFreq && a.refTemp == b.refTemp &&
         a.calDate == b.calDate && a.calInitials == b.calInitials &&
         a.calPeriod == b.calPeriod && a.measID == b.measID;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const TEDSDecoder::Result decoded = TEDSDecoder::Decode(std::vector<uint8_t>(data, data + size));
  const TEDSBasicDatasheet& basic = decoded.transducer->GetBasicDatasheet();
  if (!decoded.parsed || basic.manufacturerID < 17) return 0;  // no Basic TEDS to write
  const std::vector<TEDSTemplate25::Data> records = Records(decoded);
  const TEDSEncoder::Result encoded = TEDSEncoder::Encode(basic, records);
  if (!encoded.ok) __builtin_trap();  // every decoded record must encode
  const TEDSDecoder::Result again = TEDSDecoder::Decode(encoded.image);
  const TEDSBasicDatasheet& b = again.transducer->GetBasicDatasheet();
  if (!again.parsed || b.manufacturerID != basic.manufacturerID ||
      b.modelNumber != basic.modelNumber || b.versionLetter != basic.versionLetter ||
      b.versionNumber != basic.versionNumber || b.serialNumber != basic.serialNumber) {
    __builtin_trap();
  }
  const std::vector<TEDSTemplate25::Data> back = Records(again);
  if (back.size() != records.size()) __builtin_trap();
  for (std::size_t i = 0; i < back.size(); ++i) {
    if (!Same(back[i], records[i]) || !Same(back[i], encoded.templates[i])) __builtin_trap();
  }
  return 0;
}

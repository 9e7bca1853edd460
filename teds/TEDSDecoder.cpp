#include "teds/TEDSDecoder.h"

#include <utility>

#include "teds/TEDSException.h"
#include "teds/TEDSImage.h"

TEDSDecoder::Result TEDSDecoder::Decode(const std::vector<uint8_t>& image,
                                        const std::array<uint8_t, 8>& id) {
  std::shared_ptr<TEDSTransducer> transducer = TEDSTransducer::Create(id);
  transducer->image = image;
  Result result;
  try {
    transducer->Parse();
    result.parsed = true;
  } catch (const TEDSException& e) {
    // Callers get the text, so they need not know the library's exception
    // classes.
    result.parseError = e.what();
  }
  result.transducer = transducer;
  return result;
}

TEDSDecoder::Result TEDSDecoder::DecodeDS2430A(const std::vector<uint8_t>& otpMemory,
                                               const std::vector<uint8_t>& memoryData,
                                               const std::array<uint8_t, 8>& id) {
  std::vector<bool> verdicts;
  const std::vector<uint8_t> image = TEDSImage::Assemble(otpMemory, memoryData, verdicts);
  Result result = Decode(image, id);
  result.verdicts = std::move(verdicts);
  return result;
}

// Decodes arbitrary bytes as a TEDS image, and as a DS2430A dump split at a
// position the input chooses: every input must yield a report or an error.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::vector<uint8_t> bytes(data, data + size);
  const TEDSDecoder::Result whole = TEDSDecoder::Decode(bytes);
  if (whole.parsed) {
    (void)whole.transducer->Print();
  } else if (whole.parseError.empty()) {
    __builtin_trap();  // a failure must say why
  }

  if (size == 0) return 0;
  const std::size_t split = data[0] % size;
  const std::vector<uint8_t> otp(data + 1, data + (split > 0 ? split : 1));
  const std::vector<uint8_t> memory(data + (split > 0 ? split : 1), data + size);
  const TEDSDecoder::Result dump = TEDSDecoder::DecodeDS2430A(otp, memory);
  const std::size_t pages = (memory.size() + TEDSImage::PAGE_BYTES - 1) / TEDSImage::PAGE_BYTES;
  if (dump.verdicts.size() != pages) __builtin_trap();
  if (dump.parsed) (void)dump.transducer->Print();
  return 0;
}

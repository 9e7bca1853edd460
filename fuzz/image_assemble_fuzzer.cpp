// Node-image assembly: an application register and a memory dump of any
// lengths, split where the input says. The image must have the documented
// size and each page's verdict must agree with its checksum.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "teds/TEDSDecoder.h"
#include "teds/TEDSImage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t split = 1 + data[0] % 16 < size ? 1 + data[0] % 16 : size;
  const std::vector<uint8_t> otp(data + 1, data + split);
  const std::vector<uint8_t> memory(data + split, data + size);

  std::vector<bool> verdicts;
  const std::vector<uint8_t> image = TEDSImage::Assemble(otp, memory, verdicts);
  const std::size_t pages = (memory.size() + TEDSImage::PAGE_BYTES - 1) / TEDSImage::PAGE_BYTES;
  if (verdicts.size() != pages) __builtin_trap();
  const std::size_t head = otp.size() >= TEDSImage::OTP_BYTES ? TEDSImage::OTP_BYTES : 0;
  if (image.size() != head + memory.size() - pages) __builtin_trap();

  for (std::size_t page = 0; page < pages; ++page) {
    unsigned sum = 0;
    if (page == 0)
      for (std::size_t i = 0; i < head; ++i) sum += otp[i];
    const std::size_t end = (page + 1) * TEDSImage::PAGE_BYTES;
    for (std::size_t i = page * TEDSImage::PAGE_BYTES; i < end && i < memory.size(); ++i)
      sum += memory[i];
    if (verdicts[page] != (sum % 256 == 0)) __builtin_trap();
  }

  // The decoder over the same dump must give a report or say why not.
  const TEDSDecoder::Result result = TEDSDecoder::DecodeDS2430A(otp, memory);
  if (result.parsed) (void)result.transducer->Print();
  else if (result.parseError.empty()) __builtin_trap();
  if (result.verdicts != verdicts) __builtin_trap();
  return 0;
}

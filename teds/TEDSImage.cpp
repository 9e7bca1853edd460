#include "teds/TEDSImage.h"

#include <algorithm>

std::vector<uint8_t> TEDSImage::Assemble(const std::vector<uint8_t>& otpMemory,
                                         const std::vector<uint8_t>& memoryData,
                                         std::vector<bool>& verdicts) {
  std::vector<uint8_t> image;
  if (otpMemory.size() >= OTP_BYTES) {
    image.insert(image.end(), otpMemory.begin(), otpMemory.begin() + OTP_BYTES);
  }
  // Start of the bytes the next page's checksum covers besides its own byte 0.
  std::size_t rangeStart = 0;
  for (std::size_t page = 0; page < memoryData.size(); page += PAGE_BYTES) {
    const std::size_t length = std::min(PAGE_BYTES, memoryData.size() - page);
    const auto first = memoryData.begin() + static_cast<std::ptrdiff_t>(page);
    image.insert(image.end(), first + 1, first + static_cast<std::ptrdiff_t>(length));
    unsigned sum = *first;
    for (std::size_t i = rangeStart; i < image.size(); ++i) sum += image[i];
    verdicts.push_back((sum & 0xFFu) == 0);
    rangeStart = image.size();
  }
  return image;
}

std::string TEDSImage::VerdictText(bool good) {
  return good ? "Compile: GOOD CHECKSUM" : "Compile: BAD CHECKSUM";
}

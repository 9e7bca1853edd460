#include <gtest/gtest.h>

#include <array>
#include <string>

#include "onewire/AbstractOneWireMaster.h"

using Device = AbstractOneWireMaster::Device;

namespace {

const std::array<std::array<uint8_t, 8>, 4> kRealRoms = {{
    {0x28, 0x0E, 0x6D, 0xB9, 0x01, 0x00, 0x00, 0x59},
    {0x26, 0xF4, 0x88, 0x17, 0x01, 0x00, 0x00, 0x2F},
    // Often written CRC first, as 47 00 00 00 3F B8 46 29; in bus order:
    {0x29, 0x46, 0xB8, 0x3F, 0x00, 0x00, 0x00, 0x47},
    {0x14, 0x3A, 0x7F, 0x1B, 0x05, 0x00, 0x00, 0xB6},
}};

TEST(Device, Crc8CatalogueCheckValueAndEmptyRange) {
  const std::string digits = "123456789";
  EXPECT_EQ(0xA1, Device::crc8(reinterpret_cast<const uint8_t*>(digits.data()), 9));
  EXPECT_EQ(0x00, Device::crc8(nullptr, 0));
}

TEST(Device, Crc8RealRomsCheckAndEverySingleBitFlipIsDetected) {
  for (const auto& rom : kRealRoms) {
    EXPECT_EQ(rom[7], Device::crc8(rom.data(), 7)) << Device::ToString(rom);
    EXPECT_EQ(0x00, Device::crc8(rom.data(), 8)) << Device::ToString(rom);
    for (int bit = 0; bit < 64; ++bit) {
      std::array<uint8_t, 8> flipped = rom;
      flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      EXPECT_NE(0x00, Device::crc8(flipped.data(), 8)) << "bit " << bit;
    }
  }
}

TEST(Device, TextUpperCaseTwoDigitBytesInBrackets) {
  const Device device(kRealRoms[3]);
  EXPECT_EQ("[14 3A 7F 1B 05 00 00 B6]", device.ToString());
  EXPECT_EQ(device.ToString(), Device::ToString(kRealRoms[3]));
  EXPECT_EQ("[00 00 00 00 00 00 00 00]", Device().ToString());
  EXPECT_EQ(25u, device.ToString().size());
}

TEST(Device, ValueConstructionFromPointerAndComparison) {
  const Device fromArray(kRealRoms[0]);
  const Device fromPointer(kRealRoms[0].data());
  EXPECT_TRUE(fromArray == fromPointer);
  EXPECT_TRUE(fromArray != Device(kRealRoms[1]));
  const std::array<uint8_t, 8>& asArray = fromArray;
  EXPECT_EQ(kRealRoms[0], asArray);
}

}  // namespace

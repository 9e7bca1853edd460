#pragma once

#include <cstdint>
#include <string>

#include "onewire/Export.h"
#include "teds/TEDSParser.h"

// The Basic TEDS: the first 64 bits of every TEDS image.
//   bits  0-13  manufacturer ID (read by the caller, see Parse)
//   bits 14-28  model number
//   bits 29-33  version letter (5-bit character)
//   bits 34-39  version number
//   bits 40-63  serial number
class ORVANE_TEDS_API TEDSBasicDatasheet {
 public:
  // The record of a transducer whose Basic TEDS has not been decoded.
  TEDSBasicDatasheet() = default;

  // Reads the four fields after the manufacturer ID, which the caller has
  // already read to decide whether a Basic TEDS follows; `reader` stands at
  // image bit 14. Returns false when the image ends inside the record: the
  // fields read before that keep their new values, the failing one its old.
  bool Parse(TEDSParser& reader, uint16_t manufacturerID);

  // Six lines, values starting at column 20.
  std::string Print() const;

  uint16_t manufacturerID = 0;
  uint16_t modelNumber = 0;
  char versionLetter = 'A';
  uint8_t versionNumber = 0;
  uint32_t serialNumber = 0;
};

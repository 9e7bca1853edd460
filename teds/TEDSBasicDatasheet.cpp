#include "teds/TEDSBasicDatasheet.h"

#include <sstream>

bool TEDSBasicDatasheet::Parse(TEDSParser& reader, uint16_t manufacturerID) {
  this->manufacturerID = manufacturerID;
  uint32_t value = 0;
  if (!reader.ReadUnInt(15, value)) return false;
  modelNumber = static_cast<uint16_t>(value);
  if (!reader.ReadChr5(versionLetter)) return false;
  if (!reader.ReadUnInt(6, value)) return false;
  versionNumber = static_cast<uint8_t>(value);
  return reader.ReadUnInt(24, serialNumber);
}

std::string TEDSBasicDatasheet::Print() const {
  std::ostringstream text;
  text << "Basic TEDS:\n"
       << "  Manufacturer ID: " << manufacturerID << '\n'
       << "  Model Number:    " << modelNumber << '\n'
       << "  Version Letter:  " << versionLetter << '\n'
       << "  Version Number:  " << static_cast<unsigned>(versionNumber) << '\n'
       << "  Serial Number:   " << serialNumber << '\n';
  return text.str();
}

#include "teds/TEDSTemplate.h"

#include "teds/TEDSException.h"
#include "teds/TEDSTemplate25.h"

// Selector values: 0 standard template, 1 and 2 manufacturer-defined,
// 3 followed by an extended selector bit (0 user data, 1 embedded template).
std::shared_ptr<TEDSTemplate> TEDSTemplate::Parse(TEDSParser& reader) {
  uint32_t selector = 0;
  if (!reader.ReadUnInt(2, selector)) ParseFail(reader, "Invalid DS bits", 2);
  if (selector == 1 || selector == 2) {
    ParseFail(reader, "Manufacturer-defined template not supported", 2);
  }
  if (selector == 3) {
    uint32_t extended = 0;
    if (!reader.ReadUnInt(1, extended)) ParseFail(reader, "Invalid ES bit", 1);
    if (extended == 1) ParseFail(reader, "Embedded Template not supported", 2);
    ParseFail(reader, "User data not supported", 2);
  }
  uint32_t templateID = 0;
  if (!reader.ReadUnInt(8, templateID)) ParseFail(reader, "Invalid template ID value", 8);
  if (templateID == TEDSTemplate25::templateID) return TEDSTemplate25::Parse(reader);
  ParseFail(reader, "Unknown template " + std::to_string(templateID), 8);
}

void TEDSTemplate::ParseFail(const TEDSParser& /*reader*/, const std::string& message,
                             unsigned /*width*/) {
  throw TEDSParseException(message);
}

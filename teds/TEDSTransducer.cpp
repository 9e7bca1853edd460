#include "teds/TEDSTransducer.h"

#include <sstream>

#include "onewire/AbstractOneWireMaster.h"
#include "teds/TEDSException.h"
#include "teds/TEDSParser.h"

TEDSTransducer::TEDSTransducer(const std::array<uint8_t, 8>& id) : id(id) {}

std::shared_ptr<TEDSTransducer> TEDSTransducer::Create(const std::array<uint8_t, 8>& id) {
  struct make_shared_enabler : public TEDSTransducer {
    explicit make_shared_enabler(const std::array<uint8_t, 8>& id) : TEDSTransducer(id) {}
  };
  return std::make_shared<make_shared_enabler>(id);
}

void TEDSTransducer::Parse() {
  // A second parse of the same image must give the same result as the first,
  // so nothing of an earlier parse is kept.
  templates.clear();
  errors.clear();
  basicDatasheet = TEDSBasicDatasheet();

  TEDSParser parser(image);
  uint32_t manufacturerID = 0;
  if (!parser.ReadUnInt(14, manufacturerID)) throw TEDSParseException("Failed to parse MS");
  // Manufacturer IDs 17 to 16382 announce a Basic TEDS; 2 marks an embedded
  // template; the other values (0, 1 node list, 3 to 16, 16383) carry no Basic
  // TEDS and the templates start right after the 14 bits.
  if (manufacturerID >= 17 && manufacturerID <= 16382) {
    if (!basicDatasheet.Parse(parser, static_cast<uint16_t>(manufacturerID))) {
      throw TEDSParseException("Failed to parse Basic TEDS");
    }
  } else if (manufacturerID == 2) {
    throw TEDSParseException("Embedded Template not supported");
  }

  try {
    for (;;) {
      std::shared_ptr<TEDSTemplate> next = TEDSTemplate::Parse(parser);
      if (!next) break;
      templates.push_back(next);
    }
  } catch (const TEDSException& e) {
    errors.push_back(e.what());
  }
}

std::string TEDSTransducer::Print() const {
  std::ostringstream text;
  text << "Transducer:" << AbstractOneWireMaster::Device::ToString(id) << '\n';
  text << '\n';
  text << basicDatasheet.Print();
  for (const auto& t : templates) text << '\n' << t->Print();
  return text.str();
}

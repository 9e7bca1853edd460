#include "tools/teds/JsonOutput.h"

#include <sstream>

#include "onewire/AbstractOneWireMaster.h"
#include "teds/TEDSImage.h"
#include "teds/TEDSNode.h"
#include "teds/TEDSTemplate25.h"
#include "teds/TEDSText.h"
#include "teds/TEDSTransducer.h"
#include "text/HexText.h"

using nlohmann::ordered_json;

namespace {

const char kParseErrorPrefix[] = "Template Parse Error : ";
const char kDevicesHeading[] = "Transducers Found:\n";

// "[14 3A ...]" without its brackets, the form bench files use.
std::string RomText(const std::array<uint8_t, 8>& rom) {
  const std::string text = AbstractOneWireMaster::Device::ToString(rom);
  return text.substr(1, text.size() - 2);
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

ordered_json BasicJson(const TEDSBasicDatasheet& basic) {
  ordered_json j;
  j["present"] = TEDSText::HoldsBasicTeds(basic.manufacturerID);
  j["manufacturerID"] = basic.manufacturerID;
  j["modelNumber"] = basic.modelNumber;
  j["versionLetter"] = TEDSText::ToUtf8(std::string(1, basic.versionLetter));
  j["versionNumber"] = basic.versionNumber;
  j["serialNumber"] = basic.serialNumber;
  return j;
}

// A value that only one of the optional groups carries: null without it.
template <typename T>
ordered_json Only(bool present, T value) {
  return present ? ordered_json(value) : ordered_json(nullptr);
}

ordered_json Template25Json(const TEDSTemplate25& t) {
  static const char* const kDirections[] = {"X", "Y", "Z"};
  static const char* const kSigns[] = {"POSITIVE", "NEGATIVE"};
  const TEDSTemplate25::Data& d = t.GetData();
  const bool standard = !d.extended;
  const bool tf = d.transferFunction;
  ordered_json j;
  j["templateID"] = 25;
  j["name"] = t.GetName();
  j["group"] = standard ? "standard" : "extended";
  j["transferFunction"] = tf;
  j["force"] = d.force;
  j["sensRef"] = Only(standard, d.sensRef);
  j["tfHpS"] = Only(standard, d.tfHpS);
  j["defaultFR"] = Only(!standard, d.defaultFR);
  j["passive"] = Only(!standard, d.passive);
  j["sensRef01"] = Only(!standard, d.sensRef01);
  j["sensRef10"] = Only(!standard, d.sensRef10);
  j["tfHpS01"] = Only(!standard, d.tfHpS01);
  j["tfHpS10"] = Only(!standard, d.tfHpS10);
  j["direction"] = d.direction;
  j["directionText"] = d.direction < 3 ? kDirections[d.direction] : "";
  j["weight"] = d.weight;
  j["sign"] = d.sign;
  j["signText"] = d.sign < 2 ? kSigns[d.sign] : "";
  j["tfSp"] = Only(tf, d.tfSp);
  j["tfKPr"] = Only(tf, d.tfKPr);
  j["tfKPq"] = Only(tf, d.tfKPq);
  j["tfSl"] = Only(tf, d.tfSl);
  j["tempCoef"] = Only(tf, d.tempCoef);
  j["refFreq"] = d.refFreq;
  j["refTemp"] = d.refTemp;
  j["calDate"] = d.calDate;
  j["calDateText"] = TEDSText::DateText(d.calDate);
  j["calInitials"] = TEDSText::ToUtf8(d.calInitials);
  j["calPeriod"] = d.calPeriod;
  j["measID"] = d.measID;
  return j;
}

}  // namespace

ordered_json TransducerJson(const TEDSTransducer& transducer) {
  ordered_json j;
  j["id"] = RomText(transducer.GetId());
  j["nodes"] = ordered_json::array();
  for (const auto& node : transducer.GetNodes()) j["nodes"].push_back(RomText(node->GetDevice()));
  j["image"] = orvtext::FormatHex(transducer.GetImage());
  j["basicTeds"] = BasicJson(transducer.GetBasicDatasheet());
  j["templates"] = ordered_json::array();
  for (const auto& any : transducer.GetTemplates()) {
    // Template 25 is the one template the decoder makes.
    if (const auto* t25 = dynamic_cast<const TEDSTemplate25*>(any.get())) {
      j["templates"].push_back(Template25Json(*t25));
    }
  }
  j["errors"] = ordered_json::array();
  for (const std::string& error : transducer.PrintErrors()) {
    j["errors"].push_back(TEDSText::ToUtf8(error));
  }
  j["report"] = TEDSText::ToUtf8(transducer.Print());
  return j;
}

JsonDocument::JsonDocument(const std::string& command) {
  document["command"] = command;
  document["exitCode"] = 0;
  document["texts"] = ordered_json::array();
  document["devices"] = ordered_json::array();
  document["pages"] = ordered_json::array();
  document["transducers"] = ordered_json::array();
  document["parseError"] = nullptr;
  document["timedOut"] = false;
}

void JsonDocument::AddPage(bool good) {
  document["pages"].push_back({{"goodChecksum", good}, {"text", TEDSImage::VerdictText(good)}});
}

void JsonDocument::AddQueryText(const std::string& text) {
  document["texts"].push_back(TEDSText::ToUtf8(text));
  if (text == TEDSImage::VerdictText(true) || text == TEDSImage::VerdictText(false)) {
    AddPage(text == TEDSImage::VerdictText(true));
  } else if (StartsWith(text, kDevicesHeading)) {
    // One "  [14 3A ...]" line per device.
    std::istringstream lines(text.substr(sizeof kDevicesHeading - 1));
    std::string line;
    while (std::getline(lines, line)) {
      const std::size_t open = line.find('[');
      const std::size_t close = line.find(']');
      if (open == std::string::npos || close == std::string::npos || close < open) continue;
      document["devices"].push_back(line.substr(open + 1, close - open - 1));
    }
  } else if (StartsWith(text, kParseErrorPrefix)) {
    std::string reason = text.substr(sizeof kParseErrorPrefix - 1);
    if (!reason.empty() && reason.back() == '\n') reason.pop_back();
    document["parseError"] = TEDSText::ToUtf8(reason);
  }
}

void JsonDocument::AddTransducer(const TEDSTransducer& transducer) {
  document["transducers"].push_back(TransducerJson(transducer));
}

void JsonDocument::SetDecoded(const TEDSDecoder::Result& result) {
  for (bool good : result.verdicts) {
    document["texts"].push_back(TEDSImage::VerdictText(good));
    AddPage(good);
  }
  if (result.parsed) {
    AddTransducer(*result.transducer);
  } else {
    document["texts"].push_back(TEDSText::ToUtf8(kParseErrorPrefix + result.parseError));
    document["parseError"] = TEDSText::ToUtf8(result.parseError);
  }
}

std::string JsonDocument::Dump(int exitCode, bool timedOut) const {
  ordered_json copy = document;
  copy["exitCode"] = exitCode;
  copy["timedOut"] = timedOut;
  return copy.dump(2) + "\n";
}

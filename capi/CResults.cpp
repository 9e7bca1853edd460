#include "capi/CResults.h"

#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "onewire/AbstractOneWireMaster.h"
#include "teds/TEDSImage.h"
#include "teds/TEDSNode.h"
#include "teds/TEDSTemplate25.h"
#include "teds/TEDSText.h"
#include "teds/TEDSTransducer.h"

namespace capi {

Template25Box::Template25Box(const TEDSTemplate25& t) {
  static const char* const kDirections[] = {"X", "Y", "Z"};
  static const char* const kSigns[] = {"POSITIVE", "NEGATIVE"};
  const TEDSTemplate25::Data& d = t.GetData();
  calDateText = TEDSText::DateText(d.calDate);
  calInitials = TEDSText::ToUtf8(d.calInitials);
  c.size = sizeof(c);
  c.group = d.extended ? ORVANE_TEDS_GROUP_EXTENDED : ORVANE_TEDS_GROUP_STANDARD;
  c.transfer_function = d.transferFunction ? 1 : 0;
  c.force = d.force ? 1 : 0;
  // An extended record's sensitivity is not a calibration value: NaN cannot
  // be mistaken for one, 0.0 could.
  const double none = std::numeric_limits<double>::quiet_NaN();
  c.sens_ref = d.extended ? none : d.sensRef;
  c.tf_hp_s = d.extended ? none : d.tfHpS;
  c.default_fr = d.defaultFR;
  c.passive = d.passive;
  c.sens_ref_01 = static_cast<uint32_t>(d.sensRef01);
  c.sens_ref_10 = static_cast<uint32_t>(d.sensRef10);
  c.tf_hp_s_01 = static_cast<uint32_t>(d.tfHpS01);
  c.tf_hp_s_10 = static_cast<uint32_t>(d.tfHpS10);
  c.direction = d.direction;
  c.direction_text = d.direction < 3 ? kDirections[d.direction] : "";
  c.weight = d.weight;
  c.sign = d.sign;
  c.sign_text = d.sign < 2 ? kSigns[d.sign] : "";
  c.tf_sp = d.tfSp;
  c.tf_kpr = d.tfKPr;
  c.tf_kpq = d.tfKPq;
  c.tf_sl = d.tfSl;
  c.temp_coef = d.tempCoef;
  c.ref_freq = d.refFreq;
  c.ref_temp = d.refTemp;
  c.cal_date = d.calDate;
  c.cal_date_text = calDateText.c_str();
  c.cal_initials = calInitials.c_str();
  c.cal_period = d.calPeriod;
  c.meas_id = d.measID;
}

TransducerBox::TransducerBox(const TEDSTransducer& t)
    : idText(AbstractOneWireMaster::Device::ToString(t.GetId())),
      image(t.GetImage()),
      report(TEDSText::ToUtf8(t.Print())) {
  for (const auto& node : t.GetNodes()) {
    const AbstractOneWireMaster::Device device = node->GetDevice();
    for (std::size_t i = 0; i < 8; ++i) nodes.push_back(device[i]);
  }
  for (const auto& any : t.GetTemplates()) {
    // Template 25 is the one template the decoder makes.
    if (const auto* t25 = dynamic_cast<const TEDSTemplate25*>(any.get())) {
      templates.push_back(std::make_unique<Template25Box>(*t25));
      templatePointers.push_back(&templates.back()->c);
    }
  }
  for (const std::string& error : t.PrintErrors()) errors.push_back(TEDSText::ToUtf8(error));
  for (const std::string& error : errors) errorPointers.push_back(error.c_str());

  const TEDSBasicDatasheet& basic = t.GetBasicDatasheet();
  c.size = sizeof(c);
  for (std::size_t i = 0; i < 8; ++i) c.id[i] = t.GetId()[i];
  c.id_text = idText.c_str();
  c.node_count = nodes.size() / 8;
  c.nodes = nodes.data();
  c.image_size = image.size();
  c.image = image.data();
  c.has_basic_teds = TEDSText::HoldsBasicTeds(basic.manufacturerID) ? 1 : 0;
  c.manufacturer_id = basic.manufacturerID;
  c.model_number = basic.modelNumber;
  c.version_letter = basic.versionLetter;
  c.version_number = basic.versionNumber;
  c.serial_number = basic.serialNumber;
  c.template_count = templatePointers.size();
  c.templates = templatePointers.data();
  c.error_count = errorPointers.size();
  c.errors = errorPointers.data();
  c.report = report.c_str();
}

DecodeBox::DecodeBox(const TEDSDecoder::Result& result)
    : parseError(TEDSText::ToUtf8(result.parseError)) {
  for (bool good : result.verdicts) pageGood.push_back(good ? 1 : 0);
  // The verdict texts are static, so their pointers need no storage here.
  static const std::string kGood = TEDSImage::VerdictText(true);
  static const std::string kBad = TEDSImage::VerdictText(false);
  for (bool good : result.verdicts) pageTexts.push_back(good ? kGood.c_str() : kBad.c_str());
  if (result.parsed) transducer = std::make_unique<TransducerBox>(*result.transducer);
  c.size = sizeof(c);
  c.parsed = result.parsed ? 1 : 0;
  c.parse_error = parseError.c_str();
  c.page_count = pageGood.size();
  c.page_good = pageGood.data();
  c.page_texts = pageTexts.data();
  c.transducer = transducer ? &transducer->c : nullptr;
}

QueryResultBox::QueryResultBox(std::vector<std::string> texts,
                               std::vector<std::shared_ptr<const TransducerBox>> transducers,
                               bool timedOut, int stopped)
    : texts(std::move(texts)), transducers(std::move(transducers)) {
  for (const std::string& text : this->texts) textPointers.push_back(text.c_str());
  for (const auto& box : this->transducers) transducerPointers.push_back(&box->c);
  c.size = sizeof(c);
  c.timed_out = timedOut ? 1 : 0;
  c.text_count = textPointers.size();
  c.texts = textPointers.data();
  c.transducer_count = transducerPointers.size();
  c.transducers = transducerPointers.data();
  c.stopped = stopped;
}

namespace {

std::mutex registryMutex;
std::unordered_map<const void*, std::unique_ptr<ResultBox>>& Registry() {
  // Never destroyed: a host may free results while the process exits.
  static auto* registry = new std::unordered_map<const void*, std::unique_ptr<ResultBox>>();
  return *registry;
}

}  // namespace

void Register(const void* record, std::unique_ptr<ResultBox> box) {
  std::lock_guard<std::mutex> guard(registryMutex);
  Registry()[record] = std::move(box);
}

bool ReleaseIf(const void* record, bool (*isKind)(const ResultBox&)) {
  std::unique_ptr<ResultBox> doomed;
  {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto it = Registry().find(record);
    if (it == Registry().end() || !isKind(*it->second)) return false;
    doomed = std::move(it->second);
    Registry().erase(it);
  }
  return true;
}

}  // namespace capi

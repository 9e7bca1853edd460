// The scan for C hosts: every chosen channel of one device queried at once,
// one query result per channel.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "capi/CError.h"
#include "capi/CResults.h"
#include "capi/orvane_teds.h"
#include "devicelink/ZorelQueryMaster.h"
#include "teds/TEDSScan.h"
#include "teds/TEDSText.h"
#include "teds/TEDSTransducer.h"

namespace {

struct ScanResultBox : capi::ResultBox {
  orvane_teds_scan_result c{};
  std::vector<uint32_t> channels;
  std::vector<std::unique_ptr<capi::QueryResultBox>> results;
  std::vector<const orvane_teds_query_result*> resultPointers;

  void Seal() {
    for (const auto& box : results) resultPointers.push_back(&box->c);
    c.size = sizeof(c);
    c.channel_count = channels.size();
    c.channels = channels.data();
    c.results = resultPointers.data();
  }
};

std::unique_ptr<capi::QueryResultBox> QueryResultOf(const TEDSScan::Result& result) {
  std::vector<std::string> texts;
  for (const std::string& text : result.texts) texts.push_back(TEDSText::ToUtf8(text));
  // A master that could not be made has no texts of its own: its reason is one.
  if (result.outcome == TEDSScan::Outcome::FailedToStart) texts.push_back(result.failure);
  std::vector<std::shared_ptr<const capi::TransducerBox>> transducers;
  for (const TEDSScan::Found& found : result.transducers) {
    transducers.push_back(std::make_shared<const capi::TransducerBox>(*found.transducer));
  }
  return std::make_unique<capi::QueryResultBox>(
      std::move(texts), std::move(transducers), result.outcome == TEDSScan::Outcome::TimedOut);
}

using capi::Refuse;

}  // namespace

extern "C" {

orvane_teds_status orvane_teds_scan(const char* device, uint32_t address, uint32_t channel_mask,
                                    uint32_t teds_mode, uint32_t poll_pause_ms,
                                    uint32_t timeout_ms, orvane_teds_scan_result** result) {
  static const char kName[] = "orvane_teds_scan";
  return capi::Guard(kName, [&] {
    if (!result) return Refuse(kName, "result is null");
    *result = nullptr;
    ZorelQuerySettings settings;
    const orvane_teds_status checked =
        capi::CheckDevice(kName, device, address, teds_mode, poll_pause_ms, settings);
    if (checked != ORVANE_TEDS_OK) return checked;
    if (channel_mask == 0 || channel_mask > 0xFF) {
      return Refuse(kName, "channel_mask " + std::to_string(channel_mask) +
                               " does not choose channels 0 to 7 (bits 0 to 7, at least one)");
    }
    if (capi::InsideCallback()) return capi::RefuseInCallback(kName);
    auto box = std::make_unique<ScanResultBox>();
    std::vector<TEDSScan::Target> targets;
    for (uint32_t channel = 0; channel < 8; ++channel) {
      if (!(channel_mask & (1u << channel))) continue;
      settings.channel = channel;
      box->channels.push_back(channel);
      targets.push_back({std::to_string(channel), [settings] { return MakeZorelQueryMaster(settings); }});
    }
    TEDSScan scan;
    bool timedOut = false;
    for (const TEDSScan::Result& scanned :
         scan.Run(targets, std::chrono::milliseconds(timeout_ms))) {
      timedOut = timedOut || scanned.outcome == TEDSScan::Outcome::TimedOut;
      box->results.push_back(QueryResultOf(scanned));
    }
    box->Seal();
    orvane_teds_scan_result* record = &box->c;
    capi::Register(record, std::move(box));
    *result = record;
    if (!timedOut) return ORVANE_TEDS_OK;
    return capi::Fail(ORVANE_TEDS_TIMEOUT, std::string(kName) + ": a channel's query did not end within " +
                                               std::to_string(timeout_ms) + " ms");
  });
}

orvane_teds_status orvane_teds_scan_result_free(orvane_teds_scan_result* result) {
  static const char kName[] = "orvane_teds_scan_result_free";
  return capi::Guard(kName, [&] {
    if (!result) return ORVANE_TEDS_OK;
    if (!capi::Release<ScanResultBox>(result)) {
      return Refuse(kName, "not a scan result of this library, or freed already");
    }
    return ORVANE_TEDS_OK;
  });
}

}  // extern "C"

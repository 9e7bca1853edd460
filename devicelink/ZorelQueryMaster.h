#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "devicelink/ZorelOneWireMaster.h"
#include "onewire/Export.h"
#include "teds/TEDSQuery.h"

// The relay master of a data-acquisition device, for TEDSQuery.
struct ZorelQuerySettings {
  std::wstring device;
  unsigned int address = 0;
  unsigned int channel = 0;  // 0 to 7
  uint8_t tedsMode = 1;
  std::chrono::milliseconds pollPause = ZorelOneWireMaster::DEFAULT_POLL_PAUSE;
  // Search passes per transfer (RemoteOneWireMaster::SetSearchPasses).
  unsigned int searchPasses = RemoteOneWireMaster::SEARCH_PASSES_DEFAULT;
};

// Throws std::invalid_argument for a channel outside 0 to 7.
ORVANE_TEDS_API QueryMaster MakeZorelQueryMaster(const ZorelQuerySettings& settings);
// A master made by the caller.
ORVANE_TEDS_API QueryMaster MakeZorelQueryMaster(std::unique_ptr<ZorelOneWireMaster> master);

#pragma once

#include <functional>
#include <memory>
#include <string>

#include "onewire/Export.h"
#include "serial/DS2480BOneWireMaster.h"
#include "teds/TEDSQuery.h"

// A DS2480B serial adapter on `port`, for TEDSQuery. `baud`, when not 0, is
// the rate to switch to after each start-up (DS2480BOneWireMaster::SetBaudRate,
// which `note` tells of a failed switch); std::invalid_argument for a rate
// the adapter does not have.
ORVANE_TEDS_API QueryMaster MakeDS2480BQueryMaster(
    const std::string& port, unsigned baud = 0,
    std::function<void(const std::string&)> note = nullptr);
// A master made by the caller (one on an emulated port).
ORVANE_TEDS_API QueryMaster MakeDS2480BQueryMaster(std::unique_ptr<DS2480BOneWireMaster> master);

#include "simdevice/BenchModel.h"

namespace simdevice {

BusDeviceConfig::BusDeviceConfig() : rom{}, status(ds2430a::STATUS_LOCKED) {
  application.fill(0xFF);
  memory.fill(0xFF);
}

ChannelConfig::ChannelConfig()
    : channel(0), refuseSetMode(false), refuseWrites(false), writesBeforeRefusal(0) {}

Bench::Bench()
    : name(L"SIM-DAQ"),
      address(1),
      checkModes(true),
      refuseServiceMode(false),
      responseDelayMs(0) {}

}  // namespace simdevice

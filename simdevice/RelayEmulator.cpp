#include "simdevice/RelayEmulator.h"

namespace simdevice {

RelaySettings::RelaySettings()
    : inboundMax(255),
      outboundMax(255),
      protocol("1W-RELAY 1.0"),
      vendor("Simulated relay"),
      writeAnswer(WriteAnswer::Echo),
      noPresenceCode(0) {}

CommandFailure::CommandFailure() : command(0), code(2), skip(0), count(0) {}

DropOff::DropOff() : rom{}, atReadPhase(false), afterAccesses(0) {}

RelayFaults::RelayFaults()
    : silentReads(0),
      silentAfterAnswers(0),
      garbageAnswers(0),
      garbageBytes{0xFF, 0xFF, 0xFF, 0xFF},
      outboundChunk(0) {}

RelayEmulator::RelayEmulator(const RelaySettings& settings, const RelayFaults& faults)
    : busFaults(faults),
      interpreter(settings, faults.commandFailures, bus, busFaults),
      outbound(faults) {}

}  // namespace simdevice

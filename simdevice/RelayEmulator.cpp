#include "simdevice/RelayEmulator.h"

#include <string>
#include <utility>

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

NoisyReads::NoisyReads() : rom{}, count(0) {}

RelayFaults::RelayFaults()
    : silentReads(0),
      silentAfterAnswers(0),
      garbageAnswers(0),
      garbageBytes{0xFF, 0xFF, 0xFF, 0xFF},
      outboundChunk(0),
      ignoreOutboundMax(false) {}

RelayEmulator::RelayEmulator(const RelaySettings& settings, const RelayFaults& faults)
    : busFaults(faults),
      interpreter(settings, faults.commandFailures, bus, busFaults),
      outbound(faults, settings.outboundMax) {}

void RelayEmulator::ReceiveInbound(const std::vector<uint8_t>& block) {
  const RelaySettings& settings = interpreter.GetSettings();
  if (block.size() > settings.inboundMax) {
    Breach("an inbound block of " + std::to_string(block.size()) +
           " bytes exceeds the reported inbound maximum " + std::to_string(settings.inboundMax));
  }
  std::vector<uint8_t> answer = interpreter.Run(block);
  if (answer.size() > settings.outboundMax) {
    Breach("the answer of " + std::to_string(answer.size()) +
           " bytes exceeds the reported outbound maximum " + std::to_string(settings.outboundMax));
  }
  outbound.Put(std::move(answer));
}

void RelayEmulator::Breach(const std::string& what) {
  // Kept short: a master that breaches once usually does so on every query.
  if (breaches.size() < 16) breaches.push_back(what);
}

}  // namespace simdevice

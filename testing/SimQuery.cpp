#include "testing/SimQuery.h"

#include <algorithm>

#include "onewire/AbstractOneWireMaster.h"
#include "relay/RelayProtocol.h"

namespace orvtest {

simdevice::Bench SensorBench(std::size_t sensors, uint8_t inboundMax, uint8_t outboundMax) {
  simdevice::Bench bench = simdevice::DefaultBench();
  simdevice::ChannelConfig& channel = bench.channels[0];
  const simdevice::BusDeviceConfig model = channel.devices[0];
  channel.devices.clear();
  for (std::size_t i = 0; i < sensors; ++i) {
    simdevice::BusDeviceConfig device = model;
    device.rom[1] = static_cast<uint8_t>(0x10 + i);
    device.rom[7] = AbstractOneWireMaster::Device::crc8(device.rom.data(), 7);
    channel.devices.push_back(device);
  }
  channel.relay.inboundMax = inboundMax;
  channel.relay.outboundMax = outboundMax;
  return bench;
}

namespace {

// Search passes per transfer, `first` with the 17 bytes of loads (commands
// and answers alike); a pass takes 4 bytes of commands, 14 of answers.
std::size_t PassesThatFit(bool first, std::size_t commands, std::size_t answers) {
  const std::size_t load = first ? 17 : 0;
  return std::min((commands - load) / 4, (answers - load) / 14);
}

std::size_t ReadTransfers(std::size_t sensors, std::size_t commands, std::size_t answers) {
  // Per DS2430A: status, application register, memory; 16 bytes of commands
  // each and up to 17, 24 and 48 bytes of answers. Packed in order.
  const std::size_t answerBytes[] = {17, 24, 48};
  std::size_t transfers = 0;
  std::size_t usedCommands = commands;
  std::size_t usedAnswers = answers;
  for (std::size_t read = 0; read < 3 * sensors; ++read) {
    const std::size_t answer = answerBytes[read % 3];
    if (usedCommands + 16 > commands || usedAnswers + answer > answers) {
      ++transfers;
      usedCommands = usedAnswers = 0;
    }
    usedCommands += 16;
    usedAnswers += answer;
  }
  return transfers;
}

}  // namespace

int MinimumRoundTrips(std::size_t sensors, uint8_t inboundMax, uint8_t outboundMax,
                      unsigned searchPasses) {
  const std::size_t commands = inboundMax - 2u;
  const std::size_t answers = outboundMax;
  std::size_t first = PassesThatFit(true, commands, answers);
  std::size_t later = PassesThatFit(false, commands, answers);
  if (searchPasses != 0) {
    first = std::min<std::size_t>(first, searchPasses);
    later = std::min<std::size_t>(later, searchPasses);
  }
  // n devices take n + 1 passes: the last one finds no further device.
  const std::size_t passes = sensors + 1;
  const std::size_t search = passes <= first ? 1 : 1 + (passes - first + later - 1) / later;
  return static_cast<int>(1 + search + ReadTransfers(sensors, commands, answers));
}

void WriteCounter::Observe(const orvane::TrafficEvent& event) {
  if (event.response || event.kind != orvane::TrafficKind::TEDSWrite || event.device != device) {
    return;
  }
  if (RelayProtocol::IsPollBlock(event.bytes)) {
    ++polls;
  } else {
    ++transfers;
  }
}

}  // namespace orvtest

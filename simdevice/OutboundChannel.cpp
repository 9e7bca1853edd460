#include "simdevice/OutboundChannel.h"

#include <algorithm>
#include <utility>

namespace simdevice {

OutboundChannel::OutboundChannel(const RelayFaults& faults, uint8_t outboundMax)
    : faults(faults), outboundMax(outboundMax) {}

void OutboundChannel::Put(std::vector<uint8_t> answer) {
  if (answer.empty()) return;
  ++answers;
  if (garbageUsed < faults.garbageAnswers) {
    ++garbageUsed;
    answer = faults.garbageBytes;
  }
  if (answers > faults.silentAfterAnswers) silentLeft = faults.silentReads;
  pending.insert(pending.end(), answer.begin(), answer.end());
}

std::vector<uint8_t> OutboundChannel::Read() {
  if (pending.empty()) return {};
  if (silentLeft > 0) {
    --silentLeft;
    return {};
  }
  std::size_t count = pending.size();
  if (!faults.ignoreOutboundMax) count = std::min<std::size_t>(count, outboundMax);
  if (faults.outboundChunk != 0) count = std::min<std::size_t>(count, faults.outboundChunk);
  std::vector<uint8_t> out(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
  pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(count));
  return out;
}

}  // namespace simdevice

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "simdevice/RelayFaults.h"

// The relay's outbound channel: it keeps the answers of the inbound blocks
// until they are read, and shows the channel's faults on the way out:
// silence (answers held back for some reads), garbage (answers replaced) and
// chunking (at most so many bytes per read). A read delivers at most the
// relay's reported outbound maximum, unless the relay ignores it.

namespace simdevice {

class OutboundChannel {
 public:
  OutboundChannel(const RelayFaults& faults, uint8_t outboundMax);

  // The answer of one inbound block; an empty one (a poll block, or writes
  // answered silently) leaves the channel as it is.
  void Put(std::vector<uint8_t> answer);
  // What one read of the channel delivers: empty when it holds nothing or
  // while an answer is held back.
  std::vector<uint8_t> Read();
  std::size_t PendingSize() const { return pending.size(); }

 private:
  const RelayFaults faults;
  const uint8_t outboundMax;
  std::vector<uint8_t> pending;
  uint32_t answers = 0;
  uint32_t garbageUsed = 0;
  uint32_t silentLeft = 0;
};

}  // namespace simdevice

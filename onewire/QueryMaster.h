#pragma once

#include <functional>
#include <memory>

#include "onewire/AbstractOneWireMaster.h"

// A master as a master factory hands it to a host (TEDSQuery, a write): the
// master, and what the host needs to know of it beyond AbstractOneWireMaster.
struct QueryMaster {
  // Shared only so that the master is destroyed as what it is (the base's
  // destructor is not virtual); the host holds the one reference.
  std::shared_ptr<AbstractOneWireMaster> master;
  // The master can no longer come up (a refused handshake, an adapter that
  // failed to start): it will not become ready until it is disabled. Any
  // thread.
  std::function<bool()> stalled;
  // Enabled, it still waits for another master to let go of its channel.
  // Optional (empty: it never waits). Any thread.
  std::function<bool()> waitingForChannel;
  // Ends all traffic into the master; the master cannot be used afterwards.
  std::function<void()> shutdown;
};

#pragma once

// What sits behind the device library: the devices that answer requests, and
// observers of the traffic between callers and devices.
//
// A device is attached under a name and an address; `orvane::SendCommand`
// reaches it only under both. All backend and observer calls run on the
// library's callback thread, one at a time, in request order.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "orvane/Orvane.h"

namespace orvane {

// A device: turns each request into the entries of its answer.
class ORVANE_API DeviceBackend {
 public:
  DeviceBackend();
  virtual ~DeviceBackend();

  // The responses to `request`, delivered together in one `ReceivedCommands`
  // call; an empty list delivers nothing (the device did not answer).
  virtual std::vector<OrvaneCommands> HandleRequest(const std::wstring& device,
                                                    unsigned int address,
                                                    const OrvaneCommands& request) = 0;
};

// Attaches `backend` as the device `device` at `address`. Returns false when
// the backend is empty or another backend already answers there.
ORVANE_API bool AttachDevice(const std::wstring& device, unsigned int address,
                             const std::shared_ptr<DeviceBackend>& backend);

// Detaches the device at `device` and `address`; requests queued for it are
// dropped. Once this returns no call reaches its backend: a call already
// running is waited for, except on the callback thread itself. Returns false
// when no device was attached there. While Windows ends the process (the
// callback thread already ended, the DLLs' detach code running) it does
// nothing and returns true.
ORVANE_API bool DetachDevice(const std::wstring& device, unsigned int address);

// Kind of a request or response, as far as this library knows it.
enum class TrafficKind : uint8_t {
  ServiceMode,
  TEDSSetMode,
  TEDSWrite,
  TEDSRead,
  Other,
};

// One request or one response entry on its way.
struct ORVANE_API TrafficEvent {
  TrafficEvent();

  bool response;      // false for the request, true for each response entry
  uint64_t sequence;  // number of the request (responses carry their request's)
  std::wstring device;
  unsigned int address;
  TrafficKind kind;
  uint8_t channelMask;         // TEDS commands; 0 otherwise
  uint8_t mode;                // mode of a service or set-mode request or response
  bool success;                // flag of a response; true for requests
  std::vector<uint8_t> bytes;  // data of a TEDS write request or TEDS read response
  std::shared_ptr<const OrvaneCommand> command;  // may be empty
};

class ORVANE_API TrafficObserver {
 public:
  TrafficObserver();
  virtual ~TrafficObserver();
  // Called on the callback thread for each request before its device handles
  // it, and for each response entry before it is delivered.
  virtual void Observe(const TrafficEvent& event) = 0;
};

// Observers are held by shared handle while registered. Removal has the same
// guarantee as `ConnectionRemoveListener`.
ORVANE_API void AddTrafficObserver(const std::shared_ptr<TrafficObserver>& observer);
ORVANE_API void RemoveTrafficObserver(const std::shared_ptr<TrafficObserver>& observer);

// Waits until every request queued before the call has been handled and its
// responses delivered. Returns false on time-out, or at once when called on
// the callback thread (it would wait for itself).
ORVANE_API bool Flush(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

}  // namespace orvane

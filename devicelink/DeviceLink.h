#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "orvane/Orvane.h"

class ZorelOneWireMaster;

// What every device-link master of one device name shares: the one response
// listener registered with the device library for that name, and, per
// address, the requests still waiting for their answers.
//
// A response carries no sign of the channel (or master) whose request it
// answers, but the device library delivers the answers of one device in the
// order the requests were made. So each request is recorded under its owner
// as it leaves, in one queue per kind of response (service operating mode,
// TEDS set-mode, TEDS write, TEDS read), and each answer goes to the owner of
// the oldest request of its kind. Masters on different channels of one device
// can so run at the same time, each receiving only its own answers.
//
// This relies on the device library answering every request it accepted.
// It drops the requests of a device detached meanwhile; their records would
// take later answers, so they are forgotten once the last master of the
// device has gone.
//
// The service operating mode is device-wide: the link counts the enabled
// masters so that only the last one to be disabled takes the device back to
// mode 0.
class DeviceLink {
 public:
  enum class Kind : uint8_t { ServiceMode, SetMode, Write, Read };
  static constexpr std::size_t KIND_COUNT = 4;

  // One request on its way; `owner` is cleared when the master leaves.
  struct Request {
    ZorelOneWireMaster* owner;
    uint64_t enabling;  // the owner's enabling the request belongs to
    Kind kind;
    bool tedsServiceMode;  // a service operating mode 4 request (not mode 0)
  };

  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // The link of `device` with `member` added to it; made (and registered with
  // the device library) when the device has no link yet.
  static std::shared_ptr<DeviceLink> Join(const std::wstring& device, ZorelOneWireMaster* member);
  // No answer reaches `member` once this returns: an answer being delivered
  // to it on another thread is waited for. Its requests still on their way
  // are answered into nothing.
  void Leave(ZorelOneWireMaster* member);

  // Records the request, then sends it. False, and nothing recorded, when
  // the device library refuses it. A master that has left sends nothing.
  bool Send(const Request& request, unsigned int address,
            const std::shared_ptr<OrvaneCommand>& command);

  // Marks `member` enabled or disabled. Returns true when no other master of
  // the device is enabled (disabling: the device may leave service mode 4).
  bool SetEnabled(ZorelOneWireMaster* member, bool enabled);

  // The response listener's entry.
  void Received(unsigned int address, const std::vector<OrvaneCommands>& commands);

 private:
  explicit DeviceLink(const std::wstring& device);

  // The queue an entry of a response list answers, by the codes the device
  // library guarantees; false for anything this master does not use.
  static bool KindOf(const OrvaneCommand& command, Kind& kind);
  bool TakeOwner(unsigned int address, Kind kind, Request& request);
  void Deliver(const Request& request, const OrvaneCommand& command);

  const std::wstring device;
  std::shared_ptr<orvane::StreamListener> listener;
  std::mutex mutex;
  std::condition_variable idle;  // a delivery has ended
  std::map<unsigned int, std::array<std::deque<Request>, KIND_COUNT>> pending;
  std::set<ZorelOneWireMaster*> members;
  std::set<ZorelOneWireMaster*> enabled;
  ZorelOneWireMaster* delivering = nullptr;  // the master an answer is being handed to
  std::thread::id deliveringThread;
};

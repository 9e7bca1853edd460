#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "devicelink/DeviceLink.h"
#include "onewire/Clock.h"
#include "onewire/Export.h"
#include "orvane/Orvane.h"
#include "relay/RemoteOneWireMaster.h"

// The relay master of the data-acquisition device: the relay sits on one TEDS
// channel of the device, which is reached through the device library.
// Inbound blocks go out as TEDS write requests; each confirmed write starts a
// poll thread that waits the poll pause and sends one TEDS read request,
// whose answer is the relay's outbound block. Before the relay is used the
// channel is put into the configured TEDS mode and the device's service
// operating mode is set to 4; disabling sets it back to 0.
//
// Channels: any number of masters may work on the channels of one device at
// once. Their requests share one record of the answers still to come (the
// device answers in request order), so each answer reaches the master whose
// request it answers; the device's service operating mode goes back to 0
// only when the last enabled master of the device is disabled. Masters on
// the same channel (same device name, address and channel) take turns: one
// enabled while another holds the channel stays Enabling, sending nothing,
// until the holder is disabled or destroyed, and then starts its handshake.
// A master holds its channel from Enable(true) to Enable(false).
// A query cut short (a disable or destroy between a block and the read of
// its answer) leaves that answer in the relay; the next master to hold the
// channel reads such answers away after its handshake, before its first
// block, so that it does not take one for its own.
//
// Threads: responses arrive on the device library's callback thread; the host
// calls the constructor, the destructor and every public member. Every entry
// into the master from those two threads runs under one lock, so a host may
// call any of them while a query is under way. The poll thread only sends
// read requests.
class ORVANE_TEDS_API ZorelOneWireMaster : public RemoteOneWireMaster {
 public:
  static constexpr std::chrono::milliseconds DEFAULT_POLL_PAUSE{1000};
  static constexpr unsigned int CHANNEL_COUNT = 8;

  // Throws std::invalid_argument for a channel outside 0 to 7: its mask would
  // select no channel and every request would go nowhere. The poll pause is
  // measured by `clock` (null: the steady clock).
  ZorelOneWireMaster(const std::wstring& device, unsigned int address, unsigned int channel,
                     const ZorelDAQTEDSMode& mode,
                     std::chrono::milliseconds pollPause = DEFAULT_POLL_PAUSE,
                     std::shared_ptr<Clock> clock = nullptr);
  ZorelOneWireMaster(const ZorelOneWireMaster&) = delete;
  ZorelOneWireMaster& operator=(const ZorelOneWireMaster&) = delete;
  // Stops the answers first (none reaches the master afterwards, so no new
  // poll thread can start), then joins the poll thread, cutting its pause
  // short. Reads still due are not sent.
  ~ZorelOneWireMaster() override;

  void Enable(bool enable) override;
  void Discover(const std::shared_ptr<DiscoveryListener>& listener) override;

  // Stops all traffic into the master, as the destructor does; the master
  // cannot be used afterwards. Lets a host wait for the callback thread to
  // leave the master before it destroys what the master's listeners use.
  void Shutdown();

  // The device refused the set-mode or the service operating mode request of
  // the latest enabling: the master stays Enabling until Enable(false). Safe
  // to ask from any thread.
  bool HandshakeRefused() const { return handshakeRefused.load(); }

  // Enabled while another master holds the channel, it still waits for it
  // (and has sent nothing). Safe to ask from any thread.
  bool WaitingForChannel() const { return link->Waiting(this); }

  const std::wstring& GetDevice() const { return device; }
  unsigned int GetAddress() const { return address; }
  uint8_t GetChannelMask() const { return channelMask; }

 protected:
  friend class DeviceLink;

  void Process() override;
  void SendInbound(const std::vector<uint8_t>& data) override;
  void SentInbound() override;

 private:
  // The master's serializer: holds off the device library's callbacks while
  // `action` runs.
  static void SerializeEntry(AbstractOneWireMaster& master, const std::function<void()>& action);
  // One answer to one of this master's requests, in the order they came.
  void Answered(const DeviceLink::Request& request, const OrvaneCommand& command);
  void AnsweredServiceMode(const OrvaneCommand& command);
  void AnsweredSetMode(const OrvaneCommand& command);
  void AnsweredWrite(const OrvaneCommand& command);
  void SchedulePoll();
  void JoinPollThread();
  void PollThreadMain();

  void SendSetServiceOperatingMode(const ServiceOperatingMode& mode);
  void SendSetTEDSMode(const ZorelDAQTEDSMode& mode);
  void SendInboundRequest(const std::vector<uint8_t>& data);
  void SendOutboundRequest(uint64_t ofEnabling);
  // Sends one request; false when the device library refuses it. A refused
  // handshake request is reported through Error and stops the enabling; a
  // refused write or read gives up the transfer in flight.
  bool Send(DeviceLink::Kind kind, const std::shared_ptr<OrvaneCommand>& command,
            uint64_t ofEnabling, bool tedsServiceMode = false, bool answerDue = false);
  // Before its first block the master reads away the answers the relay still
  // holds for blocks of an exchange cut short on its channel (by a stop, a
  // destroy or a time-out); each read is discarded. False when there is
  // nothing (left) to read away.
  bool Drain();
  void Drained(const std::vector<uint8_t>& bytes);
  std::string RefusedText(const char* what) const;
  void RefuseHandshake(const char* what);
  std::string DeviceText() const;
  std::string ChannelText() const;

  std::shared_ptr<std::thread> pollThread;
  std::shared_ptr<DeviceLink> link;
  const std::wstring device;
  const uint32_t address;
  const uint8_t channelMask;
  const ZorelDAQTEDSMode tedsMode;
  bool tedsModeSet = false;
  bool serviceModeRequested = false;
  bool serviceModeSet = false;
  std::atomic<bool> handshakeRefused{false};
  // Reading away stale relay answers: checked once per enabling, after the
  // handshake; the reads left before the master stops waiting for them.
  bool drainChecked = false;
  bool draining = false;
  uint32_t drainReadsLeft = 0;
  // Counts the enablings; an answer to a request of an earlier one (sent
  // before a disable) is stale and changes nothing.
  std::atomic<uint64_t> enabling{0};

  const std::chrono::milliseconds pollPause;
  const std::shared_ptr<Clock> clock;
  // Serializes the callback thread and the host's thread inside the master.
  // Recursive: listeners called under it may call back into the master.
  std::recursive_mutex lock;
  // The reads due, one per confirmed write, each with its time and the
  // enabling it belongs to; the poll thread sends them in order and ends
  // when none is left. Shutting down cuts its pause short.
  struct DueRead {
    Clock::TimePoint at;
    uint64_t ofEnabling;
  };
  std::mutex pollMutex;
  std::condition_variable pollWake;
  std::deque<DueRead> dueReads;  // guarded by pollMutex
  bool pollRunning = false;      // guarded by pollMutex
  bool stopping = false;         // guarded by pollMutex
  bool shutDown = false;
};

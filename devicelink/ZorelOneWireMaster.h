#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
// Threads: responses arrive on the device library's callback thread; the host
// calls the constructor, the destructor, Enable and Discover. Every entry into
// the master from those two threads runs under one lock, so a host may also
// disable the master while a query is under way. The poll thread only sends
// read requests.
class ORVANE_TEDS_API ZorelOneWireMaster : public RemoteOneWireMaster {
 public:
  static constexpr std::chrono::milliseconds DEFAULT_POLL_PAUSE{1000};
  static constexpr unsigned int CHANNEL_COUNT = 8;

  // Receives the device's responses and hands them to the master.
  class ORVANE_TEDS_API ResponseListener : public orvane::StreamListener {
   public:
    explicit ResponseListener(ZorelOneWireMaster* master) : master(master) {}
    void ReceivedCommands(const std::wstring& device, unsigned int address, uint64_t sequence,
                          const std::shared_ptr<std::vector<OrvaneCommands>>& commands) override;

   private:
    ZorelOneWireMaster* master;
  };

  // Throws std::invalid_argument for a channel outside 0 to 7: its mask would
  // select no channel and every request would go nowhere.
  ZorelOneWireMaster(const std::wstring& device, unsigned int address, unsigned int channel,
                     const ZorelDAQTEDSMode& mode,
                     std::chrono::milliseconds pollPause = DEFAULT_POLL_PAUSE);
  ZorelOneWireMaster(const ZorelOneWireMaster&) = delete;
  ZorelOneWireMaster& operator=(const ZorelOneWireMaster&) = delete;
  // Unregisters the response listener first (no response reaches the master
  // afterwards, so no new poll thread can start), then joins the poll thread,
  // cutting its pause short.
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

  const std::wstring& GetDevice() const { return device; }
  unsigned int GetAddress() const { return address; }
  uint8_t GetChannelMask() const { return channelMask; }

 protected:
  void Process() override;
  void SendInbound(const std::vector<uint8_t>& data) override;
  void SentInbound() override;

 private:
  // The master's serializer: holds off the device library's callbacks while
  // `action` runs.
  static void SerializeEntry(AbstractOneWireMaster& master, const std::function<void()>& action);
  void Dispatch(const std::vector<OrvaneCommands>& commands);
  void DispatchGCC(const OrvaneCommand& command);
  void StartPollThread();
  void JoinPollThread();
  void PollThreadMain();

  void SendSetServiceOperatingMode(const ServiceOperatingMode& mode);
  void SendSetTEDSMode(const ZorelDAQTEDSMode& mode);
  void SendInboundRequest(const std::vector<uint8_t>& data);
  void SendOutboundRequest();
  // Sends one request; false when the device library refuses it. A refused
  // handshake request is reported through Error and stops the enabling; a
  // refused write or read gives up the transfer in flight.
  bool Send(const std::shared_ptr<OrvaneCommand>& command);
  std::string RefusedText(const char* what) const;
  void RefuseHandshake(const char* what);
  std::string DeviceText() const;
  std::string ChannelText() const;

  std::shared_ptr<std::thread> pollThread;
  std::shared_ptr<ResponseListener> responseListener;
  const std::wstring device;
  const uint32_t address;
  const uint8_t channelMask;
  const ZorelDAQTEDSMode tedsMode;
  bool tedsModeSet = false;
  bool serviceModeRequested = false;
  bool serviceModeSet = false;
  std::atomic<bool> handshakeRefused{false};

  const std::chrono::milliseconds pollPause;
  // Serializes the callback thread and the host's thread inside the master.
  // Recursive: listeners called under it may call back into the master.
  std::recursive_mutex lock;
  // Cuts a poll thread's pause short when the master shuts down.
  std::mutex pollMutex;
  std::condition_variable pollWake;
  bool stopping = false;  // guarded by pollMutex
  bool joining = false;   // guarded by pollMutex
  bool shutDown = false;
};

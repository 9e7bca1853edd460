#pragma once

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
// listener registered with the device library for that name, per address the
// requests still waiting for their answers, and per channel the master that
// holds it.
//
// A response carries no sign of the master whose request it answers, but it
// names its kind and, for the TEDS requests, the channel mask; the device
// library delivers the answers of one device in the order the requests were
// made. So each request is recorded under its owner as it leaves, and each
// answer goes to the owner of the oldest request of its kind and channel.
// Masters on different channels of one device so run at the same time, each
// receiving only its own answers.
//
// One channel has one relay and one bus: two masters on it would mix their
// exchanges. So a master holds its channel from its enabling to its disable;
// a master enabled while another holds the channel waits, sending nothing,
// until the holder is disabled or gone; then the link sends its set-mode
// request and its handshake goes on with the answer. Waiting masters take
// the channel in the order they asked. The hand-over happens under the
// link's lock only, never under a master's, so no two masters' locks are
// ever held at once.
//
// The device library drops the requests of a device detached meanwhile, so
// a record may never be answered. Records expire: a master's own when it is
// disabled (its query is over) or gone, the leftovers of earlier work on a
// channel when a master takes the channel, and all of them once the last
// master of the device has gone. Only mode 0 records are kept until answered
// (see Expendable). A late answer to an expired record finds no record of
// its kind and channel (the next holder's first request is its set-mode) and
// is dropped.
//
// The link also counts, per channel, the blocks of relay commands the relay
// took whose answers no read has taken yet (a query cut short leaves one),
// so that the next master of the channel can read them away first. The
// counts outlive the link, and a link whose last master is gone stays until
// the device has answered its writes.
//
// The service operating mode is device-wide: the link counts the enabled
// masters so that only the last one to be disabled takes the device back to
// mode 0.
class DeviceLink : public std::enable_shared_from_this<DeviceLink> {
 public:
  enum class Kind : uint8_t { ServiceMode, SetMode, Write, Read };
  static constexpr std::size_t KIND_COUNT = 4;

  // One request on its way; `owner` is cleared when the master leaves.
  struct Request {
    ZorelOneWireMaster* owner;
    uint64_t enabling;  // the owner's enabling the request belongs to
    Kind kind;
    bool tedsServiceMode;  // a service operating mode 4 request (not mode 0)
    uint8_t channelMask;   // the TEDS requests' channel; 0 for service requests
    // A write of relay commands (not a poll block): the relay will hold an
    // answer to it until a read takes it.
    bool answerDue = false;
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

  // Takes the channel of `member` (its address and channel mask) for it,
  // counts it as enabled, and forgets what earlier work left on the channel;
  // the caller then starts its handshake. False when another master holds
  // the channel: `member` then waits in line, and the link starts its
  // handshake (sends its set-mode request) once the channel is handed to it.
  bool Claim(ZorelOneWireMaster* member);
  // `member` is being disabled: it leaves the line, or gives its channel up.
  // When it was the last enabled master of the device, the service operating
  // mode 0 request goes out first (false when the device library refused
  // it); then the channel goes to the next master in line.
  bool Disable(ZorelOneWireMaster* member);
  // Forgets the requests of `member` still on their way: its query is over.
  void Expire(ZorelOneWireMaster* member);
  // `member` waits in line for its channel.
  bool Waiting(const ZorelOneWireMaster* member);
  // Answers the relay on the channel of `member` still holds for blocks
  // written to it (by any master, also one stopped or gone meanwhile): each
  // block of relay commands the device confirmed owes one answer, which the
  // next non-empty read of the channel takes. A master taking the channel
  // reads these away before its own first block, so that it does not take
  // one for its own. Asked once its handshake is done.
  uint32_t UnreadAnswers(const ZorelOneWireMaster* member);
  // Stops waiting for those answers: the relay stayed silent.
  void ForgetUnreadAnswers(const ZorelOneWireMaster* member);

  // The response listener's entry.
  void Received(unsigned int address, const std::vector<OrvaneCommands>& commands);

 private:
  explicit DeviceLink(const std::wstring& device);

  // The queue an entry of a response list answers, by the codes the device
  // library guarantees; false for anything this master does not use.
  static bool KindOf(const OrvaneCommand& command, Kind& kind);
  static bool Expendable(const Request& request);
  // Under the lock: forgets the requests of `member` whose answers nothing
  // waits for any more (see Expendable).
  void DropExpendable(const ZorelOneWireMaster* member);
  bool TakeOwner(unsigned int address, Kind kind, const OrvaneCommand& command, Request& request);
  void Deliver(const Request& request, const OrvaneCommand& command);
  // Under the lock: takes `member` out of the line for its channel, or hands
  // the channel it held to the next master in line.
  void HandOver(ZorelOneWireMaster* member);
  // Under the lock: records and sends one request; false when the device
  // library refused it (nothing is recorded then).
  bool SendLocked(const Request& request, unsigned int address,
                  const std::shared_ptr<OrvaneCommand>& command);
  // Under the lock: a confirmed write of relay commands adds one to the
  // channel's unread relay answers, a read answer that brings bytes takes
  // one away.
  void CountAnswer(unsigned int address, Kind kind, const OrvaneCommand& command);
  // Under the lock, with no member left: keeps the link while a write of
  // relay commands waits for its answer, and lets it go once none does.
  void KeepWhileUnconfirmed();

  using ChannelKey = std::pair<unsigned int, uint8_t>;  // address, channel mask
  struct Channel {
    ZorelOneWireMaster* holder = nullptr;
    std::deque<ZorelOneWireMaster*> waiting;
  };

  const std::wstring device;
  std::shared_ptr<orvane::StreamListener> listener;
  std::mutex mutex;
  std::condition_variable idle;                         // a call into a master has ended
  std::map<unsigned int, std::deque<Request>> pending;  // per address, in request order
  std::map<ChannelKey, Channel> channels;
  // Per channel, the writes the device has not answered yet, oldest first:
  // whether each carries relay commands (a poll block does not).
  std::map<ChannelKey, std::deque<bool>> unconfirmed;
  // Set while no member holds the link and a write of relay commands is
  // still unanswered (KeepWhileUnconfirmed).
  std::shared_ptr<DeviceLink> keepAlive;
  std::set<ZorelOneWireMaster*> members;
  std::set<ZorelOneWireMaster*> enabled;
  // The answers being handed to masters, by thread.
  std::vector<std::pair<ZorelOneWireMaster*, std::thread::id>> calls;
};

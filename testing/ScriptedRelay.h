#pragma once

// A relay master for tests whose relay is a script: every inbound block the
// master sends must be the next expected one, and each expected block comes
// with the relay's answer (or is held for the test to answer by hand). A
// block nobody expected, a wrong block, and an expectation left unused when
// the relay is destroyed (or verified) each fail the test.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "relay/RemoteOneWireMaster.h"
#include "testing/RelayAnswers.h"

namespace orvtest {

class ScriptedRelay : public RemoteOneWireMaster {
 public:
  using RemoteOneWireMaster::Process;
  using RemoteOneWireMaster::Search;
  using RemoteOneWireMaster::TransferCreate;
  using RemoteOneWireMaster::TransferSubmit;

  ScriptedRelay() = default;
  ScriptedRelay(const ScriptedRelay&) = delete;
  ScriptedRelay& operator=(const ScriptedRelay&) = delete;
  // Verifies.
  ~ScriptedRelay() override;

  // The master must send `inbound` next; the relay takes it and, when Run
  // gets to it, answers `outbound` (an empty block: nothing yet).
  ScriptedRelay& Expect(const Bytes& inbound, const Bytes& outbound);
  // The master must send `inbound` next; the test answers it with Answer or
  // FinishWith.
  ScriptedRelay& ExpectHeld(const Bytes& inbound);
  // `inbound`, then three polls, every read empty: a relay silent through
  // the master's poll budget.
  ScriptedRelay& ExpectSilent(const Bytes& inbound);

  // Delivers the scripted answers of the blocks sent, in order, until no
  // answer is waiting (answers may make the master send further blocks).
  void Run();
  // The relay takes the held block and answers `outbound`; then Run.
  void Answer(const Bytes& outbound);
  // Ends the transfer in flight with hand-made responses instead of parsed
  // ones, for answers no relay block can produce; then Run.
  void FinishWith(const std::vector<Response>& responses);

  // Enables the master through a configuration answered with `inboundMax`
  // (and `outboundMax`).
  void MakeReady(uint8_t inboundMax = 0xFF, uint8_t outboundMax = 0xFF);

  // Fails the test for every expectation not yet used and every answer not
  // yet delivered, then forgets them.
  void Verify();

  bool InFlight() const { return transfer != nullptr; }
  std::size_t Queued() const { return transfers.size(); }
  std::size_t Submitted() const { return transactions.size(); }
  // Inbound blocks sent so far.
  std::size_t Sent() const { return sent; }

 protected:
  void SendInbound(const Bytes& block) override;

 private:
  struct Expectation {
    Bytes inbound;
    std::optional<Bytes> outbound;  // none: held for the test
  };
  std::deque<Expectation> expected;
  std::deque<Bytes> answers;
  std::size_t sent = 0;
};

}  // namespace orvtest

inline bool operator==(const RemoteOneWireMaster::Response& a,
                       const RemoteOneWireMaster::Response& b) {
  return a.command == b.command && a.returnCode == b.returnCode && a.data == b.data;
}

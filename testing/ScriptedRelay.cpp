#include "testing/ScriptedRelay.h"

#include <gtest/gtest.h>

#include <string>

#include "text/HexText.h"

namespace orvtest {

namespace {

std::string Hex(const Bytes& bytes) {
  return bytes.empty() ? "(empty)" : orvtext::FormatHex(bytes);
}

}  // namespace

ScriptedRelay::~ScriptedRelay() { Verify(); }

ScriptedRelay& ScriptedRelay::Expect(const Bytes& inbound, const Bytes& outbound) {
  expected.push_back(Expectation{inbound, outbound});
  return *this;
}

ScriptedRelay& ScriptedRelay::ExpectHeld(const Bytes& inbound) {
  expected.push_back(Expectation{inbound, std::nullopt});
  return *this;
}

ScriptedRelay& ScriptedRelay::ExpectSilent(const Bytes& inbound) {
  Expect(inbound, {});
  for (int poll = 0; poll < 3; ++poll) Expect(kPollBlock, {});
  return *this;
}

void ScriptedRelay::SendInbound(const Bytes& block) {
  RemoteOneWireMaster::SendInbound(block);
  ++sent;
  if (expected.empty()) {
    ADD_FAILURE() << "unexpected inbound block " << Hex(block);
    return;
  }
  const Expectation next = expected.front();
  expected.pop_front();
  EXPECT_EQ(Hex(block), Hex(next.inbound)) << "inbound block " << sent << " differs";
  if (next.outbound) answers.push_back(*next.outbound);
}

void ScriptedRelay::Run() {
  while (!answers.empty()) {
    const Bytes outbound = answers.front();
    answers.pop_front();
    SentInbound();
    ReceiveOutbound(outbound);
  }
}

void ScriptedRelay::Answer(const Bytes& outbound) {
  SentInbound();
  ReceiveOutbound(outbound);
  Run();
}

void ScriptedRelay::FinishWith(const std::vector<Response>& responses) {
  const std::shared_ptr<Transfer> current = transfer;
  ASSERT_NE(current, nullptr) << "no transfer in flight";
  const std::shared_ptr<Transfer> made = TransferCreate(current->listener);
  made->requests = current->requests;
  made->responses.assign(responses.begin(), responses.end());
  current->listener->Finished(*made);
  transfer.reset();
  Process();
  Run();
}

void ScriptedRelay::MakeReady(uint8_t inboundMax, uint8_t outboundMax) {
  Expect(kConfigBlock, ConfigAnswer(outboundMax, inboundMax));
  Enable(true);
  Run();
}

void ScriptedRelay::Verify() {
  for (const Expectation& unused : expected) {
    ADD_FAILURE() << "expected inbound block never sent: " << Hex(unused.inbound);
  }
  for (const Bytes& undelivered : answers) {
    ADD_FAILURE() << "scripted answer never delivered (Run not called?): " << Hex(undelivered);
  }
  expected.clear();
  answers.clear();
}

}  // namespace orvtest

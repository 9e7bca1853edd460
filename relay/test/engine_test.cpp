#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "testing/Recorders.h"
#include "testing/ScriptedRelay.h"

namespace {

using namespace orvtest;
using Request = RemoteOneWireMaster::Request;
using Response = RemoteOneWireMaster::Response;
using Transfer = RemoteOneWireMaster::Transfer;

struct TransferLog : RemoteOneWireMaster::TransferListener {
  void Sent(const Transfer&) override { ++sent; }
  void Finished(const Transfer& transfer) override {
    responses.assign(transfer.responses.begin(), transfer.responses.end());
    ++finished;
  }
  void Error(const std::string& message) override { errors.push_back(message); }
  int sent = 0;
  int finished = 0;
  std::vector<Response> responses;
  std::vector<std::string> errors;
};

class RemoteOneWireMasterEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    master.AddListener(bus);
    master.MakeReady(0xFF);
  }

  // Queues a transfer of `requests` and lets the master send what it can.
  static std::shared_ptr<TransferLog> Send(const std::vector<Request>& requests,
                                           ScriptedRelay& relay) {
    auto log = std::make_shared<TransferLog>();
    const auto transfer = relay.TransferCreate(log);
    transfer->requests.assign(requests.begin(), requests.end());
    relay.TransferSubmit(transfer);
    relay.Process();
    return log;
  }
  std::shared_ptr<TransferLog> Send(const std::vector<Request>& requests) {
    return Send(requests, master);
  }

  ScriptedRelay master;
  std::shared_ptr<BusLog> bus = std::make_shared<BusLog>();
};

TEST_F(RemoteOneWireMasterEngine, PacksRequestsAndParsesEveryAnswerForm) {
  struct Case {
    const char* what;
    std::vector<Request> requests;
    Bytes block;
    Bytes outbound;
    std::vector<Response> expected;
  };
  const std::vector<Case> cases = {
      {"echo with data and single-byte echo",
       {{0x84, {}}, {0x05, {}}, {0x06, {}}, {0x01, {}}, {0x02, {}}},
       {0x84, 0x05, 0x00, 0x06, 0x00, 0x01, 0x00, 0x02, 0x00, 0x85},
       {0x84, 0x00, 0x05, 0x01, 0x40, 0x06, 0x01, 0x40, 0x01, 0x02, 0x41, 0x00, 0x02, 0x01, 0xF0},
       {{0x84, 0, {}},
        {0x05, 0, {0x40}},
        {0x06, 0, {0x40}},
        {0x01, 0, {0x41, 0x00}},
        {0x02, 0, {0xF0}}}},
      {"write answered with nothing",
       {{0x01, {0x01, 0x02}}, {0x80, {}}},
       {0x01, 0x02, 0x01, 0x02, 0x80, 0x85},
       {0x80, 0x00},
       {{0x01, 0, {}}, {0x80, 0, {}}}},
      {"halting CMD_STATUS stops parsing",
       {{0x01, {0x01, 0x02}}, {0x80, {}}},
       {0x01, 0x02, 0x01, 0x02, 0x80, 0x85},
       {0x86, 0x05},
       {{0x01, 5, {}}}},
      {"return code 1 goes on",
       {{0x80, {}}, {0x81, {}}},
       {0x80, 0x81, 0x85},
       {0x80, 0x01, 0x81, 0x00},
       {{0x80, 1, {}}, {0x81, 0, {}}}},
      {"return code 2 halts",
       {{0x80, {}}, {0x81, {}}},
       {0x80, 0x81, 0x85},
       {0x80, 0x02},
       {{0x80, 2, {}}}},
      {"extra bytes ignored",
       {{0x80, {}}},
       {0x80, 0x85},
       {0x80, 0x00, 0x99, 0x98},
       {{0x80, 0, {}}}},
      {"trailing write answered with nothing",
       {{0x80, {}}, {0x0A, {0x03, 0xF0}}},
       {0x80, 0x0A, 0x02, 0x03, 0xF0, 0x85},
       {0x80, 0x00},
       {{0x80, 0, {}}, {0x0A, 0, {}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    master.Expect(c.block, c.outbound);
    const auto log = Send(c.requests);
    master.Run();
    EXPECT_EQ(log->sent, 1);
    EXPECT_EQ(log->finished, 1);
    EXPECT_EQ(log->responses, c.expected);
    EXPECT_FALSE(master.InFlight());
    master.Verify();
  }
  EXPECT_TRUE(bus->errors.empty());
}

TEST_F(RemoteOneWireMasterEngine, ProtocolErrorIsReportedOnceAndReleasesTheTransfer) {
  const std::vector<Bytes> broken = {
      {0x81, 0x00},                    // echo of another single-byte command
      {0x80, 0x00, 0x86, 0x00},        // a read answered with CMD_STATUS
      {0x80},                          // block ends after the echo
      {0x80, 0x00, 0x05, 0x03, 0x01},  // length beyond the block
      {0x80, 0x00},                    // a read left unanswered
  };
  for (const Bytes& outbound : broken) {
    bus->errors.clear();
    // The master goes on with the next transfer.
    master.Expect({0x80, 0x05, 0x00, 0x85}, outbound).Expect({0x80, 0x85}, {0x80, 0x00});
    const auto log = Send({{0x80, {}}, {0x05, {}}});
    const auto next = Send({{0x80, {}}});
    master.Run();
    EXPECT_EQ(bus->errors, std::vector<std::string>{"Remote OneWire protocol error"});
    EXPECT_EQ(log->errors, std::vector<std::string>{"Remote OneWire protocol error"});
    EXPECT_EQ(log->finished, 0);
    EXPECT_EQ(next->finished, 1);
    master.Verify();
  }
}

TEST_F(RemoteOneWireMasterEngine, SilentRelayCostsThreePollsThenEachTransferFailsAlone) {
  // Every transfer gets the full budget, also after the previous one spent it.
  master.ExpectSilent({0x80, 0x85}).ExpectSilent({0x81, 0x85});
  master.ExpectHeld({0x84, 0x85}).Expect(kPollBlock, {0x84, 0x00});
  const auto first = Send({{0x80, {}}});
  const auto second = Send({{0x81, {}}});
  const auto third = Send({{0x84, {}}});
  master.Run();
  for (const auto& silent : {first, second}) {
    EXPECT_EQ(silent->errors, std::vector<std::string>{"Relay did not answer"});
    EXPECT_EQ(silent->sent, 4);
  }
  EXPECT_EQ(third->finished, 0);
  master.Answer({});  // one empty read, then the answer to the poll
  EXPECT_EQ(third->finished, 1);
  EXPECT_TRUE(bus->errors.empty());
}

TEST_F(RemoteOneWireMasterEngine, TheReportedMaximaBoundEveryBlock) {
  ScriptedRelay small;
  small.MakeReady(48, 48);
  ASSERT_EQ(small.GetInboundMax(), 48);
  ASSERT_EQ(small.GetOutboundMax(), 48);
  // 2 + 45 bytes of commands exceed 48 less the two bytes of reserve; the
  // next transfer takes 47 bytes with its CMD_POLL.
  small.Expect(Block(Concat({{0x01, 44}, Bytes(44, 0x22)})), {0x86, 0x00});
  const auto tooLarge = Send({{0x01, Bytes(45, 0x11)}}, small);
  const auto fits = Send({{0x01, Bytes(44, 0x22)}}, small);
  small.Run();
  EXPECT_EQ(tooLarge->errors,
            std::vector<std::string>{
                "Transfer needs 47 bytes of commands, the relay takes at most 46 per block"});
  EXPECT_EQ(fits->finished, 1);

  // Answers are counted at their longest: a write's echo (2 + payload), a
  // read's value (8 for a ROM), CMD_ML_DATA's exchange length, 2 for a
  // single-byte command. 48 fit, 49 do not.
  struct Case {
    std::vector<Request> requests;
    Bytes block;          // empty: not sent
    const char* failure;  // null: sent
  };
  const std::vector<Case> cases = {
      {std::vector<Request>(5, Request{0x00, {}}),
       {},
       "Transfer needs up to 50 bytes of answers, the relay sends at most 48 per block"},
      {{{0x01, Bytes(20, 0)}, {0x00, {}}, {0x00, {}}, {0x80, {}}},
       Block(Concat({{0x01, 20}, Bytes(20, 0), {0x00, 0x00, 0x00, 0x00, 0x80}})),
       nullptr},
      {{{0x0A, {44, 0xF0}}, {0x80, {}}}, {0x0A, 0x02, 44, 0xF0, 0x80, 0x85}, nullptr},
      {{{0x0A, {45, 0xF0}}, {0x80, {}}},
       {},
       "Transfer needs up to 49 bytes of answers, the relay sends at most 48 per block"},
  };
  for (const Case& c : cases) {
    auto log = std::make_shared<TransferLog>();
    const auto transfer = small.TransferCreate(log);
    transfer->requests.assign(c.requests.begin(), c.requests.end());
    if (!c.failure) small.ExpectHeld(c.block);
    small.TransferSubmit(transfer);
    small.Process();
    EXPECT_EQ(log->errors, c.failure ? std::vector<std::string>{c.failure}
                                     : std::vector<std::string>{});
    EXPECT_EQ(small.InFlight(), c.failure == nullptr);
    if (small.InFlight()) small.FinishWith({});
  }

  // A relay that reports 255 takes blocks of up to 254 bytes.
  master.ExpectHeld(Block(Concat({{0x01, 251}, Bytes(251, 0x33)})));
  const auto large = Send({{0x01, Bytes(251, 0x33)}});
  EXPECT_TRUE(large->errors.empty());
  master.Answer({0x86, 0x00});
  EXPECT_EQ(large->finished, 1);
}

}  // namespace

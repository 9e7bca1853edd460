// TEDSQuery: how a blocking run ends, which ends the listener hears, and what
// may start afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "teds/TEDSQuery.h"

namespace {

using Outcome = TEDSQuery::Outcome;
using Begun = TEDSQuery::Begun;

// A master that never becomes ready: Enable(true) leaves it Enabling, with
// its start-up refused (reported, and stalled) when `refuse`.
class StuckMaster : public AbstractOneWireMaster {
 public:
  explicit StuckMaster(bool refuse) : refuse(refuse) {}
  void Enable(bool enable) override {
    state = enable ? Enabling : Disabled;
    refused = enable && refuse;
    if (refused) Error("start-up refused");
  }
  const bool refuse;
  std::atomic<bool> refused{false};

 protected:
  void Search() override {}
};

struct Heard : TEDSQuery::Listener {
  void Text(const std::string& text) override { texts.push_back(text); }
  void Ended(std::size_t) override { ++ended; }
  std::vector<std::string> texts;
  std::atomic<int> ended{0};
};

TEST(TEDSQuery, ARunEndsByStallStopCloseOrTimeOutAndOnlyItsOwnEndIsHeard) {
  struct Case {
    const char* name;
    bool refuse;
    // Runs on another thread once the run has enabled the master.
    std::function<void(TEDSQuery&)> meanwhile;
    double timeoutS;
    Outcome outcome;
    int ended;
    Begun next;  // what a Start after the run gets
  };
  const std::vector<Case> cases = {
      {"stalled master", true, nullptr, 20, Outcome::Ended, 1, Begun::Started},
      {"stop",
       false,
       [](TEDSQuery& query) {
         EXPECT_EQ(query.Start(), Begun::AlreadyRunning);
         query.Stop();
       },
       20, Outcome::Stopped, 0, Begun::Started},
      {"close", false, [](TEDSQuery& query) { query.Close(); }, 20, Outcome::Destroyed, 0,
       Begun::Closed},
      {"time-out", false, nullptr, 0.05, Outcome::TimedOut, 0, Begun::Started},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto master = std::make_shared<StuckMaster>(c.refuse);
    QueryMaster made{master, [master] { return master->refused.load(); }, nullptr, [] {}};
    TEDSQuery query(std::move(made));
    const auto heard = std::make_shared<Heard>();
    query.SetListener(heard);
    std::thread other;
    if (c.meanwhile) {
      other = std::thread([&] {
        while (!master->IsEnabled()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        c.meanwhile(query);
      });
    }
    Heard gathered;
    const TEDSQuery::Result run = query.Run(std::chrono::duration<double>(c.timeoutS), &gathered);
    if (other.joinable()) other.join();
    EXPECT_EQ(run.begun, Begun::Started);
    EXPECT_EQ(run.outcome, c.outcome);
    EXPECT_EQ(heard->ended, c.ended);
    EXPECT_EQ(gathered.texts, heard->texts);
    EXPECT_FALSE(master->IsEnabled());
    EXPECT_EQ(query.Start(), c.next);
  }
}

}  // namespace

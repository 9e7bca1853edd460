// Whole queries of 1 to 7 DS2430As over simulated relays that keep to the
// block maxima they report: every sensor is reported, the simulated relay
// sees no block and sends no answer beyond its maxima, and each query takes
// exactly the round trips counted here by hand.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "devicelink/ZorelQueryMaster.h"
#include "simdevice/SimDevice.h"
#include "testing/QueryHost.h"
#include "testing/SimQuery.h"

namespace {

using orvtest::WriteCounter;

struct LimitsCase {
  uint8_t inboundMax;
  uint8_t outboundMax;
  unsigned searchPasses;  // 0: as many as fit
  // Relay round trips (TEDS writes other than lone polls) for 1 to 7 sensors:
  // 1 configuration + search transfers + read transfers. A DS2430A's three
  // reads take 48 bytes of commands and up to 89 of answers (17 + 24 + 48).
  std::array<int, 7> roundTrips;
};

const unsigned kMost = RemoteOneWireMaster::SEARCH_PASSES_MOST;

const LimitsCase kCases[] = {
    // 255/255: two DS2430As' reads per transfer (178 of 255 answer bytes) plus
    // part of the next; search two passes per transfer, or 17 then 18.
    {255, 255, 2, {3, 4, 5, 6, 6, 8, 8}},
    {255, 255, kMost, {3, 3, 4, 4, 4, 5, 5}},
    // 48 outbound: status and application register (41 bytes), then the
    // memory (48) alone: two read transfers per DS2430A; search 2, then 3.
    {48, 48, 2, {4, 7, 9, 12, 14, 17, 19}},
    {48, 48, kMost, {4, 7, 9, 11, 14, 16, 18}},
    {255, 48, 2, {4, 7, 9, 12, 14, 17, 19}},
    {255, 48, kMost, {4, 7, 9, 11, 14, 16, 18}},
    // 48 inbound: two reads (32 of 46 bytes of commands) per transfer; search
    // 7, then 11 passes.
    {48, 255, 2, {4, 6, 8, 10, 12, 14, 16}},
    {48, 255, kMost, {4, 5, 7, 8, 10, 11, 14}},
};

TEST(RemoteOneWireMasterLimits, EveryQueryStaysWithinBothMaximaInTheFewestRoundTrips) {
  for (const LimitsCase& c : kCases) {
    for (std::size_t sensors = 1; sensors <= 7; ++sensors) {
      SCOPED_TRACE(::testing::Message() << int(c.inboundMax) << "/" << int(c.outboundMax)
                                        << " passes " << c.searchPasses << ", " << sensors
                                        << " sensors");
      const simdevice::Bench bench = orvtest::SensorBench(sensors, c.inboundMax, c.outboundMax);
      const auto device = simdevice::SimDevice::Create(bench);
      simdevice::SimAttachment attached(device);
      const auto counter = std::make_shared<WriteCounter>(bench.name);
      orvane::AddTrafficObserver(counter);
      ZorelQuerySettings settings;
      settings.device = bench.name;
      settings.address = bench.address;
      settings.pollPause = std::chrono::milliseconds(0);
      settings.searchPasses = c.searchPasses;
      const orvtest::QueryRecord record = orvtest::RunQuery(MakeZorelQueryMaster(settings));
      EXPECT_EQ(record.outcome, TEDSQuery::Outcome::Ended);
      const std::size_t reported = record.transducers.size();
      orvane::RemoveTrafficObserver(counter);
      EXPECT_EQ(reported, sensors);
      EXPECT_EQ(counter->transfers, c.roundTrips[sensors - 1]);
      EXPECT_EQ(counter->polls, 0);
      EXPECT_EQ(counter->transfers, orvtest::MinimumRoundTrips(sensors, c.inboundMax,
                                                               c.outboundMax, c.searchPasses));
      device->WithRelay(0, [](simdevice::RelayEmulator& relay) {
        EXPECT_EQ(relay.GetLimitBreaches(), std::vector<std::string>{});
      });
    }
  }
}

}  // namespace

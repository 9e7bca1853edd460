#include <gtest/gtest.h>

#include <memory>

#include "orvane/Orvane.h"

// The codes a caller classifies responses by, reached through the base class
// the way a caller sees them; the casts cross into the library's module.

namespace {

std::shared_ptr<OrvaneCommand> Wrap(OrvaneCommand* command) {
  return std::shared_ptr<OrvaneCommand>(command);
}

TEST(Commands, ServiceResponseIsGroupOneTypeEleven) {
  const auto response = Wrap(new ServiceSetOperatingModeResponse(ServiceOperatingMode::TEDS, true));
  EXPECT_EQ(response->GetGroup(), OrvaneCommandGroups::Service);
  EXPECT_EQ(static_cast<int>(response->GetGroup()), 1);
  EXPECT_EQ(response->GetType(), 11);
  EXPECT_TRUE(response->IsResponse());
  auto* cast = dynamic_cast<ServiceSetOperatingModeResponse*>(response.get());
  ASSERT_NE(cast, nullptr);
  EXPECT_TRUE(cast->GetSuccess());
  EXPECT_EQ(cast->GetMode(), ServiceOperatingMode::TEDS);

  const auto request = Wrap(new ServiceSetOperatingModeRequest(ServiceOperatingMode(4)));
  EXPECT_FALSE(request->IsResponse());
  EXPECT_NE(request->GetType(), 11);
  EXPECT_EQ(dynamic_cast<ServiceSetOperatingModeResponse*>(request.get()), nullptr);
}

TEST(Commands, TedsResponsesCarryHeaderClassAndOperation) {
  struct Case {
    std::shared_ptr<OrvaneCommand> command;
    uint8_t operation;
  };
  const Case cases[] = {
      {Wrap(new GCCCommandZorelTEDSSetModeResponse(0x08, true)), 0},
      {Wrap(new GCCCommandZorelTEDSWriteResponse(0x08, false)), 1},
      {Wrap(new GCCCommandZorelTEDSReadResponse(0x08, {1, 2, 3})), 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(static_cast<int>(c.command->GetGroup()), 7);
    EXPECT_TRUE(c.command->IsResponse());
    auto* gcc = dynamic_cast<GCCCommand*>(c.command.get());
    ASSERT_NE(gcc, nullptr);
    EXPECT_EQ(gcc->GetVersion(), 2);
    EXPECT_EQ(gcc->GetVendorID(), 12u);
    auto* zorel = dynamic_cast<GCCCommandZorel*>(gcc);
    ASSERT_NE(zorel, nullptr);
    EXPECT_EQ(zorel->GetCommandClass(), 8);
    EXPECT_EQ(zorel->GetOperation(), c.operation);
  }
  auto* write = dynamic_cast<GCCCommandZorelTEDSWriteResponse*>(cases[1].command.get());
  ASSERT_NE(write, nullptr);
  EXPECT_FALSE(write->GetSuccess());
  auto* read = dynamic_cast<GCCCommandZorelTEDSReadResponse*>(cases[2].command.get());
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(read->GetData(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_TRUE(read->GetSuccess());
  EXPECT_EQ(dynamic_cast<GCCCommandZorelTEDSReadResponse*>(cases[0].command.get()), nullptr);
}

TEST(Commands, RequestsKeepTheirArguments) {
  const GCCCommandZorelTEDSSetModeRequest setMode(0x80, ZorelDAQTEDSMode::Class1);
  EXPECT_EQ(setMode.GetChannelMask(), 0x80);
  EXPECT_EQ(setMode.GetMode(), ZorelDAQTEDSMode::Class1);
  EXPECT_EQ(setMode.GetOperation(), GCCCommandZorel::TEDS_SET_MODE);
  EXPECT_FALSE(setMode.IsResponse());

  const GCCCommandZorelTEDSWriteRequest write(0x01, {0x84, 0x85});
  EXPECT_EQ(write.GetData(), (std::vector<uint8_t>{0x84, 0x85}));
  std::vector<uint8_t> bytes{0xAA};  // replaced, not appended to
  write.GetBytes(bytes);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{7, GCCCommand::TYPE_REQUEST, 2, 12, 0, 0, 0, 8, 1, 0x01,
                                         0x84, 0x85}));
  EXPECT_EQ(write.ToString(), L"GCCCommandZorelTEDSWriteRequest channelMask=0x01 data=84 85");

  const GCCCommandZorelTEDSReadRequest read(0x04);
  EXPECT_EQ(read.GetChannelMask(), 0x04);
  EXPECT_EQ(read.GetOperation(), GCCCommandZorel::TEDS_READ);
}

TEST(Commands, WrapperTakesResponseFlagFromCommandUnlessGiven) {
  const auto response = Wrap(new GCCCommandZorelTEDSWriteResponse(1, true));
  EXPECT_TRUE(OrvaneCommands(response).GetIsResponse());
  EXPECT_FALSE(OrvaneCommands(response, false).GetIsResponse());
  EXPECT_EQ(OrvaneCommands(response).GetCommand(), response);
  EXPECT_FALSE(OrvaneCommands(Wrap(new GCCCommandZorelTEDSReadRequest(1))).GetIsResponse());

  const OrvaneCommands empty(std::shared_ptr<OrvaneCommand>{});
  EXPECT_FALSE(empty.GetIsResponse());
  EXPECT_EQ(empty.GetCommand(), nullptr);
  EXPECT_EQ(OrvaneCommands().GetCommand(), nullptr);
}

TEST(Commands, OtherHeaderValuesAreKept) {
  // Callers must be able to see (and reject) foreign headers and classes.
  const GCCCommandZorel other(true, 9, 2, 3, 13);
  EXPECT_EQ(other.GetVersion(), 3);
  EXPECT_EQ(other.GetVendorID(), 13u);
  EXPECT_EQ(other.GetCommandClass(), 9);
}

}  // namespace

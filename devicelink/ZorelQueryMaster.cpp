#include "devicelink/ZorelQueryMaster.h"

QueryMaster MakeZorelQueryMaster(const ZorelQuerySettings& settings) {
  auto master = std::make_unique<ZorelOneWireMaster>(settings.device, settings.address,
                                                     settings.channel,
                                                     ZorelDAQTEDSMode(settings.tedsMode),
                                                     settings.pollPause);
  master->SetSearchPasses(settings.searchPasses);
  return MakeZorelQueryMaster(std::move(master));
}

QueryMaster MakeZorelQueryMaster(std::unique_ptr<ZorelOneWireMaster> master) {
  ZorelOneWireMaster* const link = master.get();
  QueryMaster made;
  made.master = std::move(master);
  made.stalled = [link] { return link->HandshakeRefused(); };
  made.waitingForChannel = [link] { return link->WaitingForChannel(); };
  made.shutdown = [link] { link->Shutdown(); };
  return made;
}

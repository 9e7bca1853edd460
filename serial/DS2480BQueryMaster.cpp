#include "serial/DS2480BQueryMaster.h"

#include <stdexcept>

QueryMaster MakeDS2480BQueryMaster(const std::string& port, unsigned baud,
                                   std::function<void(const std::string&)> note) {
  auto master = std::make_unique<DS2480BOneWireMaster>(port);
  if (baud != 0 && !master->SetBaudRate(baud, std::move(note))) {
    throw std::invalid_argument("baud " + std::to_string(baud) +
                                " is not a rate of the adapter (9600, 19200, 57600, 115200)");
  }
  return MakeDS2480BQueryMaster(std::move(master));
}

QueryMaster MakeDS2480BQueryMaster(std::unique_ptr<DS2480BOneWireMaster> master) {
  DS2480BOneWireMaster* const adapter = master.get();
  QueryMaster made;
  made.master = std::move(master);
  made.stalled = [adapter] { return adapter->StartFailed(); };
  made.shutdown = [adapter] { adapter->Shutdown(); };
  return made;
}

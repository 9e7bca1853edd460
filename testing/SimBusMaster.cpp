#include "testing/SimBusMaster.h"

#include <algorithm>

namespace orvtest {

class SimBusMaster::SimTransaction : public Transaction {
 public:
  SimTransaction(SimBusMaster& bus, Listener& listener) : Transaction(bus, listener), sim(bus) {}

  void Submit() override {
    Transaction::Submit();
    const std::shared_ptr<Transaction> self = shared_from_this();
    for (const auto& operation : operations) {
      std::vector<uint8_t> reply;
      if (!sim.RunOperation(operation->getData(), reply)) {
        sim.EndOfTransaction();
        Error("injected failure");
        return;
      }
      FinishOperation(*operation, reply);
    }
    sim.EndOfTransaction();
    Finished();
  }

 private:
  SimBusMaster& sim;
};

SimBusMaster::SimBusMaster() {
  state = Ready;
  // Time stands still: only an explicit idle bus lets programming complete.
  bus.SetClock([] { return simdevice::BusClock::time_point{}; });
}

void SimBusMaster::Enable(bool enable) { state = enable ? Ready : Disabled; }

std::shared_ptr<AbstractOneWireMaster::Transaction> SimBusMaster::CreateTransaction(
    Transaction::Listener& listener) {
  return std::make_shared<SimTransaction>(*this, listener);
}

simdevice::DS2430A& SimBusMaster::AddDS2430A(const Device& rom, uint8_t status,
                                             const std::vector<uint8_t>& application,
                                             const std::vector<uint8_t>& memory) {
  simdevice::DS2430A::Application app;
  app.fill(0xFF);
  std::copy_n(application.begin(), std::min(application.size(), app.size()), app.begin());
  simdevice::DS2430A::Memory mem;
  mem.fill(0xFF);
  std::copy_n(memory.begin(), std::min(memory.size(), mem.size()), mem.begin());
  return static_cast<simdevice::DS2430A&>(
      bus.Add(std::make_unique<simdevice::DS2430A>(rom, status, app, mem)));
}

bool SimBusMaster::RunOperation(const OperationData& data, std::vector<uint8_t>& reply) {
  const std::size_t number = ++operationsRun;
  const bool fails = number == failOperation;
  if (!fails || failAfterRunning) {
    bus.Reset();
    bus.MatchRom(data.device);
    bus.Exchange(data.command);
    for (uint8_t byte : data.data) bus.Exchange(byte);
    for (std::size_t i = 0; i < data.length; ++i) reply.push_back(bus.Exchange(0xFF));
  }
  const bool corrupt =
      std::find(corruptReplies.begin(), corruptReplies.end(), number) != corruptReplies.end();
  if (corrupt && !reply.empty()) reply[0] ^= 0x01;
  if (dropAfterOperations != 0 && number >= dropAfterOperations) {
    for (const auto& device : bus.GetDevices()) device->SetPresent(false);
  }
  return !fails;
}

void SimBusMaster::EndOfTransaction() {
  if (idleAfterTransactions) bus.Idle();
}

}  // namespace orvtest

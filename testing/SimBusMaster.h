#pragma once

// A bus master for tests of anything that programs or reads DS2430As: its
// transactions run on the simulator's 1-Wire bus (the same chip model the
// simulated relay drives), each as one burst of bus traffic followed by idle
// time, as the relay runs one inbound block.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "simdevice/DS2430A.h"
#include "simdevice/OneWireBus.h"

namespace orvtest {

class SimBusMaster : public AbstractOneWireMaster {
 public:
  // Starts Ready.
  SimBusMaster();

  void Enable(bool enable) override;
  std::shared_ptr<Transaction> CreateTransaction(Transaction::Listener& listener) override;

  // A DS2430A on the bus; blank (all FF, status FF) unless given.
  simdevice::DS2430A& AddDS2430A(const Device& rom, uint8_t status = 0xFF,
                                 const std::vector<uint8_t>& application = {},
                                 const std::vector<uint8_t>& memory = {});

  simdevice::OneWireBus bus;

  // Faults. Operations are counted from 1 over all transactions.
  // The transaction holding operation `failOperation` ends with Error
  // ("injected failure") at that operation, which has run on the bus first
  // when `failAfterRunning` (its answer was lost) and not at all otherwise.
  std::size_t failOperation = 0;
  bool failAfterRunning = false;
  // The first reply byte of these operations arrives with bit 0 flipped.
  std::vector<std::size_t> corruptReplies;
  // Every device leaves the bus once this many operations have run.
  std::size_t dropAfterOperations = 0;
  // The bus is not left idle after a transaction (a master without an answer
  // pause): the next transaction's reset interrupts programming started by
  // the last operation, unless the bus is idled meanwhile (bus.Idle()). The
  // bus clock stands still, so only these idle calls let programming end.
  bool idleAfterTransactions = true;

  std::size_t operationsRun = 0;

 protected:
  void Search() override {}

 private:
  class SimTransaction;
  bool RunOperation(const OperationData& data, std::vector<uint8_t>& reply);
  void EndOfTransaction();
};

}  // namespace orvtest

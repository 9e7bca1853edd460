#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"
#include "onewire/OneWireMemory.h"
#include "onewire/WireCommands.h"

// The DS2430A 1-Wire EEPROM: 32 bytes of memory, an 8-byte application
// register and a status register. Each read becomes one operation in the
// caller's transaction. Writing follows the chip: bytes go to a scratchpad
// (or the application register's scratchpad) and are programmed by a copy
// command with its key; programming needs the bus idle for about 10 ms, so a
// copy must be the last operation of what the master sends in one go.
class ORVANE_TEDS_API DS2430AMemory : public OneWireMemory {
 public:
  static constexpr uint8_t familyCode = ds2430a::FAMILY_CODE;

  // A read: `command` with a start address (the status register's is 0x00),
  // `length` bytes back, handed to the listener by `deliver`; then the
  // member `latest` (if any) that holds the read is released.
  class ORVANE_TEDS_API ReadOperation : public AbstractOneWireMaster::Operation {
   public:
    using Deliver = void (*)(Listener& listener, const std::vector<uint8_t>& reply);
    using Latest = std::shared_ptr<ReadOperation> DS2430AMemory::*;
    ReadOperation(DS2430AMemory* memory, uint8_t command, uint8_t address, uint8_t length,
                  Deliver deliver, Latest latest);
    void Finished(const std::vector<uint8_t>& reply) override;
    DS2430AMemory* memory;
    Deliver deliver;
    Latest latest;
  };

  // A command with data and no reply: the writes and the two copies (which
  // program EEPROM).
  class ORVANE_TEDS_API WriteOperation : public AbstractOneWireMaster::Operation {
   public:
    WriteOperation(DS2430AMemory* memory, uint8_t command, const std::vector<uint8_t>& data,
                   bool programs = false);
    void Finished(const std::vector<uint8_t>& reply) override;
  };

  DS2430AMemory(AbstractOneWireMaster& master, const AbstractOneWireMaster::Device& device,
                OneWireMemory::Listener& listener);
  DS2430AMemory(const DS2430AMemory&) = default;
  DS2430AMemory(DS2430AMemory&&) = default;
  ~DS2430AMemory() override;

  void RetrieveStatus(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) override;
  // The length is carried in 8 bits: only its low byte is used.
  void RetrieveOTPMemory(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                         uint8_t address, uint64_t length) override;
  void RetrieveMemory(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                      uint8_t address, uint64_t length) override;
  // The scratchpad from `address`, to the listener's ScratchpadRetrieved.
  void RetrieveScratchpad(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                          uint8_t address, uint64_t length);

  // The writes add one operation each and return what the transaction's
  // AddOperation answered (a master may refuse an operation it cannot carry).
  // Bytes to the scratchpad from `address` on (wrapping at 0x1F).
  bool WriteScratchpad(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                       uint8_t address, const std::vector<uint8_t>& bytes);
  // Programs the whole scratchpad into the memory.
  bool CopyScratchpad(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction);
  // Bytes to the application register's scratchpad; ignored once locked.
  bool WriteApplicationRegister(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                                uint8_t address, const std::vector<uint8_t>& bytes);
  // Locks the application register with its scratchpad, once and for all.
  bool CopyAndLockApplicationRegister(
      std::shared_ptr<AbstractOneWireMaster::Transaction> transaction);

  bool HasStatus() const override { return true; }
  uint64_t GetOTPSize() const override { return 8; }
  uint64_t GetSize() const override { return 32; }

  // The latest read of each kind, until its reply has been delivered.
  const std::shared_ptr<ReadOperation>& GetStatusOperation() const { return statusOperation; }
  const std::shared_ptr<ReadOperation>& GetMemoryOperation() const { return memoryOperation; }

 private:
  // Adds a read to `transaction`, kept in `latest` first; the length is
  // carried in 8 bits.
  void Read(const std::shared_ptr<AbstractOneWireMaster::Transaction>& transaction, uint8_t command,
            uint8_t address, uint64_t length, ReadOperation::Deliver deliver,
            ReadOperation::Latest latest = nullptr);

  std::shared_ptr<ReadOperation> statusOperation;
  std::shared_ptr<ReadOperation> otpOperation;
  std::shared_ptr<ReadOperation> memoryOperation;
};

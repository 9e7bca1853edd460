#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"
#include "onewire/OneWireMemory.h"

// The DS2430A 1-Wire EEPROM: 32 bytes of memory, an 8-byte application
// register and a status register. Each read becomes one operation in the
// caller's transaction. Only reading is provided.
class ORVANE_TEDS_API DS2430AMemory : public OneWireMemory {
 public:
  static constexpr uint8_t familyCode = 0x14;

  // Read status register (0x66): data {0x00}, one byte back.
  class ORVANE_TEDS_API StatusOperation : public AbstractOneWireMaster::Operation {
   public:
    explicit StatusOperation(DS2430AMemory* memory);
    void Finished(const std::vector<uint8_t>& reply) override;
    DS2430AMemory* memory;
  };

  // Read application register (0xC3) from a start address.
  class ORVANE_TEDS_API ApplicationRegisterOperation : public AbstractOneWireMaster::Operation {
   public:
    ApplicationRegisterOperation(DS2430AMemory* memory, uint8_t address, uint8_t length);
    void Finished(const std::vector<uint8_t>& reply) override;
    DS2430AMemory* memory;
  };

  // Read memory (0xF0) from a start address.
  class ORVANE_TEDS_API MemoryOperation : public AbstractOneWireMaster::Operation {
   public:
    MemoryOperation(DS2430AMemory* memory, uint8_t address, uint8_t length);
    void Finished(const std::vector<uint8_t>& reply) override;
    DS2430AMemory* memory;
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
  bool HasStatus() const override { return true; }
  uint64_t GetOTPSize() const override { return 8; }
  uint64_t GetSize() const override { return 32; }

  // The latest read of each kind, until its reply has been delivered.
  const std::shared_ptr<StatusOperation>& GetStatusOperation() const { return statusOperation; }
  const std::shared_ptr<ApplicationRegisterOperation>& GetOTPOperation() const {
    return otpOperation;
  }
  const std::shared_ptr<MemoryOperation>& GetMemoryOperation() const { return memoryOperation; }

 private:
  std::shared_ptr<StatusOperation> statusOperation;
  std::shared_ptr<ApplicationRegisterOperation> otpOperation;
  std::shared_ptr<MemoryOperation> memoryOperation;
};

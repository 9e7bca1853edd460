#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"

// A memory device on a 1-Wire bus. It is its own ROM identity; reads are added
// to a transaction that the caller supplies and submits, and their results
// reach the listener once the master has run the transaction.
class ORVANE_TEDS_API OneWireMemory : public AbstractOneWireMaster::Device {
 public:
  class ORVANE_TEDS_API Listener {
   public:
    virtual void StatusRetrieved(uint8_t status) = 0;
    virtual void OTPMemoryRetrieved(const std::vector<uint8_t>& data) = 0;
    virtual void MemoryRetrieved(const std::vector<uint8_t>& data) = 0;
    // The bytes read from the scratchpad of a device that has one; readers
    // that never ask for it need not override this.
    virtual void ScratchpadRetrieved(const std::vector<uint8_t>& data);
    virtual ~Listener();
  };

  OneWireMemory(const AbstractOneWireMaster& master, const AbstractOneWireMaster::Device& device,
                Listener& listener);
  OneWireMemory(const OneWireMemory&) = default;
  OneWireMemory(OneWireMemory&&) = default;

  virtual void RetrieveStatus(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) = 0;
  virtual void RetrieveOTPMemory(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                                 uint8_t address, uint64_t length) = 0;
  virtual void RetrieveMemory(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                              uint8_t address, uint64_t length) = 0;
  virtual bool HasStatus() const;
  virtual uint64_t GetOTPSize() const;
  virtual uint64_t GetSize() const;
  virtual ~OneWireMemory();

 protected:
  const AbstractOneWireMaster& master;
  Listener& listener;
};

#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"
#include "onewire/OneWireMemory.h"
#include "onewire/WireCommands.h"

class TEDSInterface;
class TEDSTransducer;

// One device found on the bus during a query cycle: the memory object through
// which it is read, the bytes the reads delivered and the TEDS image compiled
// from them. Only DS2430A devices (family 0x14) get a memory object; a node of
// any other family is never read and never becomes valid.
class ORVANE_TEDS_API TEDSNode {
 public:
  // Receives the three reads of the node's memory.
  class ORVANE_TEDS_API MemoryListener : public OneWireMemory::Listener {
   public:
    explicit MemoryListener(TEDSNode* node) : node(node) {}
    void StatusRetrieved(uint8_t status) override;
    void OTPMemoryRetrieved(const std::vector<uint8_t>& data) override;
    void MemoryRetrieved(const std::vector<uint8_t>& data) override;

   private:
    TEDSNode* node;
  };

  // The status byte of a DS2430A whose memory holds valid data.
  static constexpr uint8_t VALID_STATUS = ds2430a::STATUS_LOCKED;
  // A node whose image starts with this manufacturer ID lists further devices.
  static constexpr uint16_t NODE_LIST_ID = 1;

  TEDSNode(TEDSInterface& owner, const AbstractOneWireMaster::Device& device);
  TEDSNode(const TEDSNode&) = delete;
  TEDSNode& operator=(const TEDSNode&) = delete;

  // Adds the node's reads (status, application register, memory) to the
  // transaction; a node without memory object adds nothing.
  void Read(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction);
  // Rebuilds the image and reports one checksum verdict per memory page
  // through the owner's Error.
  void Compile();
  // Every memory page read so far passes its checksum (also true when no
  // memory has been read). Reports nothing.
  bool PagesGood() const;
  // The first 14 bits of the image (fewer when the image is shorter).
  uint16_t GetManufacturerID() const;
  bool IsNodeList() const;
  // Appends the identities listed in a node-list image; false when the image
  // is not a node list or the list runs past its end.
  bool GetNodeList(std::vector<std::array<uint8_t, 8>>& list) const;

  bool IsValid() const { return valid; }
  bool IsClaimed() const { return transducer != nullptr; }
  bool HasMemory() const { return memory != nullptr; }
  // The status byte as last read; empty until a status read has answered.
  std::optional<uint8_t> GetStatus() const { return status; }
  // The ROM of the device the node stands for, with or without memory object.
  const AbstractOneWireMaster::Device& GetDevice() const { return device; }
  const std::vector<uint8_t>& GetImage() const { return image; }
  // How often the query cycle read the node again because a page failed its
  // checksum (0 when the first read was good).
  unsigned GetRepeatedReads() const { return repeatedReads; }
  // The device could not be read at all (it left the bus, say): the master's
  // text for it; empty when it was read.
  const std::string& GetReadFault() const { return readFault; }

 private:
  friend class TEDSTransducer;
  friend class TEDSInterface;

  TEDSInterface* owner;
  // Kept apart from the memory object so that a node of a family without one
  // can still be named in the cycle's texts.
  AbstractOneWireMaster::Device device;
  const TEDSTransducer* transducer = nullptr;
  std::shared_ptr<OneWireMemory> memory;
  std::shared_ptr<MemoryListener> memoryListener;
  bool valid = false;
  std::optional<uint8_t> status;
  std::vector<uint8_t> otpMemory;
  std::vector<uint8_t> memoryData;
  std::vector<uint8_t> image;
  unsigned repeatedReads = 0;
  std::string readFault;
};

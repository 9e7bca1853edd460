#include "teds/TEDSNode.h"

#include <algorithm>

#include "onewire/DS2430AMemory.h"
#include "teds/TEDSImage.h"
#include "teds/TEDSInterface.h"
#include "teds/TEDSParser.h"
#include "teds/TEDSTransducer.h"

void TEDSNode::MemoryListener::StatusRetrieved(uint8_t status) {
  // The latest read counts: a read repeated after a bad checksum replaces
  // the first one's status too.
  node->status = status;
  node->valid = status == VALID_STATUS;
}

void TEDSNode::MemoryListener::OTPMemoryRetrieved(const std::vector<uint8_t>& data) {
  node->otpMemory = data;
}

void TEDSNode::MemoryListener::MemoryRetrieved(const std::vector<uint8_t>& data) {
  node->memoryData = data;
}

TEDSNode::TEDSNode(TEDSInterface& owner, const AbstractOneWireMaster::Device& device)
    : owner(&owner), device(device), memoryListener(std::make_shared<MemoryListener>(this)) {
  if (device[0] == DS2430AMemory::familyCode) {
    memory = std::make_shared<DS2430AMemory>(owner.master, device, *memoryListener);
  }
}

void TEDSNode::Read(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) {
  if (!memory) return;
  memory->RetrieveStatus(transaction);
  if (memory->GetOTPSize() != 0) memory->RetrieveOTPMemory(transaction, 0, memory->GetOTPSize());
  memory->RetrieveMemory(transaction, 0, memory->GetSize());
}

void TEDSNode::Compile() {
  std::vector<bool> verdicts;
  image = TEDSImage::Assemble(otpMemory, memoryData, verdicts);
  for (bool good : verdicts) owner->Error(TEDSImage::VerdictText(good));
}

bool TEDSNode::PagesGood() const {
  std::vector<bool> verdicts;
  TEDSImage::Assemble(otpMemory, memoryData, verdicts);
  return std::find(verdicts.begin(), verdicts.end(), false) == verdicts.end();
}

uint16_t TEDSNode::GetManufacturerID() const {
  TEDSParser reader(image);
  uint32_t id = 0;
  reader.ReadBits(14, id);  // a short image yields the bits it holds
  return static_cast<uint16_t>(id);
}

bool TEDSNode::IsNodeList() const { return GetManufacturerID() == NODE_LIST_ID; }

bool TEDSNode::GetNodeList(std::vector<std::array<uint8_t, 8>>& list) const {
  if (!IsNodeList() || image.size() < 3) return false;
  const std::size_t count = image[2];
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t offset = 3 + 8 * k;
    if (image.size() - offset < 8) return false;
    std::array<uint8_t, 8> rom{};
    std::copy(image.begin() + static_cast<std::ptrdiff_t>(offset),
              image.begin() + static_cast<std::ptrdiff_t>(offset + 8), rom.begin());
    list.push_back(rom);
  }
  return true;
}

// Lives here rather than with the rest of the transducer because it is the
// node that decides what it contributes: a node list's own image holds only
// the list, so the transducer's TEDS comes from the listed nodes alone.
void TEDSTransducer::AddNode(std::shared_ptr<TEDSNode> node) {
  if (!node->IsNodeList()) image.insert(image.end(), node->image.begin(), node->image.end());
  node->transducer = this;
  nodes.push_back(std::move(node));
}

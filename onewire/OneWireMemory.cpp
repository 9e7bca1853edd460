#include "onewire/OneWireMemory.h"

#include <algorithm>

#include "onewire/DS2430AMemory.h"

OneWireMemory::Listener::~Listener() = default;
void OneWireMemory::Listener::ScratchpadRetrieved(const std::vector<uint8_t>&) {}

OneWireMemory::OneWireMemory(const AbstractOneWireMaster& master,
                             const AbstractOneWireMaster::Device& device, Listener& listener)
    : AbstractOneWireMaster::Device(device), master(master), listener(listener) {}

OneWireMemory::~OneWireMemory() = default;

bool OneWireMemory::HasStatus() const { return false; }
uint64_t OneWireMemory::GetOTPSize() const { return 0; }
uint64_t OneWireMemory::GetSize() const { return 0; }

// ---- DS2430A ----------------------------------------------------------------

namespace {
std::vector<uint8_t> AddressThenData(uint8_t address, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> data(1 + bytes.size());
  data[0] = address;
  std::copy(bytes.begin(), bytes.end(), data.begin() + 1);
  return data;
}
}  // namespace

DS2430AMemory::StatusOperation::StatusOperation(DS2430AMemory* memory)
    : Operation(*memory, ds2430a::READ_STATUS_REGISTER, {0x00}, 1), memory(memory) {}

void DS2430AMemory::StatusOperation::Finished(const std::vector<uint8_t>& reply) {
  // The listener runs before the member is released, so inside the callback
  // the memory still refers to the operation being finished.
  memory->listener.StatusRetrieved(reply.empty() ? 0 : reply[0]);
  memory->statusOperation.reset();
}

DS2430AMemory::ApplicationRegisterOperation::ApplicationRegisterOperation(DS2430AMemory* memory,
                                                                          uint8_t address,
                                                                          uint8_t length)
    : Operation(*memory, ds2430a::READ_APPLICATION_REGISTER, {address}, length), memory(memory) {}

void DS2430AMemory::ApplicationRegisterOperation::Finished(const std::vector<uint8_t>& reply) {
  memory->listener.OTPMemoryRetrieved(reply);
  memory->otpOperation.reset();
}

DS2430AMemory::MemoryOperation::MemoryOperation(DS2430AMemory* memory, uint8_t address,
                                                uint8_t length)
    : Operation(*memory, ds2430a::READ_MEMORY, {address}, length), memory(memory) {}

void DS2430AMemory::MemoryOperation::Finished(const std::vector<uint8_t>& reply) {
  memory->listener.MemoryRetrieved(reply);
  memory->memoryOperation.reset();
}

DS2430AMemory::ScratchpadOperation::ScratchpadOperation(DS2430AMemory* memory, uint8_t address,
                                                        uint8_t length)
    : Operation(*memory, ds2430a::READ_SCRATCHPAD, {address}, length), memory(memory) {}

void DS2430AMemory::ScratchpadOperation::Finished(const std::vector<uint8_t>& reply) {
  memory->listener.ScratchpadRetrieved(reply);
}

DS2430AMemory::WriteOperation::WriteOperation(DS2430AMemory* memory, uint8_t command,
                                              const std::vector<uint8_t>& data, bool programs)
    : Operation(*memory, command, data, 0) {
  Operation::data.programs = programs;
}

// A write has no reply; its transaction tells when it has been carried out.
void DS2430AMemory::WriteOperation::Finished(const std::vector<uint8_t>&) {}

DS2430AMemory::DS2430AMemory(AbstractOneWireMaster& master,
                             const AbstractOneWireMaster::Device& device,
                             OneWireMemory::Listener& listener)
    : OneWireMemory(master, device, listener) {}

DS2430AMemory::~DS2430AMemory() = default;

void DS2430AMemory::RetrieveStatus(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) {
  statusOperation = std::make_shared<StatusOperation>(this);
  transaction->AddOperation(statusOperation);
}

void DS2430AMemory::RetrieveOTPMemory(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction, uint8_t address,
    uint64_t length) {
  otpOperation = std::make_shared<ApplicationRegisterOperation>(
      this, address, static_cast<uint8_t>(length & 0xFF));
  transaction->AddOperation(otpOperation);
}

void DS2430AMemory::RetrieveMemory(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                                   uint8_t address, uint64_t length) {
  memoryOperation =
      std::make_shared<MemoryOperation>(this, address, static_cast<uint8_t>(length & 0xFF));
  transaction->AddOperation(memoryOperation);
}

void DS2430AMemory::RetrieveScratchpad(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction, uint8_t address,
    uint64_t length) {
  transaction->AddOperation(
      std::make_shared<ScratchpadOperation>(this, address, static_cast<uint8_t>(length & 0xFF)));
}

bool DS2430AMemory::WriteScratchpad(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction, uint8_t address,
    const std::vector<uint8_t>& bytes) {
  return transaction->AddOperation(std::make_shared<WriteOperation>(
      this, ds2430a::WRITE_SCRATCHPAD, AddressThenData(address, bytes)));
}

bool DS2430AMemory::CopyScratchpad(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) {
  return transaction->AddOperation(std::make_shared<WriteOperation>(
      this, ds2430a::COPY_SCRATCHPAD, std::vector<uint8_t>{ds2430a::COPY_KEY}, true));
}

bool DS2430AMemory::WriteApplicationRegister(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction, uint8_t address,
    const std::vector<uint8_t>& bytes) {
  return transaction->AddOperation(std::make_shared<WriteOperation>(
      this, ds2430a::WRITE_APPLICATION_REGISTER, AddressThenData(address, bytes)));
}

bool DS2430AMemory::CopyAndLockApplicationRegister(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) {
  return transaction->AddOperation(std::make_shared<WriteOperation>(
      this, ds2430a::COPY_AND_LOCK, std::vector<uint8_t>{ds2430a::COPY_KEY}, true));
}

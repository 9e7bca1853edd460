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

DS2430AMemory::ReadOperation::ReadOperation(DS2430AMemory* memory, uint8_t command, uint8_t address,
                                            uint8_t length, Deliver deliver, Latest latest)
    : Operation(*memory, command, {address}, length),
      memory(memory),
      deliver(deliver),
      latest(latest) {}

// The listener runs before the member is released, so inside the callback
// the memory still refers to the operation being finished.
void DS2430AMemory::ReadOperation::Finished(const std::vector<uint8_t>& reply) {
  deliver(memory->listener, reply);
  if (latest) (memory->*latest).reset();
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

void DS2430AMemory::Read(const std::shared_ptr<AbstractOneWireMaster::Transaction>& transaction,
                         uint8_t command, uint8_t address, uint64_t length,
                         ReadOperation::Deliver deliver, ReadOperation::Latest latest) {
  auto read = std::make_shared<ReadOperation>(this, command, address,
                                              static_cast<uint8_t>(length & 0xFF), deliver, latest);
  if (latest) this->*latest = read;
  transaction->AddOperation(read);
}

void DS2430AMemory::RetrieveStatus(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) {
  Read(
      transaction, ds2430a::READ_STATUS_REGISTER, 0x00, 1,
      [](Listener& l, const std::vector<uint8_t>& reply) {
        l.StatusRetrieved(reply.empty() ? 0 : reply[0]);
      },
      &DS2430AMemory::statusOperation);
}

void DS2430AMemory::RetrieveOTPMemory(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction, uint8_t address,
    uint64_t length) {
  Read(
      transaction, ds2430a::READ_APPLICATION_REGISTER, address, length,
      [](Listener& l, const std::vector<uint8_t>& reply) { l.OTPMemoryRetrieved(reply); },
      &DS2430AMemory::otpOperation);
}

void DS2430AMemory::RetrieveMemory(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                                   uint8_t address, uint64_t length) {
  Read(
      transaction, ds2430a::READ_MEMORY, address, length,
      [](Listener& l, const std::vector<uint8_t>& reply) { l.MemoryRetrieved(reply); },
      &DS2430AMemory::memoryOperation);
}

void DS2430AMemory::RetrieveScratchpad(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction, uint8_t address,
    uint64_t length) {
  Read(transaction, ds2430a::READ_SCRATCHPAD, address, length,
       [](Listener& l, const std::vector<uint8_t>& reply) { l.ScratchpadRetrieved(reply); });
}

bool DS2430AMemory::WriteScratchpad(std::shared_ptr<AbstractOneWireMaster::Transaction> transaction,
                                    uint8_t address, const std::vector<uint8_t>& bytes) {
  return transaction->AddOperation(std::make_shared<WriteOperation>(
      this, ds2430a::WRITE_SCRATCHPAD, AddressThenData(address, bytes)));
}

bool DS2430AMemory::CopyScratchpad(
    std::shared_ptr<AbstractOneWireMaster::Transaction> transaction) {
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

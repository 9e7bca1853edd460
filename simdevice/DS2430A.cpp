#include "simdevice/DS2430A.h"

namespace simdevice {

using namespace ds2430a;

namespace {

// What an interrupted programming leaves in a byte on its way to `target`:
// neither the old contents nor the new ones (in case they were the same).
uint8_t Garbage(uint8_t target, std::size_t position) {
  return static_cast<uint8_t>(target ^ (0x5A + position));
}

template <typename Area>
void FillWithGarbage(Area& area, const Area& target) {
  for (std::size_t i = 0; i < area.size(); ++i) area[i] = Garbage(target[i], i);
}

}  // namespace

const std::size_t DS2430A::MEMORY_SIZE;
const std::size_t DS2430A::APPLICATION_SIZE;
const std::size_t DS2430A::NOISY_BYTE;
constexpr std::chrono::milliseconds DS2430A::PROGRAMMING_TIME;

DS2430A::DS2430A(const Rom& rom, uint8_t status, const Application& application,
                 const Memory& memory)
    : BusDevice(rom),
      status(status),
      application(application),
      applicationScratchpad(application),
      memory(memory),
      scratchpad(memory),
      state(State::Command),
      command(0),
      position(0),
      programming(Programming::None) {}

void DS2430A::Reset() {
  Interrupt();
  state = State::Command;
  command = 0;
  position = 0;
}

void DS2430A::Interrupt() {
  if (programming == Programming::Copy) {
    FillWithGarbage(memory, scratchpad);
  } else if (programming == Programming::Lock) {
    FillWithGarbage(application, applicationScratchpad);
    status = static_cast<uint8_t>(status & STATUS_LOCKED);
  }
  programming = Programming::None;
  ForgetIfPowerLost();
}

void DS2430A::ForgetIfPowerLost() {
  if (!powerLost) return;
  powerLost = false;
  FillWithGarbage(scratchpad, scratchpad);
  FillWithGarbage(applicationScratchpad, applicationScratchpad);
}

void DS2430A::CompleteProgramming() {
  if (programming == Programming::Copy) {
    memory = scratchpad;
  } else if (programming == Programming::Lock) {
    application = applicationScratchpad;
    status = static_cast<uint8_t>(status & STATUS_LOCKED);
  }
  programming = Programming::None;
  ForgetIfPowerLost();
}

void DS2430A::Idle() { CompleteProgramming(); }

void DS2430A::Activity(BusClock::time_point now) {
  lastActivity = now;
  if (programming == Programming::None) return;
  // Off the bus the part sees no slot, but its power is gone as well.
  if (now - programmingStart >= PROGRAMMING_TIME) {
    CompleteProgramming();
  } else {
    Interrupt();
  }
}

void DS2430A::SetPresent(bool present) {
  // A programming under way is settled by the time the bus next shows (its
  // source is the scratchpad): the scratchpads are lost after it.
  if (IsPresent() && !present) {
    powerLost = true;
    if (programming == Programming::None) ForgetIfPowerLost();
  }
  BusDevice::SetPresent(present);
}

void DS2430A::Begin(uint8_t value) {
  command = value;
  switch (command) {
    case READ_MEMORY:
      scratchpad = memory;
      state = State::Address;
      noisyRead = noisyReads > 0;
      if (noisyRead) --noisyReads;
      break;
    case READ_SCRATCHPAD:
    case WRITE_SCRATCHPAD:
    case READ_APPLICATION_REGISTER:
    case WRITE_APPLICATION_REGISTER:
      state = State::Address;
      break;
    case COPY_SCRATCHPAD:
    case COPY_AND_LOCK:
      state = State::Key;
      break;
    case READ_STATUS_REGISTER:
      state = State::Validation;
      break;
    default:
      state = State::Idle;
  }
}

uint8_t DS2430A::Read() {
  uint8_t value;
  if (command == READ_APPLICATION_REGISTER) {
    value = IsLocked() ? application[position] : applicationScratchpad[position];
    position = (position + 1) % APPLICATION_SIZE;
  } else {  // READ_MEMORY reads the scratchpad it has just filled
    value = scratchpad[position];
    if (command == READ_MEMORY && noisyRead && position == NOISY_BYTE) {
      value = static_cast<uint8_t>(~value);
    }
    position = (position + 1) % MEMORY_SIZE;
  }
  return value;
}

void DS2430A::Write(uint8_t value) {
  if (command == WRITE_SCRATCHPAD) {
    scratchpad[position] = value;
    position = (position + 1) % MEMORY_SIZE;
  } else if (!IsLocked()) {
    // The register's scratchpad takes writes until the lock.
    applicationScratchpad[position] = value;
    position = (position + 1) % APPLICATION_SIZE;
  }
}

uint8_t DS2430A::Exchange(uint8_t master) {
  Interrupt();
  switch (state) {
    case State::Command:
      Begin(master);
      return 0xFF;
    case State::Address: {
      const bool application =
          command == READ_APPLICATION_REGISTER || command == WRITE_APPLICATION_REGISTER;
      position = master % (application ? APPLICATION_SIZE : MEMORY_SIZE);
      const bool writes = command == WRITE_SCRATCHPAD || command == WRITE_APPLICATION_REGISTER;
      state = writes ? State::Writing : State::Reading;
      return 0xFF;
    }
    case State::Validation:
      state = master == 0x00 ? State::Status : State::Idle;
      return 0xFF;
    case State::Key:
      if (master == COPY_KEY) {
        programming = command == COPY_SCRATCHPAD ? Programming::Copy : Programming::Lock;
        programmingStart = lastActivity;
      }
      state = State::Idle;
      return 0xFF;
    case State::Reading:
      return Read();
    case State::Writing:
      Write(master);
      return 0xFF;
    case State::Status:
      state = State::Idle;
      return status;
    case State::Idle:
      break;
  }
  return 0xFF;
}

uint8_t DS2430A::GetStatus() const { return status; }
const DS2430A::Application& DS2430A::GetApplication() const { return application; }
const DS2430A::Memory& DS2430A::GetMemory() const { return memory; }
void DS2430A::SetNoisyMemoryReads(uint32_t count) { noisyReads = count; }
bool DS2430A::IsLocked() const { return (status & 0x03) != 0x03; }

}  // namespace simdevice

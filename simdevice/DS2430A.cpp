#include "simdevice/DS2430A.h"

namespace simdevice {

const uint8_t DS2430A::FAMILY_CODE;
const uint8_t DS2430A::READ_MEMORY;
const uint8_t DS2430A::READ_APPLICATION_REGISTER;
const uint8_t DS2430A::READ_STATUS_REGISTER;
const std::size_t DS2430A::MEMORY_SIZE;
const std::size_t DS2430A::APPLICATION_SIZE;

DS2430A::DS2430A(const Rom& rom, uint8_t status, const Application& application,
                 const Memory& memory)
    : BusDevice(rom),
      status(status),
      application(application),
      memory(memory),
      state(State::Command),
      command(0),
      position(0) {}

void DS2430A::Reset() {
  state = State::Command;
  command = 0;
  position = 0;
}

uint8_t DS2430A::Exchange(uint8_t master) {
  switch (state) {
    case State::Command:
      command = master;
      if (command == READ_MEMORY || command == READ_APPLICATION_REGISTER) {
        state = State::Address;
      } else if (command == READ_STATUS_REGISTER) {
        state = State::Validation;
      } else {
        state = State::Idle;
      }
      return 0xFF;
    case State::Address:
      position = command == READ_MEMORY ? master % MEMORY_SIZE : master % APPLICATION_SIZE;
      state = State::Reading;
      return 0xFF;
    case State::Validation:
      state = master == 0x00 ? State::Status : State::Idle;
      return 0xFF;
    case State::Reading: {
      uint8_t value;
      if (command == READ_MEMORY) {
        value = memory[position];
        position = (position + 1) % MEMORY_SIZE;
      } else {
        value = application[position];
        position = (position + 1) % APPLICATION_SIZE;
      }
      return value;
    }
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

}  // namespace simdevice

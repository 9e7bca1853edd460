#pragma once

#include <cstdint>
#include <vector>

#include "onewire/WireCommands.h"
#include "relay/RelayProtocol.h"
#include "simdevice/BusFaults.h"
#include "simdevice/OneWireBus.h"
#include "simdevice/RelayFaults.h"

// The relay's command interpreter: it runs the commands of one inbound block
// on the bus, in order, and builds their answers, up to the first halting
// return code. It keeps the relay's search and selection state between
// blocks. Forced return codes (command failures) are its own faults; the bus
// model's faults come from BusFaults, the outbound channel's are not its
// concern.

namespace simdevice {

class RelayInterpreter {
 public:
  // This relay's own failure codes; all of them halt the block.
  static constexpr uint8_t RC_UNKNOWN_COMMAND = 0x10;
  static constexpr uint8_t RC_BAD_LENGTH = 0x11;  // payload length not accepted by the command
  static constexpr uint8_t RC_TRUNCATED = 0x12;   // the block ends inside a command
  static constexpr uint8_t RC_READ_ONLY = 0x13;   // a payload sent to a read-only value

  RelayInterpreter(const RelaySettings& settings, const std::vector<CommandFailure>& failures,
                   OneWireBus& bus, BusFaults& busFaults);

  // Runs one inbound block and returns its answers.
  std::vector<uint8_t> Run(const std::vector<uint8_t>& block);

  const RelaySettings& GetSettings() const { return settings; }
  const Rom& GetId() const { return id; }
  uint8_t GetLastDiscrepancy() const { return lastDiscrepancy; }
  bool GetLastDevice() const { return lastDevice; }

 private:
  using P = RelayProtocol;

  // Each runs one command, appends its answer and returns its return code.
  uint8_t RunSingle(uint8_t code, std::vector<uint8_t>& answer);
  uint8_t RunMulti(uint8_t code, const std::vector<uint8_t>& payload, std::vector<uint8_t>& answer);
  uint8_t Search();
  uint8_t Access();
  uint8_t Exchange(const std::vector<uint8_t>& payload, std::vector<uint8_t>& answer);
  void AnswerWrite(uint8_t code, const std::vector<uint8_t>& payload, std::vector<uint8_t>& answer);
  // A forced return code for this occurrence of `code`, 0 when none.
  uint8_t ForcedCode(uint8_t code);
  void ResetSearch();

  const RelaySettings settings;
  const std::vector<CommandFailure> failures;
  std::vector<uint32_t> failureSeen;  // occurrences per command failure
  OneWireBus& bus;
  BusFaults& busFaults;

  Rom id{};
  bool idFromSearch = false;
  uint8_t lastDiscrepancy = 0;
  bool lastDevice = false;
  uint8_t searchCommand = onewire::SEARCH_ROM;
};

}  // namespace simdevice

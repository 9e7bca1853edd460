#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/RelayProtocol.h"
#include "simdevice/OneWireBus.h"

// The 1-Wire relay on one TEDS channel: it takes inbound blocks of relay
// commands, runs them on its bus, and keeps the answers until the outbound
// channel is read. Plain single-threaded code, usable on its own by tests,
// fuzzers and benchmarks.

namespace simdevice {

// How the relay answers a write (a multi-byte command carrying a payload,
// other than CMD_ML_DATA, which always answers with its data).
enum class WriteAnswer {
  Echo,    // echo code, length, the payload read back
  Status,  // CMD_STATUS, return code
  Silent,  // nothing
};

struct RelaySettings {
  RelaySettings();
  uint8_t inboundMax;    // reported by CMD_DATA_INBOUND_MAX; blocks are not cut to it
  uint8_t outboundMax;   // reported by CMD_DATA_OUTBOUND_MAX
  std::string protocol;  // at most 254 bytes; sent with a closing 0 byte
  std::string vendor;    // as protocol
  WriteAnswer writeAnswer;
  uint8_t noPresenceCode;  // CMD_ML_RESET's return code on a bus without presence
};

// A forced return code: occurrences of `command` after the first `skip` are
// answered with `code` instead of being run; `count` of them, 0 for all.
struct CommandFailure {
  CommandFailure();
  uint8_t command;
  uint8_t code;
  uint32_t skip;
  uint32_t count;
};

// A device that leaves the bus: at the first CMD_ML_ACCESS of any device
// (`atReadPhase`), or once it has been accessed `afterAccesses` times.
struct DropOff {
  DropOff();
  Rom rom;
  bool atReadPhase;
  uint32_t afterAccesses;
};

struct RelayFaults {
  RelayFaults();
  // Each answer is held back for this many reads of the outbound channel
  // (they read empty), counted only for answers after the first
  // `silentAfterAnswers` answers.
  uint32_t silentReads;
  uint32_t silentAfterAnswers;
  // The first `garbageAnswers` answers are replaced by `garbageBytes`.
  uint32_t garbageAnswers;
  std::vector<uint8_t> garbageBytes;
  std::vector<CommandFailure> commandFailures;
  // The CMD_DATA_ID answer after a search that found one of these ROMs
  // carries it with its CRC byte inverted.
  std::vector<Rom> corruptSearchCrc;
  std::vector<DropOff> dropOffs;
  // At most this many bytes per read of the outbound channel; 0: no limit.
  uint32_t outboundChunk;
};

class RelayEmulator {
 public:
  // Relay command codes and the protocol's own return codes.
  static constexpr uint8_t CMD_DATA_ID = RelayProtocol::CMD_DATA_ID;
  static constexpr uint8_t CMD_DATA_SEARCH_STATE = RelayProtocol::CMD_DATA_SEARCH_STATE;
  static constexpr uint8_t CMD_DATA_SEARCH_COMMAND = RelayProtocol::CMD_DATA_SEARCH_COMMAND;
  static constexpr uint8_t CMD_DATA_OUTBOUND_MAX = RelayProtocol::CMD_DATA_OUTBOUND_MAX;
  static constexpr uint8_t CMD_DATA_INBOUND_MAX = RelayProtocol::CMD_DATA_INBOUND_MAX;
  static constexpr uint8_t CMD_DATA_PROTOCOL = RelayProtocol::CMD_DATA_PROTOCOL;
  static constexpr uint8_t CMD_DATA_VENDOR = RelayProtocol::CMD_DATA_VENDOR;
  static constexpr uint8_t CMD_ML_DATA = RelayProtocol::CMD_ML_DATA;
  static constexpr uint8_t CMD_ML_RESET = RelayProtocol::CMD_ML_RESET;
  static constexpr uint8_t CMD_ML_SEARCH = RelayProtocol::CMD_ML_SEARCH;
  static constexpr uint8_t CMD_ML_ACCESS = RelayProtocol::CMD_ML_ACCESS;
  static constexpr uint8_t CMD_RESET = RelayProtocol::CMD_RESET;
  static constexpr uint8_t CMD_POLL = RelayProtocol::CMD_POLL;
  static constexpr uint8_t CMD_STATUS = RelayProtocol::CMD_STATUS;
  static constexpr uint8_t RC_OK = RelayProtocol::RC_OK;
  // Search: no further device; access: no presence.
  static constexpr uint8_t RC_NO_DEVICE = RelayProtocol::RC_NO_FURTHER_DEVICE;

  // This relay's own failure codes; all of them halt the block.
  static constexpr uint8_t RC_UNKNOWN_COMMAND = 0x10;
  static constexpr uint8_t RC_BAD_LENGTH = 0x11;  // payload length not accepted by the command
  static constexpr uint8_t RC_TRUNCATED = 0x12;   // the block ends inside a command
  static constexpr uint8_t RC_READ_ONLY = 0x13;   // a payload sent to a read-only value

  explicit RelayEmulator(const RelaySettings& settings = RelaySettings(),
                         const RelayFaults& faults = RelayFaults());

  OneWireBus& GetBus();
  const OneWireBus& GetBus() const;
  const RelaySettings& GetSettings() const;

  // Runs one inbound block and returns its answers (faults of the outbound
  // channel are not applied here; command failures and bus faults are).
  std::vector<uint8_t> Process(const std::vector<uint8_t>& block);

  // The inbound channel: runs the block and appends its answers to what the
  // outbound channel holds.
  void ReceiveInbound(const std::vector<uint8_t>& block);
  // The outbound channel: what the relay delivers to one read (empty when it
  // has nothing, or while an answer is held back).
  std::vector<uint8_t> ReadOutbound();
  std::size_t GetPendingSize() const;

  // Search and selection state.
  const Rom& GetId() const;
  uint8_t GetLastDiscrepancy() const;
  bool GetLastDevice() const;
  uint8_t GetSearchCommand() const;

 private:
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

  RelaySettings settings;
  RelayFaults faults;
  OneWireBus bus;

  Rom id;
  bool idFromSearch;
  uint8_t lastDiscrepancy;
  bool lastDevice;
  uint8_t searchCommand;

  std::vector<uint8_t> pending;
  uint32_t answers;
  uint32_t garbageUsed;
  uint32_t silentLeft;
  bool readPhase;
  std::vector<uint32_t> failureSeen;  // occurrences per command failure
  std::vector<uint32_t> accessCount;  // accesses per drop-off
};

}  // namespace simdevice

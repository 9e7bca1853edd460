#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "simdevice/OneWireBus.h"

// What a simulated relay reports about itself, and every fault it can be made
// to show, in the order of the bench file's fault knobs (simdevice/README.md).
// Each layer of the relay emulator takes its own group: the outbound channel
// (silence, garbage, chunking), the command interpreter (forced return codes)
// and the bus model (drop-off, corrupted search identities).

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

// Line noise on a DS2430A's memory reads: the first `count` of them deliver
// one data byte inverted (DS2430A::SetNoisyMemoryReads).
struct NoisyReads {
  NoisyReads();
  Rom rom;
  uint32_t count;
};

struct RelayFaults {
  RelayFaults();
  // Outbound channel. Each answer is held back for `silentReads` reads of
  // the outbound channel (they read empty), counted only for answers after
  // the first `silentAfterAnswers` answers.
  uint32_t silentReads;
  uint32_t silentAfterAnswers;
  // The first `garbageAnswers` answers are replaced by `garbageBytes`.
  uint32_t garbageAnswers;
  std::vector<uint8_t> garbageBytes;
  // At most this many bytes per read of the outbound channel; 0: no limit.
  uint32_t outboundChunk;
  // One read delivers everything pending, however long, as a relay does that
  // does not keep to its own outbound maximum.
  bool ignoreOutboundMax;
  // Command interpreter.
  std::vector<CommandFailure> commandFailures;
  // Bus model. The CMD_DATA_ID answer after a search that found one of these
  // ROMs carries it with its CRC byte inverted.
  std::vector<Rom> corruptSearchCrc;
  std::vector<DropOff> dropOffs;
  std::vector<NoisyReads> noisyReads;
};

}  // namespace simdevice

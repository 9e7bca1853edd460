#pragma once

// The 1-Wire relay's command protocol, defined once for everybody who speaks
// or watches it: the relay master, the simulated relay, the `teds` tool's
// progress notes and the benchmarks.
//
// Inbound block: each command's code; a multi-byte command (bit 7 clear) is
// followed by a length byte and that many payload bytes, a single-byte command
// (bit 7 set) stands alone; CMD_POLL closes the block. Outbound block: the
// answers in request order, up to and including the first whose return code
// halts: echo and return code for a single-byte command; echo, length and
// data for a multi-byte one; CMD_STATUS and return code, or nothing, for a
// write (a multi-byte command carrying a payload).

#include <cstdint>

struct RelayProtocol {
  // Multi-byte commands.
  static constexpr uint8_t CMD_DATA_ID = 0x00;
  static constexpr uint8_t CMD_DATA_SEARCH_STATE = 0x01;
  static constexpr uint8_t CMD_DATA_SEARCH_COMMAND = 0x02;
  static constexpr uint8_t CMD_DATA_OUTBOUND_MAX = 0x05;
  static constexpr uint8_t CMD_DATA_INBOUND_MAX = 0x06;
  static constexpr uint8_t CMD_DATA_PROTOCOL = 0x07;
  static constexpr uint8_t CMD_DATA_VENDOR = 0x08;
  static constexpr uint8_t CMD_ML_DATA = 0x0A;
  // Single-byte commands.
  static constexpr uint8_t CMD_ML_RESET = 0x80;
  static constexpr uint8_t CMD_ML_SEARCH = 0x81;
  static constexpr uint8_t CMD_ML_ACCESS = 0x82;
  static constexpr uint8_t CMD_RESET = 0x84;
  // Closes every inbound block; asks for nothing and is never answered.
  static constexpr uint8_t CMD_POLL = 0x85;
  // Answer only: stands in place of a write's echo, followed by a return code.
  static constexpr uint8_t CMD_STATUS = 0x86;

  // Return codes. 0 and 1 let the block go on; every other code halts it:
  // the relay answers no later command of that block.
  static constexpr uint8_t RC_OK = 0x00;
  // CMD_ML_SEARCH: no further device.
  static constexpr uint8_t RC_NO_FURTHER_DEVICE = 0x01;

  // Bytes of an answer made of an echo (or CMD_STATUS) and a return code, or
  // of an echo and a length before the data.
  static constexpr unsigned ANSWER_HEAD = 2;

  static constexpr bool CommandIsMultiByte(uint8_t command) { return (command & 0x80) == 0; }
  static constexpr bool ReturnCodeHalts(uint8_t returnCode) { return returnCode > RC_NO_FURTHER_DEVICE; }

  // The command's name as the relay master's messages spell it
  // ("CMD_ML_ACCESS"), or null for a code the protocol does not define.
  static constexpr const char* CommandName(uint8_t command) {
    switch (command) {
      case CMD_DATA_ID: return "CMD_DATA_ID";
      case CMD_DATA_SEARCH_STATE: return "CMD_DATA_SEARCH_STATE";
      case CMD_DATA_SEARCH_COMMAND: return "CMD_DATA_SEARCH_COMMAND";
      case CMD_DATA_OUTBOUND_MAX: return "CMD_DATA_OUTBOUND_MAX";
      case CMD_DATA_INBOUND_MAX: return "CMD_DATA_INBOUND_MAX";
      case CMD_DATA_PROTOCOL: return "CMD_DATA_PROTOCOL";
      case CMD_DATA_VENDOR: return "CMD_DATA_VENDOR";
      case CMD_ML_DATA: return "CMD_ML_DATA";
      case CMD_ML_RESET: return "CMD_ML_RESET";
      case CMD_ML_SEARCH: return "CMD_ML_SEARCH";
      case CMD_ML_ACCESS: return "CMD_ML_ACCESS";
      case CMD_RESET: return "CMD_RESET";
      case CMD_POLL: return "CMD_POLL";
      case CMD_STATUS: return "CMD_STATUS";
      default: return nullptr;
    }
  }

  // Length of the value a read (a multi-byte command with an empty payload)
  // returns; 255 where the protocol does not bound it below its length byte.
  static constexpr unsigned ReadLength(uint8_t command) {
    switch (command) {
      case CMD_DATA_ID: return 8;
      case CMD_DATA_SEARCH_STATE: return 2;
      case CMD_DATA_SEARCH_COMMAND:
      case CMD_DATA_OUTBOUND_MAX:
      case CMD_DATA_INBOUND_MAX: return 1;
      default: return 255;
    }
  }

  // The longest answer the relay may give to one request: echo and return
  // code (2) for a single-byte command; echo, length and data for the rest:
  // a read's value, CMD_ML_DATA's exchange length L (payload byte 0), or a
  // write's payload read back (its echo form, the longest of its three).
  // CMD_POLL is never answered.
  template <typename Payload>
  static unsigned AnswerBytes(uint8_t command, const Payload& payload) {
    if (command == CMD_POLL) return 0;
    if (!CommandIsMultiByte(command)) return ANSWER_HEAD;
    if (payload.empty()) return ANSWER_HEAD + ReadLength(command);
    if (command == CMD_ML_DATA) return ANSWER_HEAD + payload[0];
    return ANSWER_HEAD + static_cast<unsigned>(payload.size());
  }

  // True for the inbound block that only asks the relay for pending answers.
  template <typename Block>
  static bool IsPollBlock(const Block& block) {
    return block.size() == 1 && block[0] == CMD_POLL;
  }
};

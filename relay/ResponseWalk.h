#pragma once

// Internal to the relay master: the one way its three transfer kinds examine
// their answers.

#include <list>
#include <string>

#include "relay/RemoteOneWireMaster.h"

// Walks a transfer's responses from the front, one expected command at a
// time. A response that is missing (the list ended early: a halting return
// code, or an answer the parser never got) fails like one for another
// command. The first failure's text is kept; each examination reports it in
// its own words and stops.
class RemoteOneWireMaster::ResponseWalk {
 public:
  explicit ResponseWalk(const Transfer& transfer)
      : next(transfer.responses.begin()), end(transfer.responses.end()) {}

  // The next response when it answers `command`; else null, with the
  // failure "No <command> response".
  const Response* Take(uint8_t command) {
    if (next == end || next->command != command) return Fail(Named("No ", command, " response"));
    return &*next++;
  }

  // As Take, and the return code must be 0, else "<command> failed".
  const Response* Accept(uint8_t command) {
    const Response* response = Take(command);
    if (response && response->returnCode != RelayProtocol::RC_OK) {
      return Fail(Named("", command, " failed"));
    }
    return response;
  }

  // As Accept, with one text for every way it can fail.
  const Response* Accept(uint8_t command, const char* text) {
    const Response* response = Accept(command);
    return response ? response : Fail(text);
  }

  // Records `text` as the failure; returns null for use in a return.
  const Response* Fail(const std::string& text) {
    failure = text;
    return nullptr;
  }

  const std::string& Failure() const { return failure; }

 private:
  static std::string Named(const char* before, uint8_t command, const char* after) {
    const char* name = RelayProtocol::CommandName(command);
    return before + std::string(name ? name : "relay command") + after;
  }

  std::list<Response>::const_iterator next;
  const std::list<Response>::const_iterator end;
  std::string failure;
};

#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// The streams the `teds` commands use in place of the process's own, so that
// tests can run a command with string streams.
struct TedsStreams {
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  // Standard input is a terminal: a command that reads it says so first
  // rather than wait without a word.
  bool interactiveInput = false;
};

// Exit statuses shared by the commands.
enum TedsExit : int {
  TEDS_EXIT_OK = 0,           // done
  TEDS_EXIT_PARSE_ERROR = 1,  // the TEDS could not be parsed
  TEDS_EXIT_BAD_INPUT = 2,    // bad arguments or input; nothing on standard output
};

// Runs `teds` with the arguments that follow the program name and returns
// the exit status.
int RunTeds(const std::vector<std::string>& args, TedsStreams& streams);

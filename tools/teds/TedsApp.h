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
  // 3 is the query's time-out (QueryCore.h).
  TEDS_EXIT_OUTPUT_FAILED = 4,  // standard output could not be written; a message says so
};

// Runs `teds` with the arguments that follow the program name and returns
// the exit status. Whatever the command's own status, a write to `out` that
// failed (a full disk, a closed pipe) ends with a message on `err` and
// TEDS_EXIT_OUTPUT_FAILED: a truncated report must not pass for a whole one.
int RunTeds(const std::vector<std::string>& args, TedsStreams& streams);

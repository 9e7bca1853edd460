#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"
#include "onewire/QueryMaster.h"

// One write of a DS2430A as a host runs it: the master comes up, the search
// finds the part by its ROM, and a DS2430AWriter programs it on the master's
// thread while the calling thread waits. The write ends with the writer's
// report, with a search that failed or did not find the part, or with a
// bus error that leaves the master unable to come up; after any other bus
// error the master still becomes ready and the search or writer reports.
struct ORVANE_TEDS_API DS2430AWriteJob {
  struct Outcome {
    bool ended = false;  // within the time-out
    bool ok = false;     // written (and locked, if asked) and verified
    std::string text;    // the text that ended the write
  };
  // What the host hears on the master's thread while the write runs, each
  // optional: every text (bus errors, and the one that ends the write; none
  // after that), and notes of progress.
  struct Notes {
    std::function<void(const std::string&)> text;
    std::function<void(const std::string&)> progress;
  };

  AbstractOneWireMaster::Device rom;
  std::vector<uint8_t> application;  // 8 bytes
  std::vector<uint8_t> memory;       // 32 bytes, page checksum first
  bool lock = false;

  // Runs the write on `master`, then ends all traffic into it.
  Outcome Run(QueryMaster master, std::chrono::duration<double> timeout,
              const Notes& notes = Notes()) const;
};

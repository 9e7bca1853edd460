#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "onewire/Export.h"
#include "teds/TEDSQuery.h"

class TEDSTransducer;

// Queries several masters at once: every channel of a device, several
// devices, serial adapters, each one query of its own, all running at the
// same time, so that eight channels of one device take about as long as one
// (the device library serves its masters concurrently and most of a query is
// the relay's answer pause).
//
// Threads. Run makes every master on the calling thread, in order, then runs
// each query on a thread of its own and returns once all of them have ended
// or the one overall time-out has passed; no thread of the scan is left
// running when it returns. Stop may be called from any other thread while
// Run blocks. The progress callback runs on the queries' threads, one call at
// a time, and must not call into the scan.
class ORVANE_TEDS_API TEDSScan {
 public:
  // One master to query: `make` builds it (MakeZorelQueryMaster,
  // MakeDS2480BQueryMaster); an exception from it is that target's failure
  // to start, named in its result.
  struct Target {
    std::string where;  // how the caller names it, e.g. "SIM-DAQ/1/0" or "/dev/ttyUSB0"
    std::function<QueryMaster()> make;
  };

  // How a target's query ended: by itself (its cycle ended, or the master
  // could not come up, which its texts tell), at the overall time-out,
  // because its master could not be made, or by Stop.
  enum class Outcome { Ended, TimedOut, FailedToStart, Stopped };

  // A transducer the query reported, kept beyond the query.
  struct Found {
    std::shared_ptr<const TEDSTransducer> transducer;
    // Every memory page of every device joined into it passed its checksum.
    bool goodChecksum = true;
  };

  struct Result {
    Outcome outcome = Outcome::Ended;
    std::string failure;  // FailedToStart: the factory's reason
    // TimedOut: the master still waited for its channel (another query of
    // the same channel held it all the while).
    bool waitedForChannel = false;
    std::vector<std::string> texts;  // every text, in order, as the library words them
    std::vector<Found> transducers;  // in the order reported
  };

  // Told of each text of target `index` as it arrives, and of a failure to
  // start; for a live view of a scan under way.
  using Progress = std::function<void(std::size_t index, const std::string& text)>;

  TEDSScan() = default;
  TEDSScan(const TEDSScan&) = delete;
  TEDSScan& operator=(const TEDSScan&) = delete;

  // Queries every target at once and waits up to `timeout` in all; one
  // result per target, in the order of `targets`. A scan object runs one scan
  // at a time (a second Run while one blocks throws std::logic_error).
  std::vector<Result> Run(const std::vector<Target>& targets,
                          std::chrono::duration<double> timeout, const Progress& progress = {});

  // Ends the scan under way, if any: every query still running stops and
  // reports Stopped; queries not yet begun do not begin. Any thread.
  void Stop();

 private:
  struct Slot;
  void RunOne(Slot& slot, std::chrono::steady_clock::time_point deadline);

  std::mutex mutex;  // guards running, stopped and slots
  bool running = false;
  bool stopped = false;
  std::vector<Slot*> slots;
  std::mutex progressMutex;  // one progress call at a time
};

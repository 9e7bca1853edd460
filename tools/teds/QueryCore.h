#pragma once

#include <iosfwd>
#include <mutex>
#include <string>

#include "devicelink/ZorelQueryMaster.h"
#include "teds/TEDSQuery.h"
#include "tools/teds/TedsApp.h"

// The query the `teds` commands share: options, the master they describe,
// one TEDSQuery on it, and what the host hears turned into output and an
// exit status. Nothing here knows what stands behind the device library.
struct QueryOptions {
  bool haveBench = false;     // otherwise the built-in bench
  std::string benchPath;
  bool haveDevice = false;    // otherwise the bench's name
  std::string device;         // UTF-8
  bool haveAddress = false;   // otherwise the bench's address
  unsigned int address = 0;
  bool haveChannel = false;   // otherwise the bench's first channel
  unsigned int channel = 0;
  unsigned int mode = 1;      // TEDS mode of the channel
  unsigned int pollMs = 1000;  // the relay's answer pause
  double timeoutS = 60;
  std::string searchPasses = "2";  // search passes per transfer: a number from 1, or "max"
  bool quiet = false;
  bool json = false;          // one JSON document in place of the texts
  std::string serialPort;  // non-empty: a DS2480B adapter on this port, no device library
  unsigned int baud = 9600;  // the adapter's serial rate after start-up (--baud)
};

// Exit status of a query that did not end in time.
constexpr int TEDS_EXIT_TIMEOUT = 3;

// The device a query through the device library reaches.
struct DeviceTarget {
  std::wstring device;
  unsigned int address = 0;
  unsigned int channel = 0;
  unsigned int searchPasses = 0;
};

// The settings of a master through the device library on `target` (its
// search passes are left at the default), in TEDS mode `mode` with the
// relay's answer pause `pollMs`.
ZorelQuerySettings DeviceLinkSettings(const DeviceTarget& target, unsigned int mode,
                                      unsigned int pollMs);

// Makes the master of `settings`; false, with "`who`: why" on `err`, when
// the settings name no channel the device library serves.
bool MakeDeviceLinkMaster(const ZorelQuerySettings& settings, const char* who, std::ostream& err,
                          QueryMaster& master);

// Checks the options of a query through the device library and fills in
// `target` from them, `defaults` supplying what they leave out. False, with
// a message, for a value the query cannot use.
bool ResolveTarget(const QueryOptions& options, const DeviceTarget& defaults,
                   DeviceTarget& target, std::ostream& err);

// Runs one query through the device library on `target`, with the output
// and exit status of RunQueryOn.
int RunDeviceLinkQuery(const QueryOptions& options, const DeviceTarget& target,
                       TedsStreams& streams);

// `teds query --serial PORT`: the query over a DS2480B serial 1-Wire adapter
// instead of the device library. Output and exit status as for the device
// library's path; there is no relay, so no protocol or vendor text.
int RunSerialQuery(const QueryOptions& options, TedsStreams& streams);

// Runs one query on `master` (`options.timeoutS`, `options.json`), then ends
// all traffic into it. Standard output gets exactly what the host listener
// receives, in order: each text (a newline added when it has none) and each
// transducer's report followed by its template errors, one per line; with
// `json`, one JSON document holding all of that once the query has ended (or
// timed out). Returns TEDS_EXIT_OK when at least one transducer was
// reported, TEDS_EXIT_PARSE_ERROR when the query ended without one and
// TEDS_EXIT_TIMEOUT when it had not ended in time.
int RunQueryOn(QueryMaster master, const QueryOptions& options, TedsStreams& streams);

// Writes what a query reports to a stream as the host receives it: each text
// with a newline added where it has none, each transducer's report followed
// by its template errors.
class ReportWriter : public TEDSQuery::Listener {
 public:
  explicit ReportWriter(std::ostream& out) : out(out) {}
  void TransducerFound(const TEDSTransducer& transducer) override;
  void Text(const std::string& text) override;

 private:
  std::ostream& out;
  std::mutex mutex;
};

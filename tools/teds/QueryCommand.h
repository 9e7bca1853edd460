#pragma once

#include "tools/teds/QueryCore.h"
#include "tools/teds/TedsApp.h"

namespace CLI {
class App;
}

// `teds query`: one TEDS query against a device through the device library,
// by default the simulated device of the built-in bench, or through a
// DS2480B serial adapter. Output and exit status as RunQueryOn has them;
// progress goes to the error stream unless `quiet`; TEDS_EXIT_BAD_INPUT for
// bad arguments or a bad bench.
int RunQuery(const QueryOptions& options, TedsStreams& streams);

void AddQueryCommand(CLI::App& app, TedsStreams& streams, int& status);

// `teds bench`: prints the built-in bench file.
void AddBenchCommand(CLI::App& app, TedsStreams& streams, int& status);

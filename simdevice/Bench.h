#pragma once

// Everything about benches: the model, the bench file reader and the relays
// built from a bench.

#include "simdevice/BenchModel.h"
#include "simdevice/BenchReader.h"
#include "simdevice/BenchRelays.h"

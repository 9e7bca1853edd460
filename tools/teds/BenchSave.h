#pragma once

#include <iosfwd>
#include <string>

namespace simdevice {
class SimDevice;
struct Bench;
}  // namespace simdevice

// Loads the bench file `path` (the built-in bench when empty) keeping its
// text, so that what a write changes can be saved into it (SaveBench).
// Warnings and errors go to `err` after `who` ("teds write"); false on error.
bool LoadBenchText(const std::string& path, const char* who, std::string& text,
                   simdevice::Bench& bench, std::ostream& err);

// The bench file `benchText` with the status, application register and
// memory of each DS2430A replaced by what the simulated device's parts hold
// now; everything else (names, relays, faults, other devices) is kept as
// given. Throws std::runtime_error when `benchText` is not a bench object.
std::string SaveBench(const std::string& benchText, simdevice::SimDevice& device);

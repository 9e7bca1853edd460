#pragma once

// Internal to the bench reader: typed access to the fields of a parsed bench
// document, every failure a BenchError that names the source, the field and
// the problem.

#include <array>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "simdevice/BenchModel.h"
#include "simdevice/BenchReader.h"

namespace simdevice {
namespace benchjson {

using json = nlohmann::json;

// "relay" under "channels[0]" is "channels[0].relay"; at the top, "relay".
std::string Join(const std::string& field, const std::string& key);
std::string Index(const std::string& field, std::size_t index);

class Fields {
 public:
  Fields(const std::string& source, std::vector<std::string>* warnings);

  [[noreturn]] void Fail(const std::string& field, const std::string& problem) const;
  void Warn(const std::string& field, const std::string& problem) const;

  static const json* Find(const json& object, const char* key);
  // An object holding no key but the allowed ones.
  void Object(const json& value, const std::string& field,
              const std::vector<const char*>& allowed) const;
  // The array under `key`, or null when the key is absent.
  const json* Array(const json& object, const char* key, const std::string& field) const;

  uint64_t Unsigned(const json& value, const std::string& field, uint64_t max) const;
  bool Bool(const json& value, const std::string& field) const;
  std::string String(const json& value, const std::string& field) const;
  // A relay text: sent with its closing 0 byte in one answer of at most 255.
  std::string Text(const json& value, const std::string& field) const;
  // Hex bytes, possibly none.
  std::vector<uint8_t> Hex(const json& value, const std::string& field) const;
  // A code: a number 0-255 or one hex byte as text.
  uint8_t Byte(const json& value, const std::string& field) const;

  template <std::size_t N>
  std::array<uint8_t, N> FixedHex(const json& value, const std::string& field) const {
    const std::vector<uint8_t> bytes = Hex(value, field);
    if (bytes.size() != N) WrongLength(field, bytes.size(), N);
    std::array<uint8_t, N> out{};
    std::copy(bytes.begin(), bytes.end(), out.begin());
    return out;
  }

 private:
  [[noreturn]] void WrongLength(const std::string& field, std::size_t given,
                                std::size_t expected) const;

  std::string source;
  std::vector<std::string>* warnings;
};

// The devices of one channel by ROM, for finding duplicates and the devices
// that faults name without a search through the list.
using RomIndex = std::map<Rom, std::size_t>;

// Reads the `faults` object of the whole device (`channel` null) or of one
// channel, knob by knob as the table in BenchFaults.cpp declares them.
void ReadFaults(const Fields& fields, const json& value, const std::string& field, Bench& bench,
                ChannelConfig* channel, const RomIndex* roms);

}  // namespace benchjson
}  // namespace simdevice

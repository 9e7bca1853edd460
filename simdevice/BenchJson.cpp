#include "simdevice/BenchJson.h"

#include <algorithm>

#include "text/HexText.h"

namespace simdevice {
namespace benchjson {

std::string Join(const std::string& field, const std::string& key) {
  return field.empty() ? key : field + "." + key;
}

std::string Index(const std::string& field, std::size_t index) {
  return field + "[" + std::to_string(index) + "]";
}

Fields::Fields(const std::string& source, std::vector<std::string>* warnings)
    : source(source), warnings(warnings) {}

void Fields::Fail(const std::string& field, const std::string& problem) const {
  throw BenchError(source + ": " + (field.empty() ? "" : field + ": ") + problem);
}

void Fields::Warn(const std::string& field, const std::string& problem) const {
  if (warnings != nullptr) warnings->push_back(source + ": " + field + ": " + problem);
}

const json* Fields::Find(const json& object, const char* key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

void Fields::Object(const json& value, const std::string& field,
                    const std::vector<const char*>& allowed) const {
  if (!value.is_object()) Fail(field, "expected an object");
  for (auto it = value.begin(); it != value.end(); ++it) {
    const bool known = std::any_of(allowed.begin(), allowed.end(),
                                   [&](const char* key) { return it.key() == key; });
    if (!known) Fail(Join(field, it.key()), "unknown key '" + it.key() + "'");
  }
}

const json* Fields::Array(const json& object, const char* key, const std::string& field) const {
  const json* list = Find(object, key);
  if (list != nullptr && !list->is_array()) Fail(Join(field, key), "expected an array");
  return list;
}

uint64_t Fields::Unsigned(const json& value, const std::string& field, uint64_t max) const {
  if (!value.is_number_integer()) Fail(field, "expected a whole number");
  if (!value.is_number_unsigned() && value.get<int64_t>() < 0) Fail(field, "must not be negative");
  const uint64_t number = value.get<uint64_t>();
  if (number > max) Fail(field, std::to_string(number) + " is larger than " + std::to_string(max));
  return number;
}

bool Fields::Bool(const json& value, const std::string& field) const {
  if (!value.is_boolean()) Fail(field, "expected true or false");
  return value.get<bool>();
}

std::string Fields::String(const json& value, const std::string& field) const {
  if (!value.is_string()) Fail(field, "expected a string");
  return value.get<std::string>();
}

std::string Fields::Text(const json& value, const std::string& field) const {
  std::string text = String(value, field);
  if (text.size() > 254) Fail(field, "longer than 254 bytes");
  return text;
}

std::vector<uint8_t> Fields::Hex(const json& value, const std::string& field) const {
  const std::string text = String(value, field);
  std::vector<uint8_t> bytes;
  if (const auto fault = orvtext::ParseHex(text, bytes)) {
    const std::string run = text.substr(fault->runStart, fault->runLength);
    Fail(field, "bad hex '" + run + "'" + (fault->OddLength() ? " (odd number of digits)" : ""));
  }
  return bytes;
}

uint8_t Fields::Byte(const json& value, const std::string& field) const {
  if (value.is_string()) return FixedHex<1>(value, field)[0];
  return static_cast<uint8_t>(Unsigned(value, field, 255));
}

void Fields::WrongLength(const std::string& field, std::size_t given, std::size_t expected) const {
  Fail(field, "wrong length (" + std::to_string(given) + " bytes, expected " +
                  std::to_string(expected) + ")");
}

}  // namespace benchjson
}  // namespace simdevice

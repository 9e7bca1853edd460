#include "tools/teds/BenchSave.h"

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>
#include <vector>

#include "simdevice/Bench.h"
#include "simdevice/DS2430A.h"
#include "simdevice/SimDevice.h"
#include "text/HexText.h"
#include "tools/teds/HexText.h"

namespace {

using Json = nlohmann::ordered_json;

// Writes the current contents of every DS2430A on the channel's bus into
// the device entries with the same ROM.
void SaveChannel(Json& channel, simdevice::SimDevice& device) {
  if (!channel.contains("channel") || !channel.contains("devices")) return;
  const unsigned number = channel["channel"].get<unsigned>();
  device.WithRelay(number, [&channel](simdevice::RelayEmulator& relay) {
    // Nothing more comes on the bus: a programming under way completes.
    relay.GetBus().Idle();
    for (const auto& part : relay.GetBus().GetDevices()) {
      const auto* chip = dynamic_cast<const simdevice::DS2430A*>(part.get());
      if (chip == nullptr) continue;
      const std::vector<uint8_t> rom(chip->GetRom().begin(), chip->GetRom().end());
      for (Json& entry : channel["devices"]) {
        std::vector<uint8_t> entryRom;
        std::string problem;
        if (!entry.contains("rom") ||
            !ParseHexBytes(entry["rom"].get<std::string>(), entryRom, problem) || entryRom != rom) {
          continue;
        }
        entry["status"] = orvtext::HexByte(chip->GetStatus());
        entry["application"] = orvtext::FormatHex(chip->GetApplication());
        entry["memory"] = orvtext::FormatHex(chip->GetMemory());
      }
    }
  });
}

}  // namespace

std::string SaveBench(const std::string& benchText, simdevice::SimDevice& device) {
  Json bench = Json::parse(benchText, nullptr, false);
  if (bench.is_discarded() || !bench.is_object()) {
    throw std::runtime_error("the bench is not a JSON object");
  }
  if (bench.contains("channels")) {
    for (Json& channel : bench["channels"]) SaveChannel(channel, device);
  }
  return bench.dump(2) + "\n";
}

bool LoadBenchText(const std::string& path, const char* who, std::string& text,
                   simdevice::Bench& bench, std::ostream& err) {
  try {
    if (path.empty()) {
      text = simdevice::DefaultBenchJson();
    } else {
      std::ifstream file(path, std::ios::binary);
      if (!file) throw std::runtime_error(path + ": cannot be read");
      text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> warnings;
    bench = simdevice::ParseBench(text, path.empty() ? "built-in bench" : path, &warnings);
    for (const std::string& warning : warnings) err << who << ": warning: " << warning << '\n';
    return true;
  } catch (const std::exception& e) {
    err << who << ": " << e.what() << '\n';
    return false;
  }
}

#include "simdevice/OneWireBus.h"

#include <algorithm>

#include "onewire/WireCommands.h"
#include "text/HexText.h"

namespace simdevice {

uint8_t Crc8(const uint8_t* data, std::size_t length) {
  uint8_t crc = 0;
  for (std::size_t i = 0; i < length; ++i) {
    uint8_t byte = data[i];
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ byte) & 1) != 0;
      crc >>= 1;
      if (mix) crc ^= 0x8C;
      byte >>= 1;
    }
  }
  return crc;
}

bool RomCrcValid(const Rom& rom) { return Crc8(rom.data(), 7) == rom[7]; }

std::string RomToString(const Rom& rom) { return orvtext::FormatHex(rom); }
BusDevice::BusDevice(const Rom& rom) : rom(rom), present(true) {}
BusDevice::~BusDevice() = default;
const Rom& BusDevice::GetRom() const { return rom; }
bool BusDevice::IsPresent() const { return present; }
void BusDevice::SetPresent(bool value) { present = value; }
void BusDevice::Reset() {}
void BusDevice::Idle() {}
void BusDevice::Activity(BusClock::time_point) {}
uint8_t BusDevice::Exchange(uint8_t) { return 0xFF; }
bool BusDevice::AnswersSearch(uint8_t command) const { return command == onewire::SEARCH_ROM; }

OneWireBus::OneWireBus() : clock(&BusClock::now), selected(nullptr), searchBit(0) {}

void OneWireBus::SetClock(std::function<BusClock::time_point()> value) { clock = std::move(value); }

void OneWireBus::Activity() {
  const BusClock::time_point now = clock();
  for (const auto& device : devices) device->Activity(now);
}
OneWireBus::~OneWireBus() = default;

BusDevice& OneWireBus::Add(std::unique_ptr<BusDevice> device) {
  devices.push_back(std::move(device));
  return *devices.back();
}

BusDevice* OneWireBus::Find(const Rom& rom) const {
  for (const auto& device : devices) {
    if (device->GetRom() == rom) return device.get();
  }
  return nullptr;
}

const std::vector<std::unique_ptr<BusDevice>>& OneWireBus::GetDevices() const { return devices; }

bool OneWireBus::Reset() {
  Activity();
  selected = nullptr;
  searching.clear();
  bool presence = false;
  for (const auto& device : devices) {
    device->Reset();
    presence = presence || device->IsPresent();
  }
  return presence;
}

void OneWireBus::Idle() {
  for (const auto& device : devices) device->Idle();
}

void OneWireBus::MatchRom(const Rom& rom) {
  Activity();
  BusDevice* device = Find(rom);
  selected = device != nullptr && device->IsPresent() ? device : nullptr;
}

uint8_t OneWireBus::Exchange(uint8_t master) {
  Activity();
  if (selected == nullptr || !selected->IsPresent()) return master;
  return static_cast<uint8_t>(master & selected->Exchange(master));
}

void OneWireBus::BeginSearch(uint8_t command) {
  Activity();
  selected = nullptr;
  searching.clear();
  searchBit = 0;
  for (const auto& device : devices) {
    if (device->IsPresent() && device->AnswersSearch(command)) searching.push_back(device.get());
  }
}

void OneWireBus::ReadSearchBits(bool& bit, bool& complement) {
  Activity();
  bit = true;
  complement = true;
  if (searchBit >= 64) return;
  for (const BusDevice* device : searching) {
    const bool value = RomBit(device->GetRom(), searchBit);
    bit = bit && value;
    complement = complement && !value;
  }
}

void OneWireBus::WriteSearchBit(bool bit) {
  Activity();
  if (searchBit >= 64) return;
  const unsigned index = searchBit++;
  searching.erase(
      std::remove_if(searching.begin(), searching.end(),
                     [&](const BusDevice* d) { return RomBit(d->GetRom(), index) != bit; }),
      searching.end());
  if (searchBit == 64 && searching.size() == 1) selected = searching.front();
}

}  // namespace simdevice

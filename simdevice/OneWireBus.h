#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// An emulated 1-Wire bus: the devices on it, bus resets with their presence
// pulse, selection by ROM, byte exchanges with the selected device and the
// bit steps of the ROM search. It knows nothing of relays or threads.

namespace simdevice {

// A ROM registration number in bus order: family code, serial, CRC-8.
using Rom = std::array<uint8_t, 8>;

// Dallas/Maxim 1-Wire CRC-8 of `length` bytes.
uint8_t Crc8(const uint8_t* data, std::size_t length);

// True when byte 7 is the CRC-8 of bytes 0 to 6.
bool RomCrcValid(const Rom& rom);

// "14 3A 7F 1B 05 00 00 B6".
std::string RomToString(const Rom& rom);

using BusClock = std::chrono::steady_clock;

// One device on the bus. The base class takes part in the ROM search and
// ignores everything it is sent once selected.
class BusDevice {
 public:
  explicit BusDevice(const Rom& rom);
  virtual ~BusDevice();

  const Rom& GetRom() const;

  // An absent device gives no presence pulse, takes no part in the search
  // and cannot be selected: it has dropped off the bus.
  bool IsPresent() const;
  // Leaving the bus also takes the device's power: what it keeps only while
  // powered is lost.
  virtual void SetPresent(bool present);

  // A reset pulse: any exchange in progress is forgotten.
  virtual void Reset();

  // The bus has stayed idle long enough for any programming to complete.
  virtual void Idle();

  // Something happens on the bus at `now` (a reset, a time slot of any
  // device, a search step): every device hears it before it happens, the
  // ones not on the bus (which only see time pass) too.
  virtual void Activity(BusClock::time_point now);

  // One byte of time slots while the device is selected. `master` is what
  // the master sends (0xFF to read); the result is what the device drives
  // (0xFF when it only listens). The line carries the AND of both.
  virtual uint8_t Exchange(uint8_t master);

  // Whether the device answers a search with this 1-Wire command: every
  // device answers the normal search; none is in alarm for the alarm search.
  virtual bool AnswersSearch(uint8_t command) const;

 private:
  Rom rom;
  bool present;
};

class OneWireBus {
 public:
  OneWireBus();
  ~OneWireBus();
  OneWireBus(const OneWireBus&) = delete;
  OneWireBus& operator=(const OneWireBus&) = delete;

  // The time the bus goes by; the steady clock unless a test sets its own.
  void SetClock(std::function<BusClock::time_point()> clock);

  BusDevice& Add(std::unique_ptr<BusDevice> device);
  // The device with this ROM, present or not; null when there is none.
  BusDevice* Find(const Rom& rom) const;
  const std::vector<std::unique_ptr<BusDevice>>& GetDevices() const;

  // Reset pulse: every device goes idle, nothing stays selected. Returns the
  // presence pulse (true when a present device is on the bus).
  bool Reset();

  // The bus has stayed idle long enough (nothing more will be sent, or a
  // master has waited for it): every device may finish what needs an idle
  // bus.
  void Idle();

  // Match ROM after a reset: the present device with `rom`, if any, becomes
  // selected. As on a real bus the master cannot tell whether one did.
  void MatchRom(const Rom& rom);

  // A byte exchange with the selected device; 0xFF-pulled line otherwise.
  uint8_t Exchange(uint8_t master);

  // ROM search, after a reset: the devices answering `command` take part.
  void BeginSearch(uint8_t command);
  // The two read slots of one search bit: the AND of the participants' bit
  // and the AND of its complement (both true when nobody takes part).
  void ReadSearchBits(bool& bit, bool& complement);
  // The master's write slot: participants with the other bit value drop out.
  // After the 64th bit the one remaining device is selected.
  void WriteSearchBit(bool bit);

 private:
  // Tells every device that the bus is about to be used.
  void Activity();

  std::function<BusClock::time_point()> clock;
  std::vector<std::unique_ptr<BusDevice>> devices;
  BusDevice* selected;
  std::vector<BusDevice*> searching;
  unsigned searchBit;
};

// Bit `index` (0 = bit 0 of byte 0) of a ROM.
inline bool RomBit(const Rom& rom, unsigned index) {
  return ((rom[index / 8] >> (index % 8)) & 1) != 0;
}

}  // namespace simdevice

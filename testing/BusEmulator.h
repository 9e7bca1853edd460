#pragma once

// A bus master for query-engine tests that emulates a 1-Wire bus of DS2430A
// images synchronously: search passes, and transactions answered from the
// devices' status, application register and memory.

#include <algorithm>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/WireCommands.h"
#include "testing/Roms.h"

namespace orvtest {

struct EmulatedDevice {
  AbstractOneWireMaster::Device rom;
  uint8_t status = ds2430a::STATUS_LOCKED;
  std::vector<uint8_t> application = std::vector<uint8_t>(8, 0xFF);
  std::vector<uint8_t> memory = std::vector<uint8_t>(32, 0xFF);
  // Line noise: the first this many memory reads deliver byte 5 inverted.
  unsigned noisyMemoryReads = 0;
  // Left the bus after the search: its reads end in a device fault.
  bool gone = false;
};

// A DS2430A holding a 39-byte TEDS image: bytes 0-7 in the application
// register, bytes 8-38 after the page checksum byte of the memory.
inline EmulatedDevice DeviceWithImage(const AbstractOneWireMaster::Device& rom,
                                      std::vector<uint8_t> image, bool goodChecksum = true) {
  image.resize(39, 0x00);
  EmulatedDevice device;
  device.rom = rom;
  device.application.assign(image.begin(), image.begin() + 8);
  device.memory.assign(1, 0x00);
  device.memory.insert(device.memory.end(), image.begin() + 8, image.end());
  unsigned sum = 0;
  for (uint8_t b : image) sum += b;
  device.memory[0] = static_cast<uint8_t>((256 - sum % 256) % 256 + (goodChecksum ? 0 : 1));
  return device;
}

class BusEmulator : public AbstractOneWireMaster {
 public:
  class EmulatedTransaction : public Transaction {
   public:
    EmulatedTransaction(BusEmulator& bus, Listener& listener)
        : Transaction(bus, listener), bus(bus) {}
    void Submit() override {
      ++bus.transactions;
      if (bus.beforeTransaction) bus.beforeTransaction();
      Transaction::Submit();
      Run();
    }

   private:
    void Run() {
      const std::shared_ptr<Transaction> self = shared_from_this();
      std::vector<Device> failed;
      const auto gone = [this](const std::shared_ptr<Operation>& operation) {
        return bus.IsGone(operation->getData().device);
      };
      // As the serial master: with every device gone the transaction fails.
      if (!operations.empty() && std::all_of(operations.begin(), operations.end(), gone)) {
        Error(GoneText(operations.front()->getData().device));
        return;
      }
      for (const auto& operation : operations) {
        const Device& device = operation->getData().device;
        if (std::find(failed.begin(), failed.end(), device) != failed.end()) continue;
        if (bus.IsGone(device)) {
          failed.push_back(device);
          FailDevice(device, GoneText(device));
          continue;
        }
        std::vector<uint8_t> reply;
        if (!bus.Answer(operation->getData(), reply)) {
          Error("no answer from " + operation->getData().device.ToString());
          return;
        }
        FinishOperation(*operation, reply);
      }
      Finished();
    }
    static std::string GoneText(const Device& device) {
      return "device " + device.ToString() + " left the bus during the read";
    }
    BusEmulator& bus;
  };

  void Enable(bool enable) override {
    ++enableCalls;
    if (enable && state == Disabled) {
      state = Enabling;
      Process();
    } else if (!enable && (state == Enabling || state == Ready)) {
      state = Disabled;
    }
  }

  std::shared_ptr<Transaction> CreateTransaction(Transaction::Listener& listener) override {
    return std::make_shared<EmulatedTransaction>(*this, listener);
  }

  // Re-enables the master, as a host that disables and enables it would.
  void Restart() {
    Enable(false);
    Enable(true);
  }
  void BusError(const std::string& message) { Error(message); }
  // Runs a search that `holdSearch` kept waiting, as a slow bus would.
  void ReleaseSearch() {
    holdSearch = false;
    if (searchHeld) {
      searchHeld = false;
      Search();
    }
  }

  std::vector<EmulatedDevice> devices;
  int transactions = 0;       // submitted
  std::function<void()> beforeTransaction;  // runs as each one is submitted
  std::string searchFailure;  // non-empty: the first search pass fails with it
  int enableCalls = 0;
  int searches = 0;
  bool holdSearch = false;  // a search waits for ReleaseSearch

 protected:
  void Search() override {
    if (holdSearch) {
      searchHeld = true;
      return;
    }
    ++searches;
    if (!searchFailure.empty()) {
      SearchError(searchFailure);
      return;
    }
    for (int pass = 0; pass < 2; ++pass) {
      if (next >= devices.size()) {
        next = 0;
        search.done = true;
        SearchFinished(false);
        return;
      }
      search.id = devices[next++].rom;
      SearchFinished(pass == 0);
    }
  }

 private:
  bool IsGone(const Device& rom) const {
    for (const EmulatedDevice& device : devices) {
      if (device.rom == rom) return device.gone;
    }
    return false;
  }
  bool Answer(const OperationData& data, std::vector<uint8_t>& reply) {
    for (EmulatedDevice& device : devices) {
      if (device.rom != data.device) continue;
      const std::size_t address = data.data.empty() ? 0 : data.data[0];
      switch (data.command) {
        case ds2430a::READ_STATUS_REGISTER:
          reply.assign(data.length, device.status);
          return true;
        case ds2430a::READ_APPLICATION_REGISTER:
          return Slice(device.application, address, data.length, reply);
        case ds2430a::READ_MEMORY:
          if (!Slice(device.memory, address, data.length, reply)) return false;
          if (device.noisyMemoryReads > 0 && reply.size() > 5) {
            --device.noisyMemoryReads;
            reply[5] = static_cast<uint8_t>(~reply[5]);
          }
          return true;
        default:
          return false;
      }
    }
    return false;
  }
  static bool Slice(const std::vector<uint8_t>& area, std::size_t address, std::size_t length,
                    std::vector<uint8_t>& reply) {
    if (area.empty()) return false;
    for (std::size_t i = 0; i < length; ++i) reply.push_back(area[(address + i) % area.size()]);
    return true;
  }
  std::size_t next = 0;
  bool searchHeld = false;
};

}  // namespace orvtest

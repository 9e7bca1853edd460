#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/Export.h"
#include "serial/DS2480BTiming.h"
#include "serial/SerialPort.h"

class DS2480BAdapter;

// A 1-Wire master on a DS2480B serial line driver (the common serial and
// USB-serial 1-Wire adapters). Enabling opens the port and starts the
// adapter; the ROM search uses the adapter's search accelerator, one pass
// per device, every ROM checked with CRC-8; transactions select each device
// by Match ROM and read in data mode.
//
// Threads: the master has a thread of its own that does all the serial I/O
// and makes every notification (bus, discovery and transaction listeners).
// Host calls (Enable, Discover, Serialized, submitting a transaction) and
// that thread are serialised by one lock, so a host may disable the master
// while a query is under way. Faults (no adapter answering within the
// time-out, an answer that does not fit its command, a shorted bus, no
// presence, a ROM failing its CRC, a device leaving during a read) end the
// exchange concerned with a text that says so; nothing waits without end.
// Bus listeners may be added and removed at any time: those calls take the
// same lock.
class ORVANE_TEDS_API DS2480BOneWireMaster final : public AbstractOneWireMaster {
 public:
  using Timing = DS2480BTiming;

  // Opens `portName` ("/dev/ttyUSB0", "COM3") each time it is enabled.
  explicit DS2480BOneWireMaster(const std::string& portName, Timing timing = Timing());
  // Drives an open port; `portName` only names it in texts.
  DS2480BOneWireMaster(std::shared_ptr<SerialPort> port, const std::string& portName,
                       Timing timing = Timing());
  DS2480BOneWireMaster(const DS2480BOneWireMaster&) = delete;
  DS2480BOneWireMaster& operator=(const DS2480BOneWireMaster&) = delete;
  // Shuts down (see Shutdown). Destroyed on its own thread (by a listener),
  // or while the library is being unloaded, it cannot wait for that thread:
  // the thread then leaves once the notification under way has returned,
  // touching nothing of the master.
  ~DS2480BOneWireMaster();

  // Enable(true) starts the adapter on the master's thread and makes the
  // master Ready; a start-up fault is reported through the bus listeners'
  // Error and leaves the master Enabling (StartFailed) until Enable(false).
  // Enable(false) ends the running search and every transaction not yet
  // ended with an error and lets go of the port.
  void Enable(bool enable) override;
  void Discover(const std::shared_ptr<DiscoveryListener>& listener) override;
  std::shared_ptr<AbstractOneWireMaster::Transaction> CreateTransaction(
      AbstractOneWireMaster::Transaction::Listener& listener) override;

  // Stops the master's thread once its current exchange has ended (a silent
  // adapter is given up at once); no notification follows. Lets a host wait
  // for the thread to leave the master before it destroys what the master's
  // listeners use. The master cannot be used afterwards. Called on the
  // master's own thread, or while the library is being unloaded, it does not
  // wait.
  void Shutdown();

  // The serial rate to work at: 9600 (the default), 19200, 57600 or 115200.
  // Each start-up begins at 9600, then switches the adapter with its
  // configuration command and the port after it, and reads the rate back at
  // the new one; when that fails, adapter and port go back to 9600 and
  // `note` (called on the master's thread) says so, and the master stays at
  // 9600 until the rate is set again. Takes effect at the next start-up
  // (Enable); false (nothing changed) for another rate.
  bool SetBaudRate(unsigned baud, std::function<void(const std::string&)> note = nullptr);
  // The rate of the latest start-up. Safe to ask from any thread.
  unsigned GetBaudRate() const { return baudRate.load(); }

  // The latest start-up failed. Safe to ask from any thread.
  bool StartFailed() const { return startFailed.load(); }

 protected:
  void Process() override;
  void Search() override;

 private:
  class SerialTransaction;
  struct Job;
  // What the master's thread shares with the master and keeps alive for as
  // long as it runs: the master may be destroyed under it.
  struct Shared {
    std::recursive_mutex lock;
    std::condition_variable_any wake;
    std::atomic<bool> orphaned{false};  // the master was destroyed on its thread
  };

  // The master's serializer: Serialized runs its action under the lock.
  static void SerializeEntry(AbstractOneWireMaster& master, const std::function<void()>& action);
  void Queue(Job job);
  void ThreadMain(const std::shared_ptr<Shared>& own);
  void Run(Job& job, std::unique_lock<std::recursive_mutex>& guard);
  void RunStart(std::unique_lock<std::recursive_mutex>& guard);
  void RunSearch(std::unique_lock<std::recursive_mutex>& guard);
  void RunTransaction(const std::shared_ptr<SerialTransaction>& transaction,
                      std::unique_lock<std::recursive_mutex>& guard);
  void RunDrop(Job& job, const Shared& own);
  // After a failed exchange with `device`: it is no longer on the bus. Runs
  // on the master's thread without the lock, like the exchanges.
  bool IsGone(const Device& device);
  void Submitted(const std::shared_ptr<SerialTransaction>& transaction);
  void QueueSubmitted();
  std::string DisabledText() const;

  const std::string portName;
  std::unique_ptr<DS2480BAdapter> adapter;
  std::shared_ptr<Shared> shared;
  // Serialises the host's calls and the master's thread. Recursive:
  // listeners called under it may call back into the master.
  std::recursive_mutex& lock;
  std::condition_variable_any& wake;
  std::deque<Job> jobs;
  // Transactions submitted and not yet handed to a job, in order.
  std::deque<std::shared_ptr<SerialTransaction>> submitted;
  // Transactions whose job is queued or running, for Enable(false).
  std::vector<std::shared_ptr<SerialTransaction>> running;
  // Counts disables: a job's result from before the latest one is dropped,
  // and the exchange under way is given up at once.
  std::atomic<uint64_t> generation{0};
  std::atomic<uint64_t> working{0};  // the generation of the job under way
  bool started = false;              // the adapter came up in this enabling
  std::atomic<bool> startFailed{false};
  std::atomic<unsigned> baudRate{9600};
  // A rate set and not yet handed to the adapter.
  struct BaudRequest {
    unsigned baud;
    std::function<void(const std::string&)> note;
  };
  std::unique_ptr<BaudRequest> baudRequest;
  std::atomic<bool> stopping{false};
  std::thread thread;
};

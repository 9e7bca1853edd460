#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "onewire/Export.h"

// The abstract 1-Wire bus master: device identities, operations and
// transactions, the master's life cycle, its bus listeners and the ROM search
// that discovers the devices on the bus. A concrete master implements
// `Enable`, `Search` and the running of transactions and reports back through
// the protected operations.
//
// Nothing here locks or starts a thread: every call, including every listener
// notification, runs on the thread that calls into the master. The state may
// be read from any thread, and AddListener and RemoveListener run through
// Serialized, so a master whose notifications arrive on another thread keeps
// its listener list safe.
class ORVANE_TEDS_API AbstractOneWireMaster {
 public:
  // The 64-bit ROM registration number of a device, in bus order: family code,
  // 48-bit serial number, CRC-8 of the first seven bytes.
  class ORVANE_TEDS_API Device : public std::array<uint8_t, 8> {
   public:
    Device();
    Device(const std::array<uint8_t, 8>& rom);  // NOLINT: a ROM array is a device
    explicit Device(const uint8_t* const rom);

    // Dallas/Maxim 1-Wire CRC-8 (CRC-8/MAXIM-DOW) of `length` bytes.
    static uint8_t crc8(const uint8_t* data, uint8_t length);

    // "[14 3A 7F 1B 05 00 00 B6]": eight upper-case hex bytes in brackets.
    std::string ToString() const;
    static std::string ToString(const std::array<uint8_t, 8>& rom);
  };

  class Transaction;

  // One addressed exchange: select `device`, write `command` and `data`, then
  // read `length` bytes back.
  class ORVANE_TEDS_API OperationData {
   public:
    OperationData(const Device& device, uint8_t command, const std::vector<uint8_t>& data,
                  uint8_t length);

    Device device;
    uint8_t command;
    std::vector<uint8_t> data;
    uint8_t length;
    // Set by whoever builds an operation that programs EEPROM (a copy with
    // its validation key): the part then needs the bus idle for its
    // programming time, so a master sends nothing after it until that passed.
    bool programs = false;
  };

  class ORVANE_TEDS_API Operation : public std::enable_shared_from_this<Operation> {
   public:
    Operation(const Device& device, uint8_t command, const std::vector<uint8_t>& data,
              uint8_t length);
    // Receives exactly `getData().length` reply bytes.
    virtual void Finished(const std::vector<uint8_t>& reply) = 0;
    virtual ~Operation();

    const OperationData& getData() const { return data; }

   protected:
    friend class Transaction;
    void SetTransaction(Transaction* owner) { transaction = owner; }

    // The transaction the operation is pending in; null before it was added
    // and again once its reply has been delivered.
    Transaction* transaction = nullptr;
    OperationData data;
  };

  // An ordered batch of operations that one master runs as a unit and that
  // reports once to its listener.
  class ORVANE_TEDS_API Transaction : public std::enable_shared_from_this<Transaction> {
   public:
    class ORVANE_TEDS_API Listener {
     public:
      virtual void Finished() = 0;
      virtual void Error(const std::string& message) = 0;
      virtual ~Listener();
    };

    // Virtual operations in the order of their slots: Finished, Error,
    // AddOperation, Submit, then the destructor.
   protected:
    // End of the batch: the listener is told, then the master lets go of it.
    virtual void Finished();
    virtual void Error(const std::string& message);

   public:
    // Appends the operation; the base never refuses one.
    virtual bool AddOperation(const std::shared_ptr<Operation>& operation);
    // Hands the transaction to its master, which starts it when it can.
    virtual void Submit();
    virtual ~Transaction();

    // Keeps `object` alive as long as the transaction exists. A listener that
    // the transaction refers to by plain reference, and whatever its
    // operations deliver into, can so outlive their owner's interest in them
    // without outliving the transaction (which the master may still hold).
    void KeepAlive(std::shared_ptr<void> object) { kept.push_back(std::move(object)); }

    const std::list<std::shared_ptr<Operation>>& GetOperations() const { return operations; }

    // A device the master could not reach while it went on with the rest of
    // the batch (the device left the bus, say): none of its later operations
    // was delivered. A transaction with such faults still ends through
    // Finished; its listener reads them here. A master that records them
    // ends a transaction whose every device has gone through Error instead.
    struct DeviceFault {
      Device device;
      std::string message;
    };
    const std::vector<DeviceFault>& GetDeviceFaults() const { return deviceFaults; }

   protected:
    friend class AbstractOneWireMaster;

    // Records a device fault (see GetDeviceFaults).
    void FailDevice(const Device& device, const std::string& message) {
      deviceFaults.push_back({device, message});
    }

    Transaction(AbstractOneWireMaster& master, Listener& listener);
    static std::shared_ptr<Transaction> Create(AbstractOneWireMaster& master, Listener& listener);

    // Delivers one operation's reply; the operation leaves the transaction.
    void FinishOperation(Operation& operation, const std::vector<uint8_t>& reply);

    AbstractOneWireMaster& master;
    Listener& listener;
    std::list<std::shared_ptr<Operation>> operations;

   private:
    void Release();

    std::vector<std::shared_ptr<void>> kept;
    std::vector<DeviceFault> deviceFaults;
  };

  class ORVANE_TEDS_API Listener {
   public:
    // The master has become ready.
    virtual void Ready() = 0;
    // A bus error.
    virtual void Error(const std::string& message) = 0;
    virtual ~Listener();
  };

  class ORVANE_TEDS_API DiscoveryListener {
   public:
    // The discovery has ended; all devices found, in the order found.
    virtual void Discovered(const std::vector<Device>& devices) = 0;
    // The search failed (or a bus error) while the discovery was waiting.
    virtual void Error(const std::string& message) = 0;
    virtual ~DiscoveryListener();
  };

  // Life-cycle states.
  enum : uint32_t { Disabled = 0, Enabling = 1, Ready = 2, Searching = 3 };

  AbstractOneWireMaster();
  AbstractOneWireMaster(const AbstractOneWireMaster&) = default;
  AbstractOneWireMaster(AbstractOneWireMaster&&) = default;
  AbstractOneWireMaster& operator=(const AbstractOneWireMaster&) = default;
  AbstractOneWireMaster& operator=(AbstractOneWireMaster&&) = default;

  bool IsEnabled() const { return state != Disabled; }
  bool IsReady() const { return state == Ready; }
  uint32_t GetState() const { return state; }

  // Bus listeners are notified in registration order. A listener added or
  // removed from inside a notification takes part from the next notification
  // on, except that a removed listener is never called again once
  // RemoveListener has returned (from another thread than the notifying one,
  // that holds for masters whose Serialized holds their notifications off).
  void AddListener(const std::shared_ptr<Listener>& listener);
  // Removes every registration of `listener`; unknown listeners are ignored.
  void RemoveListener(const std::shared_ptr<Listener>& listener);

  // A search pass whose ROM fails its CRC-8 check (line noise) is run again
  // at most this many times before the discovery fails.
  static constexpr unsigned MAX_SEARCH_REPEATS = 2;
  // Progress notes of the running discovery, in order: one per repeated
  // search pass, "Search pass repeated: ROM CRC-8 check failed (repeat N of
  // 2)". Meant for the discovery's listeners, during their notification
  // (the discovery still exists then); empty when no discovery runs.
  std::vector<std::string> GetDiscoveryNotes() const;

  // Runs `action` so that nothing else enters the master meanwhile. A master
  // whose notifications arrive on another thread than the host's (the
  // device-link master) holds them off for the duration, through its
  // `serializer`; otherwise `action` simply runs. Lets a host look at the
  // state and act on it in one step.
  void Serialized(const std::function<void()>& action);

  // Virtual operations in the order of their slots: Process, SearchError,
  // SearchFinished, Search, Enable, Discover, CreateTransaction. A concrete
  // master appends its own after them. The destructor is not virtual: a
  // master is never destroyed through this base (it is protected).
 protected:
  // One processing step; see the state table in the implementation.
  virtual void Process();
  // A failed search pass: the discovery's listeners are told, then the
  // discovery is dropped and a searching master returns to Ready, so that the
  // next Discover starts a fresh search.
  virtual void SearchError(const std::string& message);
  // The end of one search pass (`search.done` set: the search is over).
  virtual void SearchFinished(bool pending);
  // Starts one search pass.
  virtual void Search() = 0;

 public:
  virtual void Enable(bool enable) = 0;
  // Asks for the list of devices on the bus. A request made while a discovery
  // runs (also from inside its own notification) joins it and receives the
  // same list.
  virtual void Discover(const std::shared_ptr<DiscoveryListener>& listener);
  virtual std::shared_ptr<Transaction> CreateTransaction(Transaction::Listener& listener);

 protected:
  ~AbstractOneWireMaster();

  // Runs `action` with the master's other entries held off.
  using Serializer = void (*)(AbstractOneWireMaster& master, const std::function<void()>& action);

  struct SearchContext {
    uint8_t command = 0x00;
    Device id;
    std::array<uint8_t, 2> state{{0x00, 0x00}};
    bool load = true;
    bool done = false;
    // Repeats of the pass that failed its CRC-8 check; that pass would
    // have found device number `repeatPass` (from 0). Cleared once the
    // discovery has found a device beyond it.
    unsigned repeats = 0;
    std::size_t repeatPass = 0;
  };

  struct Discovery {
    std::vector<Device> devices;
    std::vector<std::shared_ptr<DiscoveryListener>> listeners;
    std::vector<std::string> notes;
  };

  // A bus error: bus listeners first, then the discovery's listeners.
  void Error(const std::string& message);

  // Ends every submitted transaction through its Error with `message`, oldest
  // first; for a concrete master that drops its pending work.
  void FailTransactions(const std::string& message);
  // Ends a running discovery through SearchError with `message`.
  void FailDiscovery(const std::string& message);
  // A search pass found a ROM that fails its CRC-8 check: true when the pass
  // may run again (the repeat is noted for the discovery's listeners), false
  // when its repeats are used up and the discovery is to fail.
  bool RepeatSearchPass();

  // The life-cycle state: written only inside the master, readable from any
  // thread (IsReady, GetState) without a data race. Copies copy the value.
  class StateField {
   public:
    StateField(uint32_t value = Disabled) : value(value) {}  // NOLINT: a state is a number
    StateField(const StateField& other) : value(other.value.load()) {}
    StateField& operator=(const StateField& other) {
      value.store(other.value.load());
      return *this;
    }
    StateField& operator=(uint32_t next) {
      value.store(next);
      return *this;
    }
    operator uint32_t() const { return value.load(); }  // NOLINT: reads as a number

   private:
    std::atomic<uint32_t> value;
  };

  std::shared_ptr<Discovery> discovery;
  std::list<std::shared_ptr<Transaction>> transactions;
  StateField state = Disabled;
  SearchContext search;
  std::vector<std::shared_ptr<Listener>> listeners;
  // Set by a master whose entries must be serialized; null: run directly.
  Serializer serializer = nullptr;

 private:
  bool IsListening(const Listener* listener) const;
};

// Two devices are the same device when all eight bytes are equal.
inline bool operator==(const AbstractOneWireMaster::Device& a,
                       const AbstractOneWireMaster::Device& b) {
  return static_cast<const std::array<uint8_t, 8>&>(a) ==
         static_cast<const std::array<uint8_t, 8>&>(b);
}
inline bool operator!=(const AbstractOneWireMaster::Device& a,
                       const AbstractOneWireMaster::Device& b) {
  return !(a == b);
}

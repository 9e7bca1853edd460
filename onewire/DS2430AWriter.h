#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "onewire/AbstractOneWireMaster.h"
#include "onewire/DS2430AMemory.h"
#include "onewire/Export.h"

// Programs one DS2430A over any master, in the order that never leaves a
// part half-written without saying so:
//   1. read status, application register and memory (the old contents);
//      a locked register with other contents than asked for is refused;
//   2. write the scratchpad and read it back (written again once on a
//      mismatch); the memory is untouched so far;
//   3. copy the scratchpad, alone in its transaction so that nothing follows
//      it on the bus within the programming time;
//   4. read the memory back and compare;
//   5. only when asked to lock: write the application register, read it
//      back, copy and lock it (alone again), then read status and register.
// Each step is a transaction of its own; the next one starts when the master
// has finished the previous. The report names the step that failed and what
// the part was left holding, as far as a read-back proved it: a part that has
// left a bus which still holds another device reads all FF without any error,
// so every read of the part's state ends with a presence probe (a byte
// written into the scratchpad and read back, which only a present part can
// return). What no read proved is reported unknown, with the reason.
//
// The master must be ready when Start is called and must outlive the writer's
// work; the writer keeps itself alive until it has reported.
class ORVANE_TEDS_API DS2430AWriter : public std::enable_shared_from_this<DS2430AWriter>,
                                      private AbstractOneWireMaster::Transaction::Listener,
                                      private OneWireMemory::Listener {
 public:
  struct ORVANE_TEDS_API Report {
    enum class Memory {
      Unchanged,   // the old contents, read back (or never touched)
      Programmed,  // the new contents, read back
      Other,       // neither, read back
      Unknown,     // could not be read back
    };
    enum class Register {
      Untouched,      // not written by this write (not asked to lock, or failed before)
      NotLocked,      // written but the lock did not take: the part is not committed
      Locked,         // locked by this write with the new contents, read back
      AlreadyLocked,  // was locked before with exactly the new contents
      LockedOther,    // locked with other contents
      PartlyLocked,   // locked with the new contents, but the status is not FC,
                      // which is all hosts accept
      Unknown,        // could not be read back
    };
    bool ok = false;
    std::string step;     // the step that failed, e.g. "copy scratchpad"
    std::string message;  // why it failed
    Memory memory = Memory::Unchanged;
    Register applicationRegister = Register::Untouched;
    bool statusKnown = false;
    uint8_t status = 0xFF;  // the status register as last read, when known
    // Why the memory or the register is Unknown: "device gone" (the
    // presence probe after the read was not answered) or "read failed".
    std::string memoryUnknown;
    std::string registerUnknown;

    // One line: what was written, or where and why it failed, and what the
    // part holds now.
    std::string Text(const AbstractOneWireMaster::Device& device) const;
  };

  class ORVANE_TEDS_API Listener {
   public:
    virtual ~Listener();
    virtual void WriteFinished(const Report& report) = 0;
  };

  // `application` (8 bytes) and `memory` (32 bytes, page checksum first) are
  // the contents to program; TEDSEncoder::EncodeDS2430A makes them.
  static std::shared_ptr<DS2430AWriter> Create(AbstractOneWireMaster& master,
                                               const AbstractOneWireMaster::Device& device,
                                               const std::vector<uint8_t>& application,
                                               const std::vector<uint8_t>& memory, bool lock,
                                               Listener& listener);
  ~DS2430AWriter() override;

  // Called after each copy (memory, or application register with its lock)
  // before anything else is sent, also when the copy's transaction failed.
  // Programming needs the bus idle for about 10 ms, and any reset or time
  // slot before then leaves the area undefined: a master whose next transfer
  // cannot follow that soon needs nothing here; others (a relay whose answer
  // is fetched at once, a serial adapter) must wait that long.
  void SetProgrammingPause(std::function<void()> pause);

  // Runs the sequence; the listener hears once, on the thread that finishes
  // the last transaction (or from within Start when the contents are refused
  // before anything is sent).
  void Start();

 protected:
  DS2430AWriter(AbstractOneWireMaster& master, const AbstractOneWireMaster::Device& device,
                const std::vector<uint8_t>& application, const std::vector<uint8_t>& memory,
                bool lock, Listener& listener);

 private:
  enum class Step {
    ReadStatus,
    WriteScratchpad,
    CopyScratchpad,
    VerifyMemory,
    WriteRegister,
    LockRegister,
    VerifyLock,
  };

  // Transaction::Listener
  void Finished() override;
  void Error(const std::string& message) override;
  // OneWireMemory::Listener
  void StatusRetrieved(uint8_t status) override;
  void OTPMemoryRetrieved(const std::vector<uint8_t>& data) override;
  void MemoryRetrieved(const std::vector<uint8_t>& data) override;
  void ScratchpadRetrieved(const std::vector<uint8_t>& data) override;

  // Makes a transaction for `next`, lets `add` fill it and submits it.
  template <typename Add>
  void Run(Step next, Add add);
  void RunWriteScratchpad();
  void RunVerifyMemory();
  void RunWriteRegister();
  void RunVerifyLock();

  // Adds the presence probe to the running transaction; PartAnswered tells
  // whether it came back.
  void AddPresenceProbe();
  bool PartAnswered() const;
  std::string ProbeFailure() const;
  void AfterReadStatus();
  void AfterWriteScratchpad();
  void AfterVerifyMemory();
  void AfterWriteRegister();
  void AfterVerifyLock();

  // Ends the sequence: the listener hears `report` and the writer lets go of
  // itself.
  void Fail(const std::string& message);
  void Succeed();
  void Finish();
  static std::string StepName(Step step);
  // The lock bits (status bits 0 and 1): any of them programmed keeps the
  // register from taking writes.
  bool RegisterLocked() const;
  // Locked as hosts require it: status FC.
  bool Committed() const;

  AbstractOneWireMaster& master;
  DS2430AMemory device;
  const std::vector<uint8_t> application;
  const std::vector<uint8_t> memory;
  const bool lock;
  Listener& listener;

  std::function<void()> programmingPause;
  std::shared_ptr<DS2430AWriter> self;
  std::shared_ptr<AbstractOneWireMaster::Transaction> transaction;
  Step step = Step::ReadStatus;
  int scratchpadAttempts = 0;
  // A copy whose transaction failed: the failure is reported once the part
  // has been read back.
  std::string copyFailure;

  // What the latest reads returned.
  uint8_t status = 0xFF;
  std::vector<uint8_t> readRegister;
  std::vector<uint8_t> readMemory;
  std::vector<uint8_t> readScratchpad;
  std::vector<uint8_t> readProbe;
  std::vector<uint8_t> oldMemory;
  Report report;
};

#include "onewire/DS2430AWriter.h"

#include <algorithm>
#include <utility>

#include "text/HexText.h"

namespace {

constexpr std::size_t kRegisterBytes = 8;
constexpr std::size_t kMemoryBytes = 32;
// The scratchpad is written in two halves so that each write (15 relay bytes
// plus its 17 data bytes) fits the inbound block of the smallest relay.
constexpr std::size_t kScratchpadChunk = 16;
// The presence probe: a byte written into the last scratchpad cell and read
// back. A read with nobody selected gives FF, and a line stuck low gives 00,
// so the byte is neither.
constexpr uint8_t kProbeAddress = 0x1F;
constexpr uint8_t kProbeByte = 0x3C;
const char kDeviceGone[] = "device gone";
const char kReadFailed[] = "read failed";

// "read back X, expected Y", with a hint when the line stayed high: a part
// that no longer answers reads all FF.
std::string Mismatch(const std::vector<uint8_t>& got, const std::vector<uint8_t>& expected) {
  std::string text =
      "read back " + orvtext::FormatHex(got) + ", expected " + orvtext::FormatHex(expected);
  const bool allHigh =
      !got.empty() && std::all_of(got.begin(), got.end(), [](uint8_t b) { return b == 0xFF; });
  if (allHigh) text += " (all FF: is the device still on the bus?)";
  return text;
}

std::string MemoryText(const DS2430AWriter::Report& report) {
  using M = DS2430AWriter::Report::Memory;
  switch (report.memory) {
    case M::Unchanged:
      return "memory unchanged";
    case M::Programmed:
      return "memory programmed with the new contents";
    case M::Other:
      return "memory holds neither its old nor the new contents";
    case M::Unknown:
      return "memory unknown (could not be read back: " + report.memoryUnknown + ")";
  }
  return "";
}

std::string RegisterText(const DS2430AWriter::Report& report) {
  using R = DS2430AWriter::Report::Register;
  const std::string status =
      report.statusKnown ? " (status " + orvtext::HexByte(report.status) + ")" : "";
  switch (report.applicationRegister) {
    case R::Untouched:
      return "application register untouched" + status;
    case R::NotLocked:
      return "application register not locked" + status;
    case R::Locked:
      return "application register locked with the new contents (status FC)";
    case R::AlreadyLocked:
      return "application register already locked with the new contents";
    case R::LockedOther:
      return "application register locked with other contents";
    case R::PartlyLocked:
      return "application register locked with the new contents, but not committed" + status +
             ": hosts read only parts with status FC";
    case R::Unknown:
      return "application register unknown (could not be read back: " + report.registerUnknown +
             ")";
  }
  return "";
}

}  // namespace

DS2430AWriter::Listener::~Listener() = default;

std::string DS2430AWriter::Report::Text(const AbstractOneWireMaster::Device& rom) const {
  std::string text = ok ? "Wrote " + rom.ToString() + ": "
                        : "Writing " + rom.ToString() + " failed at " + step + ": " + message +
                              ". Left on the device: ";
  return text + MemoryText(*this) + "; " + RegisterText(*this);
}

DS2430AWriter::DS2430AWriter(AbstractOneWireMaster& master,
                             const AbstractOneWireMaster::Device& rom,
                             const std::vector<uint8_t>& application,
                             const std::vector<uint8_t>& memory, bool lock, Listener& listener)
    : master(master),
      device(master, rom, *this),
      application(application),
      memory(memory),
      lock(lock),
      listener(listener) {}

DS2430AWriter::~DS2430AWriter() = default;

std::shared_ptr<DS2430AWriter> DS2430AWriter::Create(AbstractOneWireMaster& master,
                                                     const AbstractOneWireMaster::Device& rom,
                                                     const std::vector<uint8_t>& application,
                                                     const std::vector<uint8_t>& memory, bool lock,
                                                     Listener& listener) {
  struct make_shared_enabler : public DS2430AWriter {
    make_shared_enabler(AbstractOneWireMaster& master, const AbstractOneWireMaster::Device& rom,
                        const std::vector<uint8_t>& application, const std::vector<uint8_t>& memory,
                        bool lock, Listener& listener)
        : DS2430AWriter(master, rom, application, memory, lock, listener) {}
  };
  return std::make_shared<make_shared_enabler>(master, rom, application, memory, lock, listener);
}

void DS2430AWriter::Start() {
  self = shared_from_this();
  if (application.size() != kRegisterBytes || memory.size() != kMemoryBytes) {
    step = Step::ReadStatus;
    Fail("the contents must be 8 bytes of application register and 32 of memory, not " +
         std::to_string(application.size()) + " and " + std::to_string(memory.size()));
    return;
  }
  Run(Step::ReadStatus, [this] {
    device.RetrieveStatus(transaction);
    device.RetrieveOTPMemory(transaction, 0, kRegisterBytes);
    device.RetrieveMemory(transaction, 0, kMemoryBytes);
    AddPresenceProbe();
  });
}

template <typename Add>
void DS2430AWriter::Run(Step next, Add add) {
  step = next;
  readRegister.clear();
  readMemory.clear();
  readScratchpad.clear();
  readProbe.clear();
  if (!master.IsEnabled()) {
    // A disabled master would hold the transaction without ever running it.
    Error("the master is disabled");
    return;
  }
  transaction = master.CreateTransaction(*this);
  add();
  transaction->Submit();
}

std::string DS2430AWriter::StepName(Step step) {
  switch (step) {
    case Step::ReadStatus:
      return "read status";
    case Step::WriteScratchpad:
      return "write scratchpad";
    case Step::CopyScratchpad:
      return "copy scratchpad";
    case Step::VerifyMemory:
      return "verify memory";
    case Step::WriteRegister:
      return "write application register";
    case Step::LockRegister:
      return "lock application register";
    case Step::VerifyLock:
      return "verify lock";
  }
  return "";
}

bool DS2430AWriter::RegisterLocked() const { return (status & 0x03) != 0x03; }
bool DS2430AWriter::Committed() const { return status == ds2430a::STATUS_LOCKED; }

void DS2430AWriter::StatusRetrieved(uint8_t value) { status = value; }
void DS2430AWriter::OTPMemoryRetrieved(const std::vector<uint8_t>& data) { readRegister = data; }
void DS2430AWriter::MemoryRetrieved(const std::vector<uint8_t>& data) { readMemory = data; }
void DS2430AWriter::ScratchpadRetrieved(const std::vector<uint8_t>& data) {
  // The probe reads one byte, the verification of a written scratchpad all.
  (data.size() == 1 ? readProbe : readScratchpad) = data;
}

void DS2430AWriter::AddPresenceProbe() {
  device.WriteScratchpad(transaction, kProbeAddress, {kProbeByte});
  device.RetrieveScratchpad(transaction, kProbeAddress, 1);
}

bool DS2430AWriter::PartAnswered() const {
  return readProbe.size() == 1 && readProbe[0] == kProbeByte;
}

std::string DS2430AWriter::ProbeFailure() const {
  return "the device did not answer the presence probe after the read (read back " +
         (readProbe.empty() ? std::string("nothing") : orvtext::FormatHex(readProbe)) +
         ", expected " + orvtext::HexByte(kProbeByte) + "): it is no longer on the bus";
}

void DS2430AWriter::SetProgrammingPause(std::function<void()> pause) {
  programmingPause = std::move(pause);
}

void DS2430AWriter::Finished() {
  if ((step == Step::CopyScratchpad || step == Step::LockRegister) && programmingPause) {
    programmingPause();
  }
  switch (step) {
    case Step::ReadStatus:
      AfterReadStatus();
      break;
    case Step::WriteScratchpad:
      AfterWriteScratchpad();
      break;
    case Step::CopyScratchpad:
      RunVerifyMemory();
      break;
    case Step::VerifyMemory:
      AfterVerifyMemory();
      break;
    case Step::WriteRegister:
      AfterWriteRegister();
      break;
    case Step::LockRegister:
      RunVerifyLock();
      break;
    case Step::VerifyLock:
      AfterVerifyLock();
      break;
  }
}

void DS2430AWriter::Error(const std::string& message) {
  switch (step) {
    case Step::CopyScratchpad:
    case Step::LockRegister:
      // The copy may or may not have happened: read the part back before
      // saying what it holds.
      copyFailure = message;
      if (programmingPause) programmingPause();
      if (step == Step::CopyScratchpad)
        RunVerifyMemory();
      else
        RunVerifyLock();
      return;
    case Step::VerifyMemory:
      report.memory = Report::Memory::Unknown;
      report.memoryUnknown = kReadFailed;
      break;
    case Step::VerifyLock:
      report.applicationRegister = Report::Register::Unknown;
      report.registerUnknown = kReadFailed;
      report.statusKnown = false;
      break;
    default:
      break;
  }
  if (copyFailure.empty()) {
    Fail(message);
    return;
  }
  // The copy's own failure is the one to report.
  step = step == Step::VerifyMemory ? Step::CopyScratchpad : Step::LockRegister;
  Fail(copyFailure);
}

void DS2430AWriter::AfterReadStatus() {
  if (!PartAnswered()) {
    // All FF may be a blank part or nobody: nothing read here is known.
    Fail(ProbeFailure());
    return;
  }
  oldMemory = readMemory;
  report.status = status;
  report.statusKnown = true;
  if (!RegisterLocked()) {
    RunWriteScratchpad();
    return;
  }
  if (readRegister != application) {
    report.applicationRegister = Report::Register::LockedOther;
    Fail("the application register is locked with other contents (" +
         orvtext::FormatHex(readRegister) + "; the new contents begin " +
         orvtext::FormatHex(application) + ")");
    return;
  }
  if (!Committed()) {
    // The register takes no writes and a lock cannot be taken again: the
    // part can never become one that hosts read.
    report.applicationRegister = Report::Register::PartlyLocked;
    Fail("the status reads " + orvtext::HexByte(status) +
         ", not FC: the application register is locked but not committed, and hosts read only "
         "parts with status FC");
    return;
  }
  report.applicationRegister = Report::Register::AlreadyLocked;
  RunWriteScratchpad();
}

void DS2430AWriter::RunWriteScratchpad() {
  ++scratchpadAttempts;
  Run(Step::WriteScratchpad, [this] {
    for (std::size_t at = 0; at < kMemoryBytes; at += kScratchpadChunk) {
      device.WriteScratchpad(transaction, static_cast<uint8_t>(at),
                             {memory.begin() + static_cast<std::ptrdiff_t>(at),
                              memory.begin() + static_cast<std::ptrdiff_t>(at + kScratchpadChunk)});
    }
    device.RetrieveScratchpad(transaction, 0, kMemoryBytes);
  });
}

void DS2430AWriter::AfterWriteScratchpad() {
  if (readScratchpad == memory) {
    Run(Step::CopyScratchpad, [this] { device.CopyScratchpad(transaction); });
    return;
  }
  // Written again once: a disturbed byte on the line should not end the write.
  if (scratchpadAttempts < 2) {
    RunWriteScratchpad();
    return;
  }
  Fail("scratchpad " + Mismatch(readScratchpad, memory));
}

void DS2430AWriter::RunVerifyMemory() {
  Run(Step::VerifyMemory, [this] {
    device.RetrieveMemory(transaction, 0, kMemoryBytes);
    AddPresenceProbe();
  });
}

void DS2430AWriter::AfterVerifyMemory() {
  if (!PartAnswered()) {
    report.memory = Report::Memory::Unknown;
    report.memoryUnknown = kDeviceGone;
    if (!copyFailure.empty()) step = Step::CopyScratchpad;
    Fail(copyFailure.empty() ? ProbeFailure() : copyFailure);
    return;
  }
  if (readMemory == memory) {
    report.memory = Report::Memory::Programmed;
  } else {
    report.memory = readMemory == oldMemory ? Report::Memory::Unchanged : Report::Memory::Other;
  }
  if (!copyFailure.empty()) {
    step = Step::CopyScratchpad;
    Fail(copyFailure);
  } else if (report.memory == Report::Memory::Unchanged) {
    Fail("the memory still holds its old contents: the copy did not program");
  } else if (report.memory == Report::Memory::Other) {
    Fail("memory " + Mismatch(readMemory, memory));
  } else if (lock && report.applicationRegister != Report::Register::AlreadyLocked) {
    RunWriteRegister();
  } else {
    Succeed();
  }
}

void DS2430AWriter::RunWriteRegister() {
  // From here on the register's scratchpad may hold anything: the register
  // is no longer untouched, and it is not locked until the lock is verified.
  report.applicationRegister = Report::Register::NotLocked;
  Run(Step::WriteRegister, [this] {
    device.WriteApplicationRegister(transaction, 0, application);
    device.RetrieveOTPMemory(transaction, 0, kRegisterBytes);
  });
}

void DS2430AWriter::AfterWriteRegister() {
  if (readRegister != application) {
    Fail("application register " + Mismatch(readRegister, application) + "; nothing was locked");
    return;
  }
  // Locking is irreversible: it comes only after the contents were verified.
  Run(Step::LockRegister, [this] { device.CopyAndLockApplicationRegister(transaction); });
}

void DS2430AWriter::RunVerifyLock() {
  Run(Step::VerifyLock, [this] {
    device.RetrieveStatus(transaction);
    device.RetrieveOTPMemory(transaction, 0, kRegisterBytes);
    AddPresenceProbe();
  });
}

void DS2430AWriter::AfterVerifyLock() {
  if (!PartAnswered()) {
    report.applicationRegister = Report::Register::Unknown;
    report.registerUnknown = kDeviceGone;
    report.statusKnown = false;
    if (!copyFailure.empty()) step = Step::LockRegister;
    Fail(copyFailure.empty() ? ProbeFailure() : copyFailure);
    return;
  }
  report.status = status;
  if (!RegisterLocked()) {
    report.applicationRegister = Report::Register::NotLocked;
  } else if (readRegister != application) {
    report.applicationRegister = Report::Register::LockedOther;
  } else {
    report.applicationRegister =
        Committed() ? Report::Register::Locked : Report::Register::PartlyLocked;
  }
  if (!copyFailure.empty()) {
    step = Step::LockRegister;
    Fail(copyFailure);
  } else if (report.applicationRegister == Report::Register::NotLocked) {
    Fail("the status still reads " + orvtext::HexByte(status) + ": the lock did not program");
  } else if (report.applicationRegister == Report::Register::LockedOther) {
    Fail("application register " + Mismatch(readRegister, application));
  } else if (report.applicationRegister == Report::Register::PartlyLocked) {
    Fail("the status reads " + orvtext::HexByte(status) +
         " after the lock, not FC: hosts read only parts "
         "with status FC");
  } else {
    Succeed();
  }
}

void DS2430AWriter::Fail(const std::string& message) {
  report.ok = false;
  report.step = StepName(step);
  report.message = message;
  Finish();
}

void DS2430AWriter::Succeed() {
  report.ok = true;
  Finish();
}

void DS2430AWriter::Finish() {
  // The writer may go away once the listener has heard: the handle is held
  // until this call returns, and nothing of the writer is touched after.
  const std::shared_ptr<DS2430AWriter> keep = std::move(self);
  transaction.reset();
  listener.WriteFinished(report);
}

#include "serial/DS2480BAdapter.h"

#include <algorithm>

#include "text/HexText.h"

using ds2480b::ResetResult;

namespace {

// Reads are cut into slices so that a master shutting down is not held up
// by a silent adapter.
constexpr std::chrono::milliseconds kReadSlice{50};

std::string Hex(uint8_t byte) { return "0x" + orvtext::HexByte(byte); }

// One search pass: reset, Search ROM in data mode, the accelerated 16 bytes.
void AppendSearchPass(std::vector<uint8_t>& out, uint8_t command,
                      const ds2480b::SearchBlock& directions) {
  using namespace ds2480b;
  out.insert(out.end(), {RESET, DATA_MODE});
  AppendData(out, command);
  out.insert(out.end(), {COMMAND_MODE, ACCELERATOR_ON, DATA_MODE});
  for (uint8_t byte : directions) AppendData(out, byte);
  out.insert(out.end(), {COMMAND_MODE, ACCELERATOR_OFF});
}
constexpr std::size_t kSearchPassAnswers = 1 + 1 + 16;

}  // namespace

DS2480BAdapter::DS2480BAdapter(std::shared_ptr<SerialPort> port, std::string portName,
                               Timing timing, std::function<bool()> cancelled)
    : port(std::move(port)),
      ownsPort(!this->port),
      portName(std::move(portName)),
      timing(timing),
      clock(timing.clock ? timing.clock : Clock::Steady()),
      cancelled(std::move(cancelled)) {}

Status DS2480BAdapter::Fault(const std::string& text) {
  started = false;
  return Status::Fail("DS2480B on " + portName + ": " + text);
}

Status DS2480BAdapter::PortFault(const char* what, const Status& failure) {
  if (!port->Gone()) return Fault(std::string(what) + " failed: " + failure.Why());
  Close();
  return Fault("the adapter went away (" + failure.Why() + ")");
}

Status DS2480BAdapter::Mismatch(uint8_t answer, uint8_t command) {
  return Fault("answer " + Hex(answer) + " does not fit command " + Hex(command) +
               " (wrong device on the port, or line noise)");
}

void DS2480BAdapter::Pause(std::chrono::milliseconds pause) const {
  if (pause.count() > 0) clock->Sleep(pause);
}

Status DS2480BAdapter::Open() {
  if (port) return Status();
  std::unique_ptr<SerialPort> opened;
  const Status status = OpenSerialPort(portName, opened);
  if (!status) return Fault("cannot open the serial port: " + status.Why());
  port = std::move(opened);
  return Status();
}

void DS2480BAdapter::Close() {
  started = false;
  if (ownsPort) port.reset();
}

Status DS2480BAdapter::Transact(const std::vector<uint8_t>& out, std::size_t count,
                                     std::vector<uint8_t>& in) {
  // A late answer of an earlier packet must not pass for this one's.
  port->DiscardInput();
  if (Status written = port->Write(out.data(), out.size()); !written) {
    return PortFault("write", written);
  }
  const auto allowed = timing.answerTimeout + std::chrono::milliseconds(2 * out.size());
  const auto deadline = clock->Now() + allowed;
  in.assign(count, 0);
  std::size_t got = 0;
  while (got < count) {
    const auto now = clock->Now();
    if (now >= deadline || cancelled()) break;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    std::size_t n = 0;
    const Status read = port->Read(in.data() + got, count - got, std::min(left, kReadSlice), n);
    if (!read) return PortFault("read", read);
    got += n;
  }
  if (got == count) return Status();
  const std::string within = " within " + std::to_string(allowed.count()) + " ms";
  if (got == 0) {
    return Fault("no answer" + within + " (wrong port, or the adapter is unplugged)");
  }
  return Fault("answer cut short: " + std::to_string(got) + " of " + std::to_string(count) +
               " bytes" + within);
}

Status DS2480BAdapter::CheckReset(uint8_t answer, ResetResult& result) {
  if (!ds2480b::IsResetAnswer(answer)) return Mismatch(answer, ds2480b::RESET);
  result = ds2480b::ResetResultOf(answer);
  if (result == ResetResult::Shorted) return Fault("the 1-Wire bus is shorted");
  return Status();
}

Status DS2480BAdapter::CheckEcho(const std::vector<uint8_t>& in, std::size_t at,
                                      const std::vector<uint8_t>& sent) {
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (in[at + i] != sent[i]) return Mismatch(in[at + i], sent[i]);
  }
  return Status();
}

Status DS2480BAdapter::Start() {
  using namespace ds2480b;
  started = false;
  Status fault = Open();
  if (!fault) return fault;
  // The break resets the adapter; the first byte after it only sets its
  // timing and is not answered reliably, so whatever comes back is dropped.
  port->SendBreak();
  Pause(timing.settle);
  if (Status written = port->Write(&RESET, 1); !written) return PortFault("write", written);
  Pause(timing.settle);
  port->DiscardInput();

  std::vector<uint8_t> out{RESET};
  out.insert(out.end(), START_CONFIG.begin(), START_CONFIG.end());
  out.insert(out.end(), {BIT_ONE, RESET});
  std::vector<uint8_t> in;
  fault = Transact(out, out.size(), in);
  if (!fault) return fault;
  ResetResult result;
  if (!(fault = CheckReset(in[0], result))) return fault;
  for (std::size_t i = 0; i + 1 < START_CONFIG.size(); ++i) {
    if (in[1 + i] != ConfigWriteAnswer(START_CONFIG[i]))
      return Mismatch(in[1 + i], START_CONFIG[i]);
  }
  // The baud rate reads back as 9600 (value 0).
  if (in[4] != 0x00) return Mismatch(in[4], START_CONFIG[3]);
  if (in[5] != SingleBitAnswer(BIT_ONE, false) && in[5] != SingleBitAnswer(BIT_ONE, true)) {
    return Mismatch(in[5], BIT_ONE);
  }
  if (!(fault = CheckReset(in[6], result))) return fault;
  baud = 9600;
  if (requestedBaud != 9600 && !fellBack && !(fault = SwitchBaud())) return fault;
  started = true;
  return Status();
}

void DS2480BAdapter::SetBaud(unsigned requested, std::function<void(const std::string&)> noteTo) {
  requestedBaud = requested;
  fellBack = false;
  note = std::move(noteTo);
}

Status DS2480BAdapter::SwitchBaud() {
  using namespace ds2480b;
  const int value = BaudValue(requestedBaud);
  const uint8_t command = BaudWrite(value);
  if (Status written = port->Write(&command, 1); !written) return PortFault("write", written);
  Pause(timing.baudSwitch);
  if (Status set = port->SetBaud(requestedBaud); !set) {
    return FallBack("the port cannot be set to " + std::to_string(requestedBaud) +
                    " baud: " + set.Why());
  }
  Pause(timing.settle);
  // The answer to the change came at the new rate while the port was still
  // at the old one: it is discarded, and a read of the rate confirms it.
  std::vector<uint8_t> in;
  const Status fault = Transact({BAUD_READ}, 1, in);
  if (fault && in[0] == uint8_t(value << 1)) {
    baud = requestedBaud;
    return Status();
  }
  // A port that went away was let go of (when opened by name).
  if (!port || port->Gone()) return fault;
  return FallBack("the adapter does not answer at " + std::to_string(requestedBaud) + " baud");
}

Status DS2480BAdapter::FallBack(const std::string& why) {
  fellBack = true;
  if (note) note("DS2480B on " + portName + ": " + why + "; going on at 9600 baud");
  // A port that cannot go back to 9600 fails the start-up that follows.
  (void)port->SetBaud(9600);
  // The break takes the adapter back to 9600 too.
  return Start();
}

Status DS2480BAdapter::Search(uint8_t command, const ds2480b::SearchBlock& directions,
                                   Pass& pass) {
  Status fault = EnsureStarted();
  if (!fault) return fault;
  std::vector<uint8_t> out;
  AppendSearchPass(out, command, directions);
  std::vector<uint8_t> in;
  if (!(fault = Transact(out, kSearchPassAnswers, in))) return fault;
  ResetResult result;
  if (!(fault = CheckReset(in[0], result))) return fault;
  pass = Pass{};
  pass.presence = result != ResetResult::NoPresence;
  if (!pass.presence) return Status();
  if (!(fault = CheckEcho(in, 1, {command}))) return fault;
  ds2480b::SearchBlock block;
  std::copy(in.begin() + 2, in.end(), block.begin());
  pass.nobody = std::all_of(block.begin(), block.end(), [](uint8_t b) { return b == 0xFF; });
  pass.rom = ds2480b::SearchRom(block);
  pass.lastDiscrepancy = ds2480b::LastOpenDiscrepancy(block);
  return Status();
}

Status DS2480BAdapter::Exchange(const AbstractOneWireMaster::OperationData& operation,
                                     std::vector<uint8_t>& reply) {
  using namespace ds2480b;
  Status fault = EnsureStarted();
  if (!fault) return fault;
  const Rom& rom = operation.device;
  std::vector<uint8_t> sent{onewire::MATCH_ROM};
  sent.insert(sent.end(), rom.begin(), rom.end());
  sent.push_back(operation.command);
  sent.insert(sent.end(), operation.data.begin(), operation.data.end());

  std::vector<uint8_t> out{RESET, DATA_MODE};
  for (uint8_t byte : sent) AppendData(out, byte);
  out.insert(out.end(), operation.length, READ_SLOT);
  out.push_back(COMMAND_MODE);
  const std::size_t readAt = 1 + sent.size();
  const std::size_t end = readAt + operation.length;
  std::vector<uint8_t> in;
  fault = Transact(out, end, in);
  // A programming operation ends its packet: the part programs while the
  // bus stays idle, so nothing more is sent until its time has passed.
  if (operation.programs) Pause(timing.programming);
  if (!fault) return fault;

  const std::string device = "device " + AbstractOneWireMaster::Device(rom).ToString();
  ResetResult result;
  if (!(fault = CheckReset(in[0], result))) return fault;
  if (result == ResetResult::NoPresence) {
    return Fault("no presence pulse: no device on the bus to read " + device);
  }
  if (!(fault = CheckEcho(in, 1, sent))) return fault;
  reply.assign(in.begin() + long(readAt), in.begin() + long(end));
  return Status();
}

std::string DS2480BAdapter::Departed(const AbstractOneWireMaster::Device& device) const {
  // Not a fault of the adapter: it stays started.
  return "DS2480B on " + portName + ": device " + device.ToString() +
         " left the bus during the read";
}

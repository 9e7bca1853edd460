// Windows communication ports through the Win32 communications API.
#include <windows.h>

#include "serial/SerialPort.h"

namespace {

std::string SystemText(DWORD error) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length)
                                                      : "Windows error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  return message;
}

Status LastFailure() { return Status::Fail(SystemText(GetLastError())); }

class WinSerialPort : public SerialPort {
 public:
  explicit WinSerialPort(HANDLE handle) : handle(handle) {}
  ~WinSerialPort() override { CloseHandle(handle); }
  WinSerialPort(const WinSerialPort&) = delete;
  WinSerialPort& operator=(const WinSerialPort&) = delete;

  Status Write(const uint8_t* data, std::size_t count) override {
    while (count > 0) {
      DWORD written = 0;
      if (!WriteFile(handle, data, DWORD(count), &written, nullptr) || written == 0) {
        const DWORD code = GetLastError();
        gone = !StillThere();
        return Status::Fail(SystemText(code));
      }
      data += written;
      count -= written;
    }
    return Status();
  }

  Status Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
              std::size_t& got) override {
    got = 0;
    // Return at once with what has arrived, or wait up to `wait` for the
    // first byte.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = wait.count() > 0 ? DWORD(wait.count()) : 1;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(handle, &timeouts)) return LastFailure();
    DWORD read = 0;
    if (!ReadFile(handle, data, DWORD(capacity), &read, nullptr)) {
      const DWORD code = GetLastError();
      gone = !StillThere();
      return Status::Fail(SystemText(code));
    }
    // A port whose device was removed may answer every read at once with
    // nothing: ask the driver whether the port is still there rather than
    // reading again until the time-out.
    if (read == 0 && !StillThere()) {
      gone = true;
      return LastFailure();
    }
    got = read;
    return Status();
  }

  Status SetBaud(unsigned baud) override {
    // The bytes already written go out at the old rate first.
    FlushFileBuffers(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle, &dcb)) return LastFailure();
    dcb.BaudRate = DWORD(baud);
    return SetCommState(handle, &dcb) ? Status() : LastFailure();
  }

  void SendBreak() override {
    SetCommBreak(handle);
    Sleep(2);
    ClearCommBreak(handle);
  }
  void DiscardInput() override { PurgeComm(handle, PURGE_RXCLEAR); }

 private:
  // ClearCommError fails (ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED,
  // ERROR_ACCESS_DENIED, ...) once the device behind the handle has gone.
  bool StillThere() const {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(handle, &errors, &status) != 0;
  }

  HANDLE handle;
};

}  // namespace

SerialPort::~SerialPort() = default;

Status SerialPort::SetBaud(unsigned) { return Status::Fail("the port cannot change its rate"); }

Status OpenSerialPort(const std::string& name, std::unique_ptr<SerialPort>& port) {
  // "COM10" and above are reachable only through the device namespace.
  const std::string path = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastFailure();
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(handle, &dcb)) {
    const Status failure = LastFailure();
    CloseHandle(handle);
    return failure;
  }
  dcb.BaudRate = CBR_9600;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(handle, &dcb)) {
    const Status failure = LastFailure();
    CloseHandle(handle);
    return failure;
  }
  PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
  port = std::make_unique<WinSerialPort>(handle);
  return Status();
}

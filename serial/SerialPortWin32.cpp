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

class WinSerialPort : public SerialPort {
 public:
  explicit WinSerialPort(HANDLE handle) : handle(handle) {}
  ~WinSerialPort() override { CloseHandle(handle); }
  WinSerialPort(const WinSerialPort&) = delete;
  WinSerialPort& operator=(const WinSerialPort&) = delete;

  bool Write(const uint8_t* data, std::size_t count, std::string& error) override {
    while (count > 0) {
      DWORD written = 0;
      if (!WriteFile(handle, data, DWORD(count), &written, nullptr) || written == 0) {
        const DWORD code = GetLastError();
        gone = !StillThere();
        error = SystemText(code);
        return false;
      }
      data += written;
      count -= written;
    }
    return true;
  }

  long Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
            std::string& error) override {
    // Return at once with what has arrived, or wait up to `wait` for the
    // first byte.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = wait.count() > 0 ? DWORD(wait.count()) : 1;
    timeouts.WriteTotalTimeoutConstant = 5000;
    if (!SetCommTimeouts(handle, &timeouts)) {
      error = SystemText(GetLastError());
      return -1;
    }
    DWORD read = 0;
    if (!ReadFile(handle, data, DWORD(capacity), &read, nullptr)) {
      const DWORD code = GetLastError();
      gone = !StillThere();
      error = SystemText(code);
      return -1;
    }
    // A port whose device was removed may answer every read at once with
    // nothing: ask the driver whether the port is still there rather than
    // reading again until the time-out.
    if (read == 0 && !StillThere()) {
      gone = true;
      error = SystemText(GetLastError());
      return -1;
    }
    return long(read);
  }

  bool SetBaud(unsigned baud, std::string& error) override {
    // The bytes already written go out at the old rate first.
    FlushFileBuffers(handle);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(handle, &dcb)) {
      error = SystemText(GetLastError());
      return false;
    }
    dcb.BaudRate = DWORD(baud);
    if (!SetCommState(handle, &dcb)) {
      error = SystemText(GetLastError());
      return false;
    }
    return true;
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

bool SerialPort::SetBaud(unsigned, std::string& error) {
  error = "the port cannot change its rate";
  return false;
}

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& name, std::string& error) {
  // "COM10" and above are reachable only through the device namespace.
  const std::string path = name.rfind("\\\\.\\", 0) == 0 ? name : "\\\\.\\" + name;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = SystemText(GetLastError());
    return nullptr;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  if (!GetCommState(handle, &dcb)) {
    error = SystemText(GetLastError());
    CloseHandle(handle);
    return nullptr;
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
    error = SystemText(GetLastError());
    CloseHandle(handle);
    return nullptr;
  }
  PurgeComm(handle, PURGE_RXCLEAR | PURGE_TXCLEAR);
  return std::make_unique<WinSerialPort>(handle);
}

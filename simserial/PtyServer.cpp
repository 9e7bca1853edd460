#include "simserial/PtyServer.h"

#if defined(_WIN32)

namespace simserial {

PtyServer::PtyServer(std::unique_ptr<DS2480BEmulator> emulator) : emulator(std::move(emulator)) {}
PtyServer::~PtyServer() = default;

std::string PtyServer::Open(std::string& error) {
  error = "pseudo-terminals are not available on Windows; run the emulator on Linux";
  return std::string();
}

void PtyServer::Serve(const std::atomic<bool>&, std::ostream*) {}

}  // namespace simserial

#else

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "text/HexText.h"

namespace simserial {

PtyServer::PtyServer(std::unique_ptr<DS2480BEmulator> emulator) : emulator(std::move(emulator)) {}

PtyServer::~PtyServer() {
  if (fd >= 0) close(fd);
}

std::string PtyServer::Open(std::string& error) {
  fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
    error = std::strerror(errno);
    return std::string();
  }
  // Raw from the start: an echoing terminal would hand the adapter's answers
  // back to it as commands before the host has set its own mode.
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  const char* name = ptsname(fd);
  if (name == nullptr) {
    error = std::strerror(errno);
    return std::string();
  }
  return name;
}

namespace {

void Trace(std::ostream* trace, const char* label, const uint8_t* data, std::size_t count) {
  if (trace == nullptr) return;
  std::string line(label);
  if (count != 0) line += ' ' + orvtext::FormatHex(data, count);
  *trace << line << std::endl;
}

// The rate the host has set on its end of the terminal: a pseudo-terminal
// pair shares one set of settings, so the server's end reads it.
unsigned HostBaud(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return 0;
  switch (cfgetospeed(&tio)) {
    case B9600:
      return 9600;
    case B19200:
      return 19200;
    case B38400:
      return 38400;
    case B57600:
      return 57600;
    case B115200:
      return 115200;
    default:
      return 0;
  }
}

}  // namespace

void PtyServer::Serve(const std::atomic<bool>& stop, std::ostream* trace) {
  bool connected = false;
  std::vector<uint8_t> buffer(4096);
  // The end of the latest answer: the bus has been idle since.
  auto lastActivity = std::chrono::steady_clock::now();
  const auto quiet = [this, &lastActivity] {
    emulator->Quiet(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - lastActivity));
  };
  while (!stop) {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, 100);
    if (ready < 0 && errno != EINTR) return;
    if (ready <= 0) {
      quiet();
      continue;
    }
    if ((p.revents & POLLIN) == 0) {
      // No host has the terminal open: the adapter is without power, and
      // the next host powers it up afresh.
      quiet();
      if (connected) Trace(trace, "closed", nullptr, 0);
      if (connected) emulator->PowerOn();
      connected = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n <= 0) {
      quiet();
      if (connected) emulator->PowerOn();
      connected = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    connected = true;
    quiet();
    const unsigned hostBaud = HostBaud(fd);
    if (hostBaud != emulator->Baud()) {
      Trace(trace, ("at " + std::to_string(hostBaud) + " baud, not taken:").c_str(), buffer.data(),
            std::size_t(n));
    }
    const std::vector<uint8_t> answer = emulator->Receive(buffer.data(), std::size_t(n), hostBaud);
    const std::chrono::microseconds busTime = emulator->TakeBusTime();
    if (pacing) {
      const std::size_t serialBytes = std::size_t(n) + (answer.empty() ? 0 : 1);
      const long long rate = hostBaud != 0 ? hostBaud : 9600;
      const std::chrono::microseconds serialTime(10000000LL * static_cast<long long>(serialBytes) /
                                                 rate);
      std::this_thread::sleep_for(serialTime + busTime);
    }
    Trace(trace, "in ", buffer.data(), std::size_t(n));
    Trace(trace, "out", answer.data(), answer.size());
    std::size_t done = 0;
    while (done < answer.size()) {
      const ssize_t w = write(fd, answer.data() + done, answer.size() - done);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      done += std::size_t(w);
    }
    lastActivity = std::chrono::steady_clock::now();
  }
}

}  // namespace simserial

#endif

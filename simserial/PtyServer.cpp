#include "simserial/PtyServer.h"

#if defined(_WIN32)

namespace simserial {

PtyServer::PtyServer(std::unique_ptr<DS2480BEmulator> emulator) : emulator(std::move(emulator)) {}
PtyServer::~PtyServer() = default;

Status PtyServer::Open(std::string&) {
  return Status::Fail("pseudo-terminals are not available on Windows; run the emulator on Linux");
}

void PtyServer::Serve(const std::atomic<bool>&, std::ostream*) {}

}  // namespace simserial

#else

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
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

Status PtyServer::Open(std::string& path) {
  fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) return Status::Fail(std::strerror(errno));
  // Raw from the start: an echoing terminal would hand the adapter's answers
  // back to it as commands before the host has set its own mode.
  termios tio{};
  if (tcgetattr(fd, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  // Packet mode: each read starts with a byte that tells data from a flush
  // on the host's end, which is how a break shows here.
  int packet = 1;
  if (ioctl(fd, TIOCPKT, &packet) != 0) return Status::Fail(std::strerror(errno));
  const char* name = ptsname(fd);
  if (name == nullptr) return Status::Fail(std::strerror(errno));
  path = name;
  return Status();
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
  // One byte more for the packet mode's leading byte.
  std::vector<uint8_t> buffer(4097);
  // The host's rate for the bytes not read yet, until it sends a rate
  // switch: it changes its rate right after one, and before a break.
  unsigned lastBaud = emulator->Baud();
  // The end of the latest answer: the bus has been idle since.
  auto lastActivity = std::chrono::steady_clock::now();
  const auto quiet = [this, &lastActivity] {
    emulator->Quiet(std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - lastActivity));
  };
  const auto take = [this, trace](const uint8_t* data, std::size_t count, unsigned rate) {
    if (count == 0) return std::vector<uint8_t>();
    if (rate != emulator->Baud()) {
      Trace(trace, ("at " + std::to_string(rate) + " baud, not taken:").c_str(), data, count);
    }
    return emulator->Receive(data, count, rate);
  };
  const auto poweredOff = [this, &connected, &lastBaud] {
    if (connected) emulator->PowerOn();
    connected = false;
    lastBaud = emulator->Baud();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
      poweredOff();
      continue;
    }
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n <= 0) {
      quiet();
      poweredOff();
      continue;
    }
    quiet();
    if (buffer[0] != TIOCPKT_DATA) {
      // The host discarded its unsent output alone: its break, which takes
      // the adapter back to 9600 and to its timing byte. The host set its
      // rate before; it changes it again only after answers, so the rate now
      // is the one of the bytes to come. A discard of both directions at
      // once is a host clearing its port (other drivers do so before each
      // exchange), not a break.
      if ((buffer[0] & TIOCPKT_FLUSHWRITE) != 0 && (buffer[0] & TIOCPKT_FLUSHREAD) == 0) {
        emulator->Break();
        lastBaud = HostBaud(fd);
      }
      continue;
    }
    const uint8_t* data = buffer.data() + 1;
    const std::size_t count = std::size_t(n) - 1;
    connected = true;
    // Read after the bytes: the rate of the last of them, or a newer one.
    const unsigned hostBaud = HostBaud(fd);
    const std::size_t atOld = hostBaud == lastBaud ? count : emulator->RateWriteEnd(data, count);
    std::vector<uint8_t> answer = take(data, atOld, lastBaud);
    // Answered at the old rate: the host, at the new one by now, cannot
    // read that.
    if (hostBaud != lastBaud) answer.clear();
    const std::vector<uint8_t> rest = take(data + atOld, count - atOld, hostBaud);
    answer.insert(answer.end(), rest.begin(), rest.end());
    lastBaud = hostBaud;
    const std::chrono::microseconds busTime = emulator->TakeBusTime();
    if (pacing) {
      const std::size_t serialBytes = count + (answer.empty() ? 0 : 1);
      const long long rate = hostBaud != 0 ? hostBaud : 9600;
      const std::chrono::microseconds serialTime(10000000LL * static_cast<long long>(serialBytes) /
                                                 rate);
      std::this_thread::sleep_for(serialTime + busTime);
    }
    Trace(trace, "in ", data, count);
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

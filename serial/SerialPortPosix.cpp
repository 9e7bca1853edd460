// POSIX serial ports through termios.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "serial/SerialPort.h"

namespace {

std::string SystemText(int error) { return std::strerror(error); }

class PosixSerialPort : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd(fd) {}
  ~PosixSerialPort() override { close(fd); }
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  bool Write(const uint8_t* data, std::size_t count, std::string& error) override {
    while (count > 0) {
      const ssize_t n = write(fd, data, count);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) {
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 100);
        continue;
      }
      if (n <= 0) {
        const int code = n < 0 ? errno : EIO;
        gone = code == EIO || code == ENXIO || code == ENODEV || code == EPIPE;
        error = SystemText(code);
        return false;
      }
      data += n;
      count -= std::size_t(n);
    }
    return true;
  }

  long Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
            std::string& error) override {
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, int(wait.count()));
    if (ready < 0) return errno == EINTR ? 0 : Fail(error);
    if (ready == 0) return 0;
    // Hang-up or error without data: the port is gone.
    if ((p.revents & POLLIN) == 0) return Lost(error, "the port hung up");
    const ssize_t n = read(fd, data, capacity);
    if (n > 0) return long(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    // Readable yet nothing to read is the end of the file: a terminal that
    // hung up. Taking it for "no data yet" would spin until the time-out.
    if (n == 0) return Lost(error, "the port hung up");
    return Lost(error, SystemText(errno));
  }

  bool SetBaud(unsigned baud, std::string& error) override {
    const speed_t speed = baud == 19200    ? B19200
                          : baud == 57600  ? B57600
                          : baud == 115200 ? B115200
                                           : B9600;
    termios tio{};
    // TCSADRAIN: the bytes already written still go out at the old rate.
    if (tcgetattr(fd, &tio) == 0 && cfsetispeed(&tio, speed) == 0 &&
        cfsetospeed(&tio, speed) == 0 && tcsetattr(fd, TCSADRAIN, &tio) == 0) {
      return true;
    }
    error = SystemText(errno);
    return false;
  }

  // Output not sent yet is discarded first: the break resets the adapter,
  // which would forget it anyway. On a pseudo-terminal, where a break does
  // nothing, the discard is what the other end can see of it.
  void SendBreak() override {
    tcflush(fd, TCOFLUSH);
    tcsendbreak(fd, 0);
  }
  void DiscardInput() override { tcflush(fd, TCIFLUSH); }

 private:
  long Fail(std::string& error) const {
    error = SystemText(errno);
    return -1;
  }
  long Lost(std::string& error, const std::string& text) {
    gone = true;
    error = text;
    return -1;
  }

  int fd;
};

// 9600 baud, 8N1, raw, no flow control, no modem-control hang-ups.
bool ConfigureRaw(int fd, std::string& error) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) {
    error = SystemText(errno);
    return false;
  }
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) {
    error = SystemText(errno);
    return false;
  }
  return true;
}

}  // namespace

SerialPort::~SerialPort() = default;

bool SerialPort::SetBaud(unsigned, std::string& error) {
  error = "the port cannot change its rate";
  return false;
}

std::unique_ptr<SerialPort> OpenSerialPort(const std::string& name, std::string& error) {
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = SystemText(errno);
    return nullptr;
  }
  if (!isatty(fd)) {
    close(fd);
    error = "not a serial port";
    return nullptr;
  }
  if (!ConfigureRaw(fd, error)) {
    close(fd);
    return nullptr;
  }
  tcflush(fd, TCIOFLUSH);
  return std::make_unique<PosixSerialPort>(fd);
}

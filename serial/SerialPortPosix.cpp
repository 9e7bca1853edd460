// POSIX serial ports through termios.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>

#include "serial/SerialPort.h"

namespace {

Status SystemFailure(int error) { return Status::Fail(std::strerror(error)); }

class PosixSerialPort : public SerialPort {
 public:
  explicit PosixSerialPort(int fd) : fd(fd) {}
  ~PosixSerialPort() override { close(fd); }
  PosixSerialPort(const PosixSerialPort&) = delete;
  PosixSerialPort& operator=(const PosixSerialPort&) = delete;

  Status Write(const uint8_t* data, std::size_t count) override {
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
        return SystemFailure(code);
      }
      data += n;
      count -= std::size_t(n);
    }
    return Status();
  }

  Status Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
              std::size_t& got) override {
    got = 0;
    pollfd p{fd, POLLIN, 0};
    const int ready = poll(&p, 1, int(wait.count()));
    if (ready < 0) return errno == EINTR ? Status() : SystemFailure(errno);
    if (ready == 0) return Status();
    // Hang-up or error without data: the port is gone.
    if ((p.revents & POLLIN) == 0) return Lost(Status::Fail("the port hung up"));
    const ssize_t n = read(fd, data, capacity);
    if (n > 0) got = std::size_t(n);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR))) return Status();
    // Readable yet nothing to read is the end of the file: a terminal that
    // hung up. Taking it for "no data yet" would spin until the time-out.
    return Lost(n == 0 ? Status::Fail("the port hung up") : SystemFailure(errno));
  }

  Status SetBaud(unsigned baud) override {
    const speed_t speed = baud == 19200    ? B19200
                          : baud == 57600  ? B57600
                          : baud == 115200 ? B115200
                                           : B9600;
    termios tio{};
    // TCSADRAIN: the bytes already written still go out at the old rate.
    if (tcgetattr(fd, &tio) == 0 && cfsetispeed(&tio, speed) == 0 &&
        cfsetospeed(&tio, speed) == 0 && tcsetattr(fd, TCSADRAIN, &tio) == 0) {
      return Status();
    }
    return SystemFailure(errno);
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
  Status Lost(Status why) {
    gone = true;
    return why;
  }

  int fd;
};

// 9600 baud, 8N1, raw, no flow control, no modem-control hang-ups.
Status ConfigureRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return SystemFailure(errno);
  cfmakeraw(&tio);
  tio.c_cflag &= ~(CSTOPB | PARENB | CRTSCTS | CSIZE);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  cfsetispeed(&tio, B9600);
  cfsetospeed(&tio, B9600);
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return SystemFailure(errno);
  return Status();
}

}  // namespace

SerialPort::~SerialPort() = default;

Status SerialPort::SetBaud(unsigned) { return Status::Fail("the port cannot change its rate"); }

Status OpenSerialPort(const std::string& name, std::unique_ptr<SerialPort>& port) {
  const int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return SystemFailure(errno);
  Status status = isatty(fd) ? ConfigureRaw(fd) : Status::Fail("not a serial port");
  if (!status) {
    close(fd);
    return status;
  }
  tcflush(fd, TCIOFLUSH);
  port = std::make_unique<PosixSerialPort>(fd);
  return Status();
}

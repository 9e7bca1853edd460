#include "simserial/EmulatedPort.h"

#include <thread>

namespace simserial {

EmulatedPort::EmulatedPort(std::shared_ptr<DS2480BEmulator> emulator)
    : emulator(std::move(emulator)) {}

Status EmulatedPort::Write(const uint8_t* data, std::size_t count) {
  std::lock_guard<std::mutex> guard(mutex);
  Quiet();
  written += count;
  ++writes;
  const std::vector<uint8_t> answer = emulator->Receive(data, count, baud);
  pending.insert(pending.end(), answer.begin(), answer.end());
  lastWrite = std::chrono::steady_clock::now();
  wrote = true;
  return Status();
}

void EmulatedPort::Quiet() {
  if (!wrote) return;
  emulator->Quiet(std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - lastWrite));
}

Status EmulatedPort::Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
                          std::size_t& got) {
  got = 0;
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (!pending.empty()) {
      for (; got < capacity && !pending.empty(); ++got) {
        data[got] = pending.front();
        pending.pop_front();
      }
      return Status();
    }
  }
  std::this_thread::sleep_for(wait);
  std::lock_guard<std::mutex> guard(mutex);
  Quiet();
  return Status();
}

void EmulatedPort::SendBreak() {
  std::lock_guard<std::mutex> guard(mutex);
  emulator->Break();
}

Status EmulatedPort::SetBaud(unsigned rate) {
  std::lock_guard<std::mutex> guard(mutex);
  baud = rate;
  return Status();
}

void EmulatedPort::DiscardInput() {
  std::lock_guard<std::mutex> guard(mutex);
  pending.clear();
}

std::size_t EmulatedPort::BytesWritten() const {
  std::lock_guard<std::mutex> guard(mutex);
  return written;
}

std::size_t EmulatedPort::Writes() const {
  std::lock_guard<std::mutex> guard(mutex);
  return writes;
}

}  // namespace simserial

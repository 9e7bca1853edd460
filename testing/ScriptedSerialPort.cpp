#include "testing/ScriptedSerialPort.h"

#include <gtest/gtest.h>

#include <thread>

namespace orvtest {

ScriptedSerialPort::~ScriptedSerialPort() {
  for (const Step& step : steps) {
    ADD_FAILURE() << "expected " << (step.isBreak ? "break" : "write " + HexBytes(step.write))
                  << " never came";
  }
}

void ScriptedSerialPort::ExpectBreak() {
  std::lock_guard<std::mutex> guard(mutex);
  Step step;
  step.isBreak = true;
  steps.push_back(step);
}

void ScriptedSerialPort::Expect(std::vector<uint8_t> write, std::vector<uint8_t> answer) {
  std::lock_guard<std::mutex> guard(mutex);
  steps.push_back(Step{false, std::move(write), std::move(answer)});
}

Status ScriptedSerialPort::Write(const uint8_t* data, std::size_t count) {
  std::lock_guard<std::mutex> guard(mutex);
  const std::vector<uint8_t> written(data, data + count);
  if (steps.empty() || steps.front().isBreak) {
    ADD_FAILURE() << "unexpected write " << HexBytes(written);
    return Status();
  }
  if (steps.front().write != written) {
    ADD_FAILURE() << "expected write " << HexBytes(steps.front().write) << ", got "
                  << HexBytes(written);
  }
  pending.insert(pending.end(), steps.front().answer.begin(), steps.front().answer.end());
  steps.pop_front();
  return Status();
}

Status ScriptedSerialPort::Read(uint8_t* data, std::size_t capacity,
                                std::chrono::milliseconds wait, std::size_t& got) {
  got = 0;
  {
    std::lock_guard<std::mutex> guard(mutex);
    for (; got < capacity && !pending.empty(); ++got) {
      data[got] = pending.front();
      pending.pop_front();
    }
    if (got > 0) return Status();
  }
  std::this_thread::sleep_for(wait);
  return Status();
}

void ScriptedSerialPort::SendBreak() {
  std::lock_guard<std::mutex> guard(mutex);
  if (steps.empty() || !steps.front().isBreak) {
    ADD_FAILURE() << "unexpected break";
    return;
  }
  steps.pop_front();
}

void ScriptedSerialPort::DiscardInput() {
  std::lock_guard<std::mutex> guard(mutex);
  pending.clear();
}

std::size_t ScriptedSerialPort::Unused() const {
  std::lock_guard<std::mutex> guard(mutex);
  return steps.size();
}

}  // namespace orvtest

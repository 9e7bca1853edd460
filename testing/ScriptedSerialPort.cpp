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

bool ScriptedSerialPort::Write(const uint8_t* data, std::size_t count, std::string&) {
  std::lock_guard<std::mutex> guard(mutex);
  const std::vector<uint8_t> written(data, data + count);
  if (steps.empty() || steps.front().isBreak) {
    ADD_FAILURE() << "unexpected write " << HexBytes(written);
    return true;
  }
  if (steps.front().write != written) {
    ADD_FAILURE() << "expected write " << HexBytes(steps.front().write) << ", got "
                  << HexBytes(written);
  }
  pending.insert(pending.end(), steps.front().answer.begin(), steps.front().answer.end());
  steps.pop_front();
  return true;
}

long ScriptedSerialPort::Read(uint8_t* data, std::size_t capacity, std::chrono::milliseconds wait,
                              std::string&) {
  {
    std::lock_guard<std::mutex> guard(mutex);
    std::size_t n = 0;
    for (; n < capacity && !pending.empty(); ++n) {
      data[n] = pending.front();
      pending.pop_front();
    }
    if (n > 0) return long(n);
  }
  std::this_thread::sleep_for(wait);
  return 0;
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

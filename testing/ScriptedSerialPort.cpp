#include "testing/ScriptedSerialPort.h"

#include <thread>

#include "text/HexText.h"

namespace orvtest {

std::string HexBytes(const std::vector<uint8_t>& bytes) { return orvtext::FormatHex(bytes); }

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

void ScriptedSerialPort::Problem(const std::string& text) { problems.push_back(text); }

bool ScriptedSerialPort::Write(const uint8_t* data, std::size_t count, std::string&) {
  std::lock_guard<std::mutex> guard(mutex);
  const std::vector<uint8_t> written(data, data + count);
  if (steps.empty() || steps.front().isBreak) {
    Problem("unexpected write " + HexBytes(written));
    return true;
  }
  if (steps.front().write != written) {
    Problem("expected write " + HexBytes(steps.front().write) + ", got " + HexBytes(written));
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
    Problem("unexpected break");
    return;
  }
  steps.pop_front();
}

void ScriptedSerialPort::DiscardInput() {
  std::lock_guard<std::mutex> guard(mutex);
  pending.clear();
}

std::vector<std::string> ScriptedSerialPort::Problems() const {
  std::lock_guard<std::mutex> guard(mutex);
  return problems;
}

std::size_t ScriptedSerialPort::Unused() const {
  std::lock_guard<std::mutex> guard(mutex);
  return steps.size();
}

}  // namespace orvtest

#include "tools/teds/QueryHost.h"

#include "teds/TEDSTransducer.h"

void QueryHost::TransducerFound(const TEDSTransducer& transducer) {
  std::lock_guard<std::mutex> guard(mutex);
  out << transducer.Print();
  for (const std::string& error : transducer.PrintErrors()) out << error << '\n';
  out.flush();
}

void QueryHost::Error(const std::string& message) {
  std::lock_guard<std::mutex> guard(mutex);
  out << message;
  if (message.empty() || message.back() != '\n') out << '\n';
  out.flush();
  if (stalled && stalled()) {
    ended = true;
    endedCv.notify_all();
  }
}

void QueryHost::CycleEnded(std::size_t transducersReported) {
  std::lock_guard<std::mutex> guard(mutex);
  ended = true;
  reported = transducersReported;
  endedCv.notify_all();
}

bool QueryHost::Wait(std::chrono::duration<double> timeout, std::size_t& count) {
  std::unique_lock<std::mutex> guard(mutex);
  const bool done = endedCv.wait_for(guard, timeout, [this] { return ended; });
  count = reported;
  return done;
}

void QueryHost::Restart(const std::function<void()>& whileLocked) {
  std::lock_guard<std::mutex> guard(mutex);
  if (whileLocked) whileLocked();
  ended = false;
  reported = 0;
}

#include "onewire/ProcessExit.h"

#if defined(_WIN32)
#include <windows.h>
#endif

bool ProcessIsEnding() {
#if defined(_WIN32)
  // Looked up on every call: a lazily built static would take the runtime's
  // lock for statics, which an ended thread may hold.
  using Query = BOOLEAN(WINAPI*)();
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress");
  if (found == nullptr) return false;
  const Query query = reinterpret_cast<Query>(reinterpret_cast<void (*)()>(found));
  return query() != 0;
#else
  return false;
#endif
}

void AbandonThread(std::thread&& thread) {
  if (thread.joinable()) new std::thread(std::move(thread));
}

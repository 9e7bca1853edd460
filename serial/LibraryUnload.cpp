#include "serial/LibraryUnload.h"

#if defined(_WIN32)

#include <windows.h>

#include <atomic>

namespace {

std::atomic<bool> unloading{false};

}  // namespace

// The library's entry point: only notes the detach. At that point the
// loader lock is held, so a thread that is still running cannot end, and
// joining it would never return.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) unloading = true;
  return TRUE;
}

namespace serial {

bool LibraryUnloading() { return unloading.load(); }

}  // namespace serial

#else

namespace serial {

bool LibraryUnloading() { return false; }

}  // namespace serial

#endif

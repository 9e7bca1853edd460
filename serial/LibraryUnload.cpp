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

namespace {

// True once ExitProcess has ended every other thread and the loader runs the
// DLLs' detach code: also while the DLLs that depend on this one (a host's)
// run their static destructors, before this library's own detach. Looked up
// on every call: a lazily built static would take the runtime's lock for
// statics, which an ended thread may hold.
bool ProcessEnding() {
  using Query = BOOLEAN(WINAPI*)();
  const FARPROC found = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress");
  if (found == nullptr) return false;
  return reinterpret_cast<Query>(reinterpret_cast<void (*)()>(found))() != 0;
}

}  // namespace

namespace serial {

bool LibraryUnloading() { return unloading.load() || ProcessEnding(); }

}  // namespace serial

#else

namespace serial {

bool LibraryUnloading() { return false; }

}  // namespace serial

#endif

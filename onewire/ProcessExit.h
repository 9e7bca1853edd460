#pragma once

#include <thread>

// Whether the process is ending under the threads of the library: on Windows,
// once ExitProcess has ended every thread but the caller and the loader runs
// the DLLs' detach code (the static destructors of DLLs, under the loader
// lock). A thread of the library is then gone, perhaps in the middle of a call
// or holding a lock, so joining it or waiting for it to leave a call could
// wait forever. Elsewhere, and on Windows before that point, false: at exit()
// the threads still run and can be joined.
bool ProcessIsEnding();

// Lets go of `thread` without joining it, when the process is ending: the
// object is kept forever, so that its destructor never runs on a thread that
// was not joined.
void AbandonThread(std::thread&& thread);

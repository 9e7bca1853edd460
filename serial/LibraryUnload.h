#pragma once

namespace serial {

// True once the library is being unloaded (its DLL detached from the
// process on Windows), or once the process is ending there (ExitProcess has
// ended the other threads and the DLLs' detach code runs, a host's before
// this library's); never elsewhere. No thread may be waited for then.
bool LibraryUnloading();

}  // namespace serial

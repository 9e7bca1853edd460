#pragma once

namespace serial {

// True once the library is being unloaded (its DLL detached from the
// process on Windows; never elsewhere): no thread may be waited for then.
bool LibraryUnloading();

}  // namespace serial

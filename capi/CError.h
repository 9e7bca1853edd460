#pragma once

#include <functional>
#include <string>

#include "capi/orvane_teds.h"

namespace capi {

// Records `text` as the calling thread's last error and returns `status`.
orvane_teds_status Fail(orvane_teds_status status, const std::string& text);

// Runs `body` and returns its status; an exception escaping it becomes
// ORVANE_TEDS_NO_MEMORY or ORVANE_TEDS_INTERNAL_ERROR with its text, since
// no C++ exception may cross into a C host. `function` names the entry point
// in the error text.
orvane_teds_status Guard(const char* function, const std::function<orvane_teds_status()>& body);

// True while the calling thread is inside one of a query's callbacks, where
// starting, running, stopping or destroying a query would wait for itself.
bool InsideCallback();

// Marks the calling thread as inside a callback for its own lifetime.
class CallbackScope {
 public:
  CallbackScope();
  ~CallbackScope();
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
};

}  // namespace capi

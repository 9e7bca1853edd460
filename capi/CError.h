#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "capi/orvane_teds.h"
#include "devicelink/ZorelQueryMaster.h"

namespace capi {

// Records `text` as the calling thread's last error and returns `status`.
orvane_teds_status Fail(orvane_teds_status status, const std::string& text);

// Runs `body` and returns its status; an exception escaping it becomes
// ORVANE_TEDS_NO_MEMORY or ORVANE_TEDS_INTERNAL_ERROR with its text, since
// no C++ exception may cross into a C host. `function` names the entry point
// in the error text.
orvane_teds_status Guard(const char* function, const std::function<orvane_teds_status()>& body);

// ORVANE_TEDS_INVALID_ARGUMENT with the text "function: problem".
orvane_teds_status Refuse(const char* function, const std::string& problem);

// ORVANE_TEDS_BUSY for a call made inside a query callback, where it would
// wait for the thread that runs the callback.
orvane_teds_status RefuseInCallback(const char* function);

// Checks what a call through the device library names: the device (UTF-8,
// not empty) and the TEDS mode, and sets them, the address and the answer
// pause into `settings` (the channel is the caller's). ORVANE_TEDS_OK, or
// the refusal naming `function`.
orvane_teds_status CheckDevice(const char* function, const char* device, uint32_t address,
                               uint32_t teds_mode, uint32_t poll_pause_ms,
                               ZorelQuerySettings& settings);

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

#include "capi/CError.h"

#include <exception>
#include <new>

namespace capi {
namespace {

thread_local std::string lastError;
thread_local int callbackDepth = 0;

}  // namespace

orvane_teds_status Fail(orvane_teds_status status, const std::string& text) {
  try {
    lastError = text;
  } catch (...) {
    // Out of memory for the text itself: the status still tells.
  }
  return status;
}

orvane_teds_status Guard(const char* function,
                         const std::function<orvane_teds_status()>& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return Fail(ORVANE_TEDS_NO_MEMORY, std::string(function) + ": out of memory");
  } catch (const std::exception& e) {
    return Fail(ORVANE_TEDS_INTERNAL_ERROR, std::string(function) + ": " + e.what());
  } catch (...) {
    return Fail(ORVANE_TEDS_INTERNAL_ERROR, std::string(function) + ": unknown failure");
  }
}

bool InsideCallback() { return callbackDepth > 0; }

CallbackScope::CallbackScope() { ++callbackDepth; }
CallbackScope::~CallbackScope() { --callbackDepth; }

}  // namespace capi

extern "C" const char* orvane_teds_last_error(void) { return capi::lastError.c_str(); }

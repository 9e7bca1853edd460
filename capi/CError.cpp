#include "capi/CError.h"

#include <chrono>
#include <exception>
#include <new>

#include "teds/TEDSText.h"

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

orvane_teds_status Refuse(const char* function, const std::string& problem) {
  return Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(function) + ": " + problem);
}

orvane_teds_status RefuseInCallback(const char* function) {
  return Fail(ORVANE_TEDS_BUSY, std::string(function) +
                                    ": not allowed inside a query callback (it would wait "
                                    "for the thread that runs the callback)");
}

orvane_teds_status CheckDevice(const char* function, const char* device, uint32_t address,
                               uint32_t teds_mode, uint32_t poll_pause_ms,
                               ZorelQuerySettings& settings) {
  std::wstring name;
  if (!device) return Refuse(function, "device is null");
  if (!TEDSText::Utf8ToWide(device, name)) return Refuse(function, "device is not valid UTF-8");
  if (name.empty()) return Refuse(function, "device is empty");
  if (teds_mode > 255) {
    return Refuse(function,
                  "teds_mode " + std::to_string(teds_mode) + " is not a TEDS mode (0 to 255)");
  }
  settings.device = name;
  settings.address = address;
  settings.tedsMode = static_cast<uint8_t>(teds_mode);
  settings.pollPause = std::chrono::milliseconds(poll_pause_ms);
  return ORVANE_TEDS_OK;
}

bool InsideCallback() { return callbackDepth > 0; }

CallbackScope::CallbackScope() { ++callbackDepth; }
CallbackScope::~CallbackScope() { --callbackDepth; }

}  // namespace capi

extern "C" const char* orvane_teds_last_error(void) { return capi::lastError.c_str(); }

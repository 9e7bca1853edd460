#pragma once

// ORVANE_API marks what the device library `orvane` exports.
#if defined(_WIN32)
#  if defined(ORVANE_BUILDING)
#    define ORVANE_API __declspec(dllexport)
#  else
#    define ORVANE_API __declspec(dllimport)
#  endif
#else
#  define ORVANE_API __attribute__((visibility("default")))
#endif

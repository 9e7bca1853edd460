#pragma once

// ORVANE_TEDS_API marks the classes that orvane_teds exports. Everything else
// stays hidden: the library is built with hidden visibility on Linux and only
// marked classes are exported from the DLL on Windows.
#if defined(_WIN32)
#  if defined(ORVANE_TEDS_BUILDING)
#    define ORVANE_TEDS_API __declspec(dllexport)
#  else
#    define ORVANE_TEDS_API __declspec(dllimport)
#  endif
#else
#  define ORVANE_TEDS_API __attribute__((visibility("default")))
#endif

/*
 * The simulated data-acquisition device for C hosts, tests and demos: attach
 * a device described by a bench (a file, a text, or the built-in bench) to
 * the device-library stand-in, under the bench's name and address, so that
 * queries of the orvane_teds C interface reach it. Not part of the product
 * library. Valid C99; texts are UTF-8.
 */
#ifndef ORVANE_SIM_C_H
#define ORVANE_SIM_C_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(ORVANE_SIM_BUILDING)
#    define ORVANE_SIM_C_API __declspec(dllexport)
#  else
#    define ORVANE_SIM_C_API __declspec(dllimport)
#  endif
#else
#  define ORVANE_SIM_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum orvane_sim_status {
  ORVANE_SIM_OK = 0,
  ORVANE_SIM_INVALID_ARGUMENT = 1, /* a null pointer */
  ORVANE_SIM_BAD_BENCH = 2,        /* the bench cannot be read or is malformed */
  ORVANE_SIM_ATTACH_FAILED = 3,    /* another device answers under that name and address */
  ORVANE_SIM_INTERNAL_ERROR = 4
} orvane_sim_status;

typedef struct orvane_sim orvane_sim;

/* The last failure's text on the calling thread (for a bad bench it names the
 * field and the problem); "" when none. Never null. */
ORVANE_SIM_C_API const char* orvane_sim_last_error(void);

/* The built-in bench: device "SIM-DAQ" at address 1 with one DS2430A
 * accelerometer on channel 0. */
ORVANE_SIM_C_API orvane_sim_status orvane_sim_attach_default(orvane_sim** sim);
/* A bench file (JSON). */
ORVANE_SIM_C_API orvane_sim_status orvane_sim_attach_file(const char* path, orvane_sim** sim);
/* A bench text (JSON). */
ORVANE_SIM_C_API orvane_sim_status orvane_sim_attach_text(const char* bench, orvane_sim** sim);

/* The device's name (UTF-8, valid while the handle lives), its address and
 * its first channel with a relay (0 when it has none). */
ORVANE_SIM_C_API orvane_sim_status orvane_sim_describe(const orvane_sim* sim, const char** name,
                                                      uint32_t* address, uint32_t* channel);

/* Detaches the device and releases the handle; a query still talking to it
 * gets no further answers. Null is accepted. */
ORVANE_SIM_C_API orvane_sim_status orvane_sim_detach(orvane_sim* sim);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_SIM_C_H */

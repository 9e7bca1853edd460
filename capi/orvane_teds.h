/*
 * orvane_teds C interface: TEDS decoding and queries for hosts that are not
 * C++ built with the library's compiler (C, Python through ctypes, C#,
 * LabVIEW, MSVC-built C++). Valid C99; no C++ type crosses it.
 *
 * Conventions
 * - Every function returns an orvane_teds_status. A failed call (any status
 *   but ORVANE_TEDS_OK) leaves a readable text for the calling thread in
 *   orvane_teds_last_error(); a successful call leaves it as it was.
 * - Texts are UTF-8 and NUL-terminated, in both directions.
 * - Results are allocated by the library and released with their free
 *   function. Their first member is their size in bytes as the library built
 *   them: a host compiled against an older header reads only the members it
 *   knows; one compiled against a newer header checks `size` before it reads
 *   a member added later. Pointers inside a result stay valid until the
 *   result is freed.
 * - Handles are opaque and released with their destroy function.
 */
#ifndef ORVANE_TEDS_C_H
#define ORVANE_TEDS_C_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ORVANE_TEDS_BUILDING)
#    define ORVANE_TEDS_C_API __declspec(dllexport)
#  else
#    define ORVANE_TEDS_C_API __declspec(dllimport)
#  endif
#else
#  define ORVANE_TEDS_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum orvane_teds_status {
  ORVANE_TEDS_OK = 0,
  ORVANE_TEDS_INVALID_ARGUMENT = 1, /* a null pointer, a bad value, malformed UTF-8 */
  ORVANE_TEDS_BUSY = 2,             /* a query is already running on this handle, or the
                                       call came from inside a query callback (see below) */
  ORVANE_TEDS_TIMEOUT = 3,          /* the query did not end in time (a result is still given) */
  ORVANE_TEDS_NO_MEMORY = 4,
  ORVANE_TEDS_INTERNAL_ERROR = 5,
  ORVANE_TEDS_STOPPED = 6,          /* orvane_teds_query_stop on another thread ended the run
                                       (a result is still given, with stopped = 1) */
  ORVANE_TEDS_DESTROYED = 7         /* orvane_teds_query_destroy on another thread ended the
                                       run, or the handle is being destroyed; the handle is
                                       gone (a result is still given, with stopped = 2) */
} orvane_teds_status;

/* The last failure's text on the calling thread; "" when none. Valid until the
 * thread's next failing call. Never null. */
ORVANE_TEDS_C_API const char* orvane_teds_last_error(void);

/* The library's version, e.g. "0.1.0"; a static text. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_version(const char** version);

/* ---- Values ------------------------------------------------------------- */

/* Which template-25 group the image held. */
#define ORVANE_TEDS_GROUP_STANDARD 0 /* sens_ref and tf_hp_s hold the scaled values */
#define ORVANE_TEDS_GROUP_EXTENDED 1 /* the four raw values hold them; sens_ref and tf_hp_s are NaN */

/* Template 25: accelerometer/force transducer with constant current amplifier. */
typedef struct orvane_teds_template25 {
  size_t size;
  int group;             /* ORVANE_TEDS_GROUP_STANDARD or ORVANE_TEDS_GROUP_EXTENDED */
  int transfer_function; /* 1 when the transfer-function group was present */
  int force;             /* 0: acceleration (the only case decoded) */
  double sens_ref;       /* %Sens@Ref, V/(m/s^2); NaN for the extended group */
  double tf_hp_s;        /* %TF_HP_S, Hz; NaN for the extended group */
  uint32_t default_fr;   /* extended group, raw: %DefaultFR */
  uint32_t passive;      /*   %Passive */
  uint32_t sens_ref_01;  /*   %Sens@Ref case 01 */
  uint32_t sens_ref_10;  /*   %Sens@Ref case 10 */
  uint32_t tf_hp_s_01;   /*   %TF_HP_S case 01 */
  uint32_t tf_hp_s_10;   /*   %TF_HP_S case 10 */
  uint32_t direction;    /* %Direction: 0 X, 1 Y, 2 Z */
  const char* direction_text; /* "X", "Y" or "Z" */
  double weight;         /* %Weight, g */
  uint32_t sign;         /* %Sign: 0 positive, 1 negative */
  const char* sign_text; /* "POSITIVE" or "NEGATIVE" */
  uint32_t tf_sp;        /* transfer-function group, raw (0 without it): %TF_SP */
  uint32_t tf_kpr;       /*   %TF_KPr */
  uint32_t tf_kpq;       /*   %TF_KPq */
  uint32_t tf_sl;        /*   %TF_SL */
  uint32_t temp_coef;    /*   %TempCoef */
  double ref_freq;       /* %Reffreq, Hz */
  double ref_temp;       /* %RefTemp, degrees Celsius */
  int64_t cal_date;      /* %CalDate, seconds since 1970-01-01 UTC */
  const char* cal_date_text; /* "YYYY-MM-DD" */
  const char* cal_initials;  /* %CalInitials, three characters */
  uint32_t cal_period;   /* %CalPeriod, days */
  uint32_t meas_id;      /* %MeasID */
} orvane_teds_template25;

/* One transducer: identity, Basic TEDS, templates, errors and report. */
typedef struct orvane_teds_transducer {
  size_t size;
  uint8_t id[8];         /* ROM in bus order; all zero for a decoded image */
  const char* id_text;   /* "[14 3A 7F 1B 05 00 00 B6]" */
  size_t node_count;     /* the devices whose images were joined: */
  const uint8_t* nodes;  /*   node_count ROMs of 8 bytes each */
  size_t image_size;
  const uint8_t* image;  /* the TEDS image decoded */
  int has_basic_teds;    /* 0: manufacturer ID 0, 1, 3 to 16 or 16383, and the five
                            fields below are only the default record */
  uint16_t manufacturer_id;
  uint16_t model_number;
  char version_letter;
  uint8_t version_number;
  uint32_t serial_number;
  size_t template_count;
  const orvane_teds_template25* const* templates;
  size_t error_count;    /* template failures; the last one ended the template list */
  const char* const* errors;
  const char* report;    /* the text report (errors not included) */
} orvane_teds_transducer;

/* ---- Decoding without a bus --------------------------------------------- */

typedef struct orvane_teds_decode_result {
  size_t size;
  int parsed;            /* 1: decoded (template failures are in the transducer's errors) */
  const char* parse_error; /* why it could not be parsed; "" when parsed */
  size_t page_count;     /* one checksum verdict per memory page (DS2430A only) */
  const int* page_good;  /*   1 "Compile: GOOD CHECKSUM", 0 "Compile: BAD CHECKSUM" */
  const char* const* page_texts;
  const orvane_teds_transducer* transducer; /* null when not parsed */
} orvane_teds_decode_result;

/* Decodes a whole TEDS image. `image` may be null when `image_size` is 0. A
 * TEDS that cannot be parsed is a successful call with parsed = 0. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_decode_image(
    const uint8_t* image, size_t image_size, orvane_teds_decode_result** result);

/* Assembles the image from a DS2430A's application register (8 bytes) and
 * memory (pages of 32 bytes, byte 0 of each its checksum), gives each page's
 * verdict and decodes the image. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_decode_ds2430a(
    const uint8_t* application, size_t application_size, const uint8_t* memory,
    size_t memory_size, orvane_teds_decode_result** result);

/* Null is accepted and does nothing. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_decode_result_free(
    orvane_teds_decode_result* result);

/* ---- Queries through the device-link master or a serial adapter --------- */

typedef struct orvane_teds_query orvane_teds_query;

/* Called on the device library's callback thread (a text may also arrive on
 * the host's thread inside start, run or stop, never inside destroy). The
 * transducer and the text are valid for the duration of the call.
 *
 * Calls refused from callbacks: inside any of the three callbacks of any
 * handle, orvane_teds_query_start, orvane_teds_query_run,
 * orvane_teds_query_stop and orvane_teds_query_destroy return
 * ORVANE_TEDS_BUSY for every handle (they would wait for the very thread that
 * runs the callback). Everything else may be called from a callback:
 * orvane_teds_query_set_callbacks (also of its own handle), the decode
 * functions, the free functions, orvane_teds_version and
 * orvane_teds_last_error.
 *
 * Channels: two or more handles on the same channel of the same device (name
 * and address) share one relay and one bus, so their queries take turns: a
 * query whose channel is in use waits, within its own time-out, until the
 * handle holding it is done (its run has returned, or it was stopped or
 * destroyed), then runs with its own handshake. A handle keeps its channel
 * from the start of a query until its run returns, or, for a started query,
 * until orvane_teds_query_stop, orvane_teds_query_destroy or the end of its
 * next run. Handles on different channels run at the same time. A run that
 * timed out without ever getting its channel says so in its error text. */
typedef void (*orvane_teds_transducer_callback)(void* user,
                                                const orvane_teds_transducer* transducer);
typedef void (*orvane_teds_text_callback)(void* user, const char* text);
/* The query ended: after its reports, without a transducer, or because the
 * device refused the handshake. */
typedef void (*orvane_teds_ended_callback)(void* user, size_t transducers_reported);

/* Creates a query of the relay on `channel` (0 to 7) of the device `device`
 * (UTF-8) at `address`, putting the channel into `teds_mode` (0 to 255) and
 * waiting `poll_pause_ms` before each read of the relay's answer (1000 on the
 * real device). Nothing is sent until a query starts. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_create(
    const char* device, uint32_t address, uint32_t channel, uint32_t teds_mode,
    uint32_t poll_pause_ms, orvane_teds_query** query);

/* Creates a query through a DS2480B serial 1-Wire adapter on `port`
 * ("/dev/ttyUSB0", "COM3"). The port is opened when a query starts; a port
 * that cannot be opened, an adapter that does not answer and every other
 * fault end the query with a text that says so (no transducer). Callbacks
 * come on the master's own thread. All other functions work as for a query
 * through the device library. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_create_serial(const char* port,
                                                                    orvane_teds_query** query);

/* As orvane_teds_query_create_serial, and the adapter is switched to `baud`
 * (9600, 19200, 57600 or 115200; any other rate is refused) after each
 * start-up at 9600. An adapter that does not answer at that rate is taken
 * back to 9600 and the query goes on there. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_create_serial_baud(
    const char* port, uint32_t baud, orvane_teds_query** query);

/* Sets the callbacks (each may be null) and the pointer handed to them. Once
 * this returns, no earlier callback is running or will run. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_set_callbacks(
    orvane_teds_query* query, orvane_teds_transducer_callback on_transducer,
    orvane_teds_text_callback on_text, orvane_teds_ended_callback on_ended, void* user);

/* Starts one query and returns at once; the results arrive through the
 * callbacks. ORVANE_TEDS_BUSY while a query of this handle is running. A
 * started query keeps its channel (see above) until it is stopped. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_start(orvane_teds_query* query);

/* Stops a running query, if any, and lets the device return to its normal
 * mode; the next query starts with the handshake. A stopped query gets no
 * ended callback. A run blocked on another thread returns
 * ORVANE_TEDS_STOPPED, with what the query produced until then. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_stop(orvane_teds_query* query);

typedef struct orvane_teds_query_result {
  size_t size;
  int timed_out;         /* 1: the query did not end within the time-out */
  size_t text_count;     /* every text the query produced, in order */
  const char* const* texts;
  size_t transducer_count; /* every transducer it reported, in order */
  const orvane_teds_transducer* const* transducers;
  int stopped;           /* 0: the query ended by itself or timed out; 1: orvane_teds_query_stop
                            ended it; 2: orvane_teds_query_destroy ended it */
} orvane_teds_query_result;

/* Runs one query and waits up to `timeout_ms` for it to end, then lets the
 * device return to its normal mode. The callbacks are called as well. On
 * ORVANE_TEDS_OK, ORVANE_TEDS_TIMEOUT, ORVANE_TEDS_STOPPED and
 * ORVANE_TEDS_DESTROYED `*result` holds what the query produced, including
 * the texts of that clean-up; free it with orvane_teds_query_result_free.
 * After ORVANE_TEDS_DESTROYED the handle must not be used again. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_run(
    orvane_teds_query* query, uint32_t timeout_ms, orvane_teds_query_result** result);

ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_result_free(
    orvane_teds_query_result* result);

/* Stops the query and releases the handle. No callback runs inside this
 * call or once it returns (a callback under way on the callback thread is
 * waited for). A run blocked on the handle in another thread is woken and
 * returns ORVANE_TEDS_DESTROYED; this call waits until it has returned, so
 * the handle may be destroyed from any thread, also during a query. Results
 * taken from the handle stay valid. Null is accepted. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_query_destroy(orvane_teds_query* query);

/* ---- Scanning every channel of a device at once -------------------------- */

typedef struct orvane_teds_scan_result {
  size_t size;
  size_t channel_count;    /* one result per channel scanned, in ascending channel order: */
  const uint32_t* channels; /*   the channel of each result */
  const orvane_teds_query_result* const* results; /* what its query produced; timed_out is 1
                                                      for a query that did not end in time */
} orvane_teds_scan_result;

/* Queries the channels of `channel_mask` (bit N for channel N, 0 to 7; at
 * least one) of the device `device` (UTF-8) at `address`, all at the same
 * time, each as a query of its own (`teds_mode` and `poll_pause_ms` as for
 * orvane_teds_query_create), and waits up to `timeout_ms` in all. Eight
 * channels take about as long as one. A channel without a sensor, or whose
 * handshake the device refused, has a result too (its texts say why, no
 * transducer). ORVANE_TEDS_TIMEOUT when a channel's query did not end in
 * time; on it and on ORVANE_TEDS_OK `*result` holds every channel's result:
 * free it with orvane_teds_scan_result_free. Refused inside a query
 * callback (ORVANE_TEDS_BUSY), like orvane_teds_query_run. A channel that a
 * query handle holds is waited for, within the time-out. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_scan(const char* device, uint32_t address,
                                                     uint32_t channel_mask, uint32_t teds_mode,
                                                     uint32_t poll_pause_ms, uint32_t timeout_ms,
                                                     orvane_teds_scan_result** result);

/* Null is accepted and does nothing. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_scan_result_free(orvane_teds_scan_result* result);

/* ---- Writing one DS2430A through a serial adapter ------------------------ */

/* Programs the DS2430A `rom` (8 bytes) behind a DS2480B serial 1-Wire adapter
 * on `port` with `application` (8 bytes) and `memory` (32 bytes, page
 * checksum first), in the order `teds write --serial` uses: read the part,
 * write and verify the scratchpad, copy it (the bus left idle for the
 * programming time), read the memory back and, when `lock` is not 0, write,
 * verify, copy and lock the application register. Waits up to `timeout_ms`
 * for the end. `report` receives the outcome as one line ended by a NUL (cut
 * to report_size - 1 bytes; null with report_size 0): what was written, or
 * which step failed, why, and what the part holds now as far as a read-back
 * proved it. `*written` is 1 when the part was written (and locked, if asked)
 * and verified, else 0. ORVANE_TEDS_TIMEOUT when the write did not end in
 * time; a failed write is ORVANE_TEDS_OK with `*written` 0. */
ORVANE_TEDS_C_API orvane_teds_status orvane_teds_write_serial(
    const char* port, const uint8_t* rom, const uint8_t* application, const uint8_t* memory,
    int lock, uint32_t timeout_ms, int* written, char* report, size_t report_size);

#ifdef __cplusplus
}
#endif

#endif /* ORVANE_TEDS_C_H */

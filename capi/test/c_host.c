/*
 * A host written in C: decodes images and runs queries against the simulated
 * device through the library's C interface, the way a C, Python or C# host
 * does. Returns 0 when every check holds.
 */
#if !defined(_WIN32)
#  define _POSIX_C_SOURCE 200809L /* nanosleep under strict C11 */
#endif
#include <math.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

/* A second host thread: runs job->body(job->arg) until Join. */
typedef struct {
  void (*body)(void*);
  void* arg;
#if defined(_WIN32)
  void* thread;
#else
  unsigned long thread;
#endif
} Job;

#if defined(_WIN32)
#  include <windows.h>
static void Pause(void) { Sleep(1); }
static DWORD WINAPI Trampoline(LPVOID p) {
  Job* job = (Job*)p;
  job->body(job->arg);
  return 0;
}
static void Spawn(Job* job) { job->thread = CreateThread(NULL, 0, Trampoline, job, 0, NULL); }
static void Join(Job* job) {
  WaitForSingleObject((HANDLE)job->thread, INFINITE);
  CloseHandle((HANDLE)job->thread);
}
#else
#  include <pthread.h>
#  include <time.h>
static void Pause(void) {
  struct timespec t = {0, 1000000};
  nanosleep(&t, NULL);
}
static void* Trampoline(void* p) {
  Job* job = (Job*)p;
  job->body(job->arg);
  return NULL;
}
static void Spawn(Job* job) {
  pthread_t thread;
  pthread_create(&thread, NULL, Trampoline, job);
  job->thread = (unsigned long)thread;
}
static void Join(Job* job) { pthread_join((pthread_t)job->thread, NULL); }
#endif

#include "orvane_sim.h"
#include "orvane_teds.h"

static int failures = 0;

#define CHECK(cond)                                                       \
  do {                                                                    \
    if (!(cond)) {                                                        \
      ++failures;                                                         \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
    }                                                                     \
  } while (0)
#define CHECK_STR(a, b) CHECK((a) != NULL && strcmp((a), (b)) == 0)

/* ---- Images ------------------------------------------------------------- */

/* Packs fields least significant bit first, as a TEDS stores them. */
typedef struct {
  uint8_t bytes[64];
  size_t bits;
} Bits;

static void Put(Bits* w, uint32_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i, ++w->bits) {
    if ((value >> i) & 1u) w->bytes[w->bits / 8] |= (uint8_t)(1u << (w->bits % 8));
  }
}

static size_t Bytes(const Bits* w) { return (w->bits + 7) / 8; }

/* A template 25 after selector 0 and template ID 25, with the chosen groups. */
static void PutTemplate25(Bits* w, int extended, int transfer) {
  Put(w, 0, 2);
  Put(w, 25, 8);
  Put(w, 0, 1);
  Put(w, (uint32_t)extended, 1);
  if (extended) {
    Put(w, 1, 2);
    Put(w, 1, 1);
    Put(w, 1001, 16);
    Put(w, 1010, 16);
    Put(w, 101, 8);
    Put(w, 110, 8);
  } else {
    Put(w, 33017, 16);
    Put(w, 79, 8);
  }
  Put(w, 2, 2);
  Put(w, 25, 6);
  Put(w, 0, 1);
  Put(w, (uint32_t)transfer, 1);
  if (transfer) {
    Put(w, 127, 7);
    Put(w, 511, 9);
    Put(w, 300, 9);
    Put(w, 5, 7);
    Put(w, 63, 6);
  }
  Put(w, 164, 8);
  Put(w, 16, 5);
  Put(w, 8035, 16);
  Put(w, 1 | 2 << 5 | 3 << 10, 15);
  Put(w, 365, 12);
  Put(w, 5, 11);
}

static const uint8_t kWorked[] = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01,
                                  0x64, 0x90, 0x0F, 0xF8, 0x64, 0x06, 0x29, 0x1C,
                                  0xFB, 0x08, 0x62, 0xB4, 0x45, 0x01, 0x00};
static const uint8_t kApplication[] = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01};

static void MemoryOfWorked(uint8_t memory[32], int goodChecksum) {
  unsigned sum = 0;
  memset(memory, 0, 32);
  memcpy(memory + 1, kWorked + 8, sizeof kWorked - 8);
  for (size_t i = 0; i < sizeof kApplication; ++i) sum += kApplication[i];
  for (size_t i = 1; i < 32; ++i) sum += memory[i];
  memory[0] = (uint8_t)(0x100 - (sum & 0xFF) + (goodChecksum ? 0 : 1));
}

/* ---- Decoding ----------------------------------------------------------- */

static void CheckWorkedTransducer(const orvane_teds_transducer* t) {
  CHECK(t->size >= sizeof *t);
  CHECK(t->has_basic_teds == 1);
  CHECK(t->manufacturer_id == 100 && t->model_number == 1234);
  CHECK(t->version_letter == 'B' && t->version_number == 3);
  CHECK(t->serial_number == 123456);
  CHECK(t->template_count == 1 && t->error_count == 1);
  const orvane_teds_template25* d = t->templates[0];
  CHECK(d->size >= sizeof *d);
  CHECK(d->group == ORVANE_TEDS_GROUP_STANDARD && d->transfer_function == 0 && d->force == 0);
  CHECK(fabs(d->sens_ref - 0.0100013) < 1e-6 && fabs(d->tf_hp_s - 0.499038) < 1e-5);
  CHECK(d->direction == 2);
  CHECK_STR(d->direction_text, "Z");
  CHECK(d->sign == 0);
  CHECK_STR(d->sign_text, "POSITIVE");
  CHECK(fabs(d->weight - 9.53962) < 1e-4 && fabs(d->ref_freq - 98.6928) < 1e-4);
  CHECK(d->ref_temp == 23.0);
  CHECK(d->cal_date == 1577836800);
  CHECK_STR(d->cal_date_text, "2020-01-01");
  CHECK_STR(d->cal_initials, "ABC");
  CHECK(d->cal_period == 365 && d->meas_id == 5);
  CHECK(strstr(t->report, "Basic TEDS:\n  Manufacturer ID: 100\n") != NULL);
  CHECK(strstr(t->report, "    %CalDate:       2020-01-01\n") != NULL);
}

static void TestDecodeImage(void) {
  orvane_teds_decode_result* r = NULL;
  CHECK(orvane_teds_decode_image(kWorked, sizeof kWorked, &r) == ORVANE_TEDS_OK);
  CHECK(r->size >= sizeof *r && r->parsed == 1 && r->page_count == 0);
  CHECK_STR(r->parse_error, "");
  CHECK_STR(r->transducer->id_text, "[00 00 00 00 00 00 00 00]");
  CHECK(r->transducer->image_size == sizeof kWorked && r->transducer->node_count == 0);
  CheckWorkedTransducer(r->transducer);
  CHECK(orvane_teds_decode_result_free(r) == ORVANE_TEDS_OK);
}

static void TestDecodeDS2430A(void) {
  for (int good = 0; good <= 1; ++good) {
    uint8_t memory[32];
    MemoryOfWorked(memory, good);
    orvane_teds_decode_result* r = NULL;
    CHECK(orvane_teds_decode_ds2430a(kApplication, sizeof kApplication, memory, sizeof memory,
                                     &r) == ORVANE_TEDS_OK);
    CHECK(r->page_count == 1 && r->page_good[0] == good);
    CHECK_STR(r->page_texts[0], good ? "Compile: GOOD CHECKSUM" : "Compile: BAD CHECKSUM");
    CHECK(r->parsed == 1);
    CheckWorkedTransducer(r->transducer);
    orvane_teds_decode_result_free(r);
  }
}

/* The extended group gives raw values and NaN sensitivities; the transfer-
 * function group's raw values are kept; an image without a Basic TEDS says
 * so; a truncated extended group fails with the case label in UTF-8. */
static void TestDecodeGroupsAndFailures(void) {
  Bits w = {{0}, 0};
  Put(&w, 0, 14); /* manufacturer ID 0: no Basic TEDS */
  PutTemplate25(&w, 1, 1);
  orvane_teds_decode_result* r = NULL;
  CHECK(orvane_teds_decode_image(w.bytes, Bytes(&w), &r) == ORVANE_TEDS_OK);
  CHECK(r->parsed == 1);
  const orvane_teds_transducer* t = r->transducer;
  CHECK(t->has_basic_teds == 0 && t->manufacturer_id == 0 && t->template_count == 1);
  const orvane_teds_template25* d = t->templates[0];
  CHECK(d->group == ORVANE_TEDS_GROUP_EXTENDED && isnan(d->sens_ref) && isnan(d->tf_hp_s));
  CHECK(d->default_fr == 1 && d->passive == 1 && d->sens_ref_01 == 1001 &&
        d->sens_ref_10 == 1010 && d->tf_hp_s_01 == 101 && d->tf_hp_s_10 == 110);
  CHECK(d->transfer_function == 1 && d->tf_sp == 127 && d->tf_kpr == 511 && d->tf_kpq == 300 &&
        d->tf_sl == 5 && d->temp_coef == 63);
  orvane_teds_decode_result_free(r);

  /* Cut inside %Sens@Ref case 01: 14 + 10 + 2 + 3 bits, then 8 of its 16. */
  CHECK(orvane_teds_decode_image(w.bytes, 5, &r) == ORVANE_TEDS_OK);
  CHECK(r->parsed == 1 && r->transducer->template_count == 0 && r->transducer->error_count == 1);
  CHECK(strstr(r->transducer->errors[0], "%Sens@Ref[\xE2\x80\x9C" "01\xE2\x80\x9D]") != NULL);
  orvane_teds_decode_result_free(r);

  static const uint8_t kShort[] = {0x64, 0x80};
  CHECK(orvane_teds_decode_image(kShort, sizeof kShort, &r) == ORVANE_TEDS_OK);
  CHECK(r->parsed == 0 && r->transducer == NULL);
  CHECK_STR(r->parse_error, "Failed to parse TEDS template: Failed to parse Basic TEDS");
  orvane_teds_decode_result_free(r);

  CHECK(orvane_teds_decode_image(NULL, 0, &r) == ORVANE_TEDS_OK);
  CHECK(r->parsed == 0);
  orvane_teds_decode_result_free(r);
}

/* Misuse: each call fails with its status and a text naming the problem. */
static void TestMisuse(void) {
  orvane_teds_decode_result* r = NULL;
  orvane_teds_query* q = NULL;
  const char* version = NULL;
  CHECK(orvane_teds_version(&version) == ORVANE_TEDS_OK && version[0] != '\0');
  CHECK(orvane_teds_version(NULL) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(orvane_teds_decode_image(kWorked, sizeof kWorked, NULL) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(orvane_teds_decode_image(NULL, 3, &r) == ORVANE_TEDS_INVALID_ARGUMENT && r == NULL);
  CHECK(strstr(orvane_teds_last_error(), "image is null") != NULL);
  CHECK(orvane_teds_decode_ds2430a(kApplication, 8, NULL, 32, &r) ==
        ORVANE_TEDS_INVALID_ARGUMENT);

  CHECK(orvane_teds_decode_image(kWorked, sizeof kWorked, &r) == ORVANE_TEDS_OK);
  CHECK(orvane_teds_query_result_free((orvane_teds_query_result*)r) ==
        ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(orvane_teds_decode_result_free(r) == ORVANE_TEDS_OK);
  CHECK(orvane_teds_decode_result_free(r) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(strstr(orvane_teds_last_error(), "freed already") != NULL);
  CHECK(orvane_teds_decode_result_free(NULL) == ORVANE_TEDS_OK);

  static const struct {
    const char* device;
    uint32_t channel, mode;
    const char* text;
  } kBad[] = {
      {NULL, 0, 1, "device is null"},
      {"", 0, 1, "device is empty"},
      {"SIM-\xC3", 0, 1, "not valid UTF-8"},
      {"SIM-DAQ", 8, 1, "channel"},
      {"SIM-DAQ", 0, 256, "not a TEDS mode"},
  };
  for (size_t i = 0; i < sizeof kBad / sizeof kBad[0]; ++i) {
    CHECK(orvane_teds_query_create(kBad[i].device, 1, kBad[i].channel, kBad[i].mode, 0, &q) ==
          ORVANE_TEDS_INVALID_ARGUMENT);
    CHECK(q == NULL && strstr(orvane_teds_last_error(), kBad[i].text) != NULL);
  }
  CHECK(orvane_teds_query_create_serial("", &q) == ORVANE_TEDS_INVALID_ARGUMENT && q == NULL);
  CHECK(strstr(orvane_teds_last_error(), "port is empty") != NULL);
  CHECK(orvane_teds_query_start(NULL) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(orvane_teds_query_destroy(NULL) == ORVANE_TEDS_OK);
}

/* ---- Queries ------------------------------------------------------------ */

typedef struct {
  orvane_teds_query* query;
  atomic_int transducers;
  atomic_int texts;
  atomic_int ended;
  atomic_int busyInside; /* start, run, stop, destroy refused inside a callback */
  uint32_t serial;
} Host;

static void OnTransducer(void* user, const orvane_teds_transducer* t) {
  Host* host = (Host*)user;
  host->serial = t->serial_number;
  atomic_fetch_add(&host->transducers, 1);
  orvane_teds_query_result* r = NULL;
  if (orvane_teds_query_start(host->query) == ORVANE_TEDS_BUSY &&
      orvane_teds_query_run(host->query, 10, &r) == ORVANE_TEDS_BUSY && r == NULL &&
      orvane_teds_query_stop(host->query) == ORVANE_TEDS_BUSY &&
      orvane_teds_query_destroy(host->query) == ORVANE_TEDS_BUSY) {
    atomic_fetch_add(&host->busyInside, 1);
  }
}
static void OnText(void* user, const char* text) {
  (void)text;
  atomic_fetch_add(&((Host*)user)->texts, 1);
}
static void OnEnded(void* user, size_t reported) {
  (void)reported;
  atomic_fetch_add(&((Host*)user)->ended, 1);
}

/* The default bench attached, and a query of its sensor. */
static orvane_sim* Attach(void) {
  orvane_sim* sim = NULL;
  CHECK(orvane_sim_attach_default(&sim) == ORVANE_SIM_OK);
  return sim;
}
static orvane_teds_query* SimQuery(uint32_t pauseMs) {
  orvane_teds_query* q = NULL;
  CHECK(orvane_teds_query_create("SIM-DAQ", 1, 0, 1, pauseMs, &q) == ORVANE_TEDS_OK);
  return q;
}

/* A run that ends with `transducers` transducers and, with none, the device
 * library's error first; the result freed. */
static void RunEnds(orvane_teds_query* q, size_t transducers) {
  orvane_teds_query_result* r = NULL;
  CHECK(orvane_teds_query_run(q, 30000, &r) == ORVANE_TEDS_OK);
  CHECK(r != NULL && r->transducer_count == transducers);
  if (r && transducers == 0) {
    CHECK(r->text_count >= 1 && strncmp(r->texts[0], "OneWire Error: ", 15) == 0);
  } else if (r) {
    CHECK(r->text_count == 3);
  }
  orvane_teds_query_result_free(r);
}

static int WaitEnded(Host* host) {
  for (int i = 0; i < 20000 && atomic_load(&host->ended) == 0; ++i) Pause();
  return atomic_load(&host->ended);
}

static void TestBlockingQuery(void) {
  orvane_sim* sim = Attach();
  orvane_teds_query* q = SimQuery(0);
  Host host = {q, 0, 0, 0, 0, 0};
  CHECK(orvane_teds_query_set_callbacks(q, OnTransducer, OnText, OnEnded, &host) ==
        ORVANE_TEDS_OK);
  for (int round = 0; round < 2; ++round) {  /* the same handle queries again */
    orvane_teds_query_result* r = NULL;
    CHECK(orvane_teds_query_run(q, 30000, &r) == ORVANE_TEDS_OK);
    CHECK(r->size >= sizeof *r && r->timed_out == 0);
    CHECK(r->transducer_count == 1 && r->text_count == 3);
    CHECK(strncmp(r->texts[0], "TEDS BusListener\n", 17) == 0);
    CHECK_STR(r->texts[1], "Transducers Found:\n  [14 3A 7F 1B 05 00 00 B6]\n");
    CHECK_STR(r->texts[2], "Compile: GOOD CHECKSUM");
    const orvane_teds_transducer* t = r->transducers[0];
    CHECK_STR(t->id_text, "[14 3A 7F 1B 05 00 00 B6]");
    CHECK(t->node_count == 1 && memcmp(t->nodes, t->id, 8) == 0);
    CheckWorkedTransducer(t);
    CHECK(orvane_teds_query_result_free(r) == ORVANE_TEDS_OK);
  }
  CHECK(atomic_load(&host.transducers) == 2 && atomic_load(&host.texts) == 6);
  CHECK(atomic_load(&host.ended) == 2 && atomic_load(&host.busyInside) == 2);
  CHECK(host.serial == 123456);
  /* The device goes first, the query handle after it. */
  CHECK(orvane_sim_detach(sim) == ORVANE_SIM_OK);
  CHECK(orvane_teds_query_destroy(q) == ORVANE_TEDS_OK);
}

/* A relay answer a minute away: the run ends at its time-out with what it
 * has, and the handle goes at once. A device that is not there ends the
 * query with the device library's refusal. */
static void TestTimeoutAndAbsentDevice(void) {
  orvane_sim* sim = Attach();
  orvane_teds_query* q = SimQuery(60000);
  orvane_teds_query_result* r = NULL;
  CHECK(orvane_teds_query_run(q, 100, &r) == ORVANE_TEDS_TIMEOUT);
  CHECK(r != NULL && r->timed_out == 1 && r->transducer_count == 0);
  CHECK(strstr(orvane_teds_last_error(), "did not end within 100 ms") != NULL);
  orvane_teds_query_result_free(r);
  orvane_teds_query_destroy(q);
  orvane_sim_detach(sim);

  CHECK(orvane_teds_query_create("NO-SUCH-DAQ", 9, 0, 1, 0, &q) == ORVANE_TEDS_OK);
  RunEnds(q, 0);
  orvane_teds_query_destroy(q);
}

/* A device that refuses the handshake ends the query without a transducer,
 * and again on the next query of the same handle. */
static void TestRefusedHandshake(void) {
  orvane_sim* sim = NULL;
  CHECK(orvane_sim_attach_text("{\"name\": \"SIM-REFUSE\", \"address\": 7,"
                               " \"faults\": {\"refuseServiceMode\": true},"
                               " \"channels\": [{\"channel\": 0}]}",
                               &sim) == ORVANE_SIM_OK);
  orvane_teds_query* q = NULL;
  CHECK(orvane_teds_query_create("SIM-REFUSE", 7, 0, 1, 0, &q) == ORVANE_TEDS_OK);
  for (int round = 0; round < 2; ++round) RunEnds(q, 0);
  orvane_teds_query_destroy(q);
  orvane_sim_detach(sim);

  CHECK(orvane_sim_attach_text("{\"name\": 5}", &sim) == ORVANE_SIM_BAD_BENCH && sim == NULL);
  CHECK(strstr(orvane_sim_last_error(), "name") != NULL);
}

/* Started queries report through the callbacks; a second start while one
 * runs is refused; handles and devices go in any order, also mid-query. */
static void TestStartedQueries(void) {
  orvane_sim* sim = Attach();
  const char* name = NULL;
  uint32_t address = 0, channel = 9;
  CHECK(orvane_sim_describe(sim, &name, &address, &channel) == ORVANE_SIM_OK);
  CHECK_STR(name, "SIM-DAQ");
  CHECK(address == 1 && channel == 0);

  orvane_teds_query* q = NULL;
  CHECK(orvane_teds_query_create(name, address, channel, 1, 5, &q) == ORVANE_TEDS_OK);
  Host host = {q, 0, 0, 0, 0, 0};
  orvane_teds_query_set_callbacks(q, OnTransducer, OnText, OnEnded, &host);
  CHECK(orvane_teds_query_start(q) == ORVANE_TEDS_OK);
  CHECK(orvane_teds_query_start(q) == ORVANE_TEDS_BUSY);
  CHECK(WaitEnded(&host) == 1 && atomic_load(&host.transducers) == 1);
  CHECK(orvane_teds_query_stop(q) == ORVANE_TEDS_OK);

  /* Destroyed while its query is under way. */
  CHECK(orvane_teds_query_start(q) == ORVANE_TEDS_OK);
  CHECK(orvane_teds_query_destroy(q) == ORVANE_TEDS_OK);

  /* The device detached while a query is under way; the handle after. */
  CHECK(orvane_teds_query_create(name, address, channel, 1, 5, &q) == ORVANE_TEDS_OK);
  CHECK(orvane_teds_query_start(q) == ORVANE_TEDS_OK);
  CHECK(orvane_sim_detach(sim) == ORVANE_SIM_OK);
  CHECK(orvane_teds_query_destroy(q) == ORVANE_TEDS_OK);
}

/* ---- A run ended from another thread ------------------------------------ */

typedef struct {
  orvane_teds_query* query;
  atomic_int texts;
  atomic_int ended;
  int status;
  orvane_teds_query_result* result;
} Blocked;

static void CountText(void* user, const char* text) {
  (void)text;
  atomic_fetch_add(&((Blocked*)user)->texts, 1);
}
static void CountEnded(void* user, size_t reported) {
  (void)reported;
  atomic_fetch_add(&((Blocked*)user)->ended, 1);
}
static void RunBlocked(void* arg) {
  Blocked* b = (Blocked*)arg;
  b->status = orvane_teds_query_run(b->query, 30000, &b->result);
}

/* A run blocked on one thread, stopped or destroyed from another once the
 * query has reported `after` texts (a 300 ms pause before each relay answer
 * keeps it blocked well past that): the run wakes at once, says why, and
 * keeps what the query produced, also the texts of its clean-up; a stopped
 * query gets no ended callback, a destroyed handle no callback at all. */
static void TestStopAndDestroyDuringRun(void) {
  for (int destroy = 0; destroy <= 1; ++destroy) {
    for (int after = 1; after <= 2; ++after) {
      /* A fresh device each time: an exchange cut short leaves the relay's
       * answer unread. */
      orvane_sim* sim = Attach();
      Blocked b = {SimQuery(300), 0, 0, -1, NULL};
      orvane_teds_query_set_callbacks(b.query, NULL, CountText, CountEnded, &b);
      Job job = {RunBlocked, &b, 0};
      Spawn(&job);
      for (int i = 0; i < 20000 && atomic_load(&b.texts) < after; ++i) Pause();
      if (destroy) {
        CHECK(orvane_teds_query_destroy(b.query) == ORVANE_TEDS_OK);
      } else {
        CHECK(orvane_teds_query_stop(b.query) == ORVANE_TEDS_OK);
      }
      const int texts = atomic_load(&b.texts);
      Join(&job);
      CHECK(b.status == (destroy ? ORVANE_TEDS_DESTROYED : ORVANE_TEDS_STOPPED));
      CHECK(b.result != NULL);
      if (b.result) {
        CHECK(b.result->size >= sizeof *b.result && b.result->timed_out == 0);
        CHECK(b.result->stopped == (destroy ? 2 : 1) && b.result->transducer_count == 0);
        CHECK(b.result->text_count > (size_t)after);
        orvane_teds_query_result_free(b.result);
      }
      CHECK(atomic_load(&b.ended) == 0);
      if (destroy) {
        CHECK(atomic_load(&b.texts) == texts); /* nothing from inside destroy */
      } else {
        CHECK(orvane_teds_query_destroy(b.query) == ORVANE_TEDS_OK);
      }
      orvane_sim_detach(sim);
    }
  }
}

/* A hundred handles destroyed at random moments of their runs: every run
 * returns, with a result, and the next query reads the sensor at once. A
 * 1 ms poll pause keeps each run going long enough after its first text
 * for the destroy to land inside it. */
static void TestDestroyedAtAnyMomentOfARun(void) {
  orvane_sim* sim = Attach();
  unsigned seed = 7;
  int destroyedDuringRun = 0;
  for (int round = 0; round < 100; ++round) {
    Blocked b = {SimQuery(1), 0, 0, -1, NULL};
    orvane_teds_query_set_callbacks(b.query, NULL, CountText, CountEnded, &b);
    Job job = {RunBlocked, &b, 0};
    Spawn(&job);
    /* The run is under way once the query has said anything. */
    for (int i = 0; i < 20000 && atomic_load(&b.texts) == 0; ++i) Pause();
    seed = seed * 1103515245u + 12345u;
    for (volatile unsigned spin = (seed >> 16) % 20000; spin > 0; --spin) {
    }
    CHECK(orvane_teds_query_destroy(b.query) == ORVANE_TEDS_OK);
    Join(&job);
    CHECK(b.status == ORVANE_TEDS_OK || b.status == ORVANE_TEDS_DESTROYED);
    CHECK(b.result != NULL);
    if (b.result) {
      CHECK(b.result->stopped == (b.status == ORVANE_TEDS_DESTROYED ? 2 : 0));
      orvane_teds_query_result_free(b.result);
    }
    destroyedDuringRun += b.status == ORVANE_TEDS_DESTROYED;
  }
  CHECK(destroyedDuringRun > 0);
  /* An exchange cut short leaves the relay's answer unread: the next query
   * reads it away and then the sensor, with no error text. */
  orvane_teds_query* q = SimQuery(0);
  RunEnds(q, 1);
  orvane_teds_query_destroy(q);
  orvane_sim_detach(sim);
}

/* ---- Handles sharing a channel ----------------------------------------- */

typedef struct {
  int ok; /* runs that reported the sensor with a clean set of texts */
} Turns;

static void RunFiveTimes(void* arg) {
  Turns* turns = (Turns*)arg;
  orvane_teds_query* q = NULL;
  if (orvane_teds_query_create("SIM-DAQ", 1, 0, 1, 0, &q) != ORVANE_TEDS_OK) return;
  for (int i = 0; i < 5; ++i) {
    orvane_teds_query_result* r = NULL;
    if (orvane_teds_query_run(q, 30000, &r) == ORVANE_TEDS_OK && r->transducer_count == 1 &&
        r->text_count == 3 && strcmp(r->texts[2], "Compile: GOOD CHECKSUM") == 0) {
      ++turns->ok;
    }
    orvane_teds_query_result_free(r);
  }
  orvane_teds_query_destroy(q);
}

/* Two or three handles on one channel, each run from its own thread: the
 * queries take turns and every one reads the sensor. */
static void TestHandlesSharingAChannel(void) {
  orvane_sim* sim = Attach();
  for (int count = 2; count <= 3; ++count) {
    Turns turns[3] = {{0}, {0}, {0}};
    Job jobs[3];
    for (int i = 0; i < count; ++i) {
      jobs[i].body = RunFiveTimes;
      jobs[i].arg = &turns[i];
      Spawn(&jobs[i]);
    }
    for (int i = 0; i < count; ++i) {
      Join(&jobs[i]);
      CHECK(turns[i].ok == 5);
    }
  }
  /* A started query keeps its channel until it is stopped: a run on another
   * handle waits its whole time-out and says why. */
  orvane_teds_query* holder = SimQuery(0);
  orvane_teds_query* waiter = SimQuery(0);
  CHECK(orvane_teds_query_start(holder) == ORVANE_TEDS_OK);
  orvane_teds_query_result* r = NULL;
  CHECK(orvane_teds_query_run(waiter, 200, &r) == ORVANE_TEDS_TIMEOUT);
  CHECK(strstr(orvane_teds_last_error(), "another handle held its channel") != NULL);
  CHECK(r != NULL && r->text_count == 0 && r->transducer_count == 0);
  orvane_teds_query_result_free(r);
  CHECK(orvane_teds_query_stop(holder) == ORVANE_TEDS_OK);
  RunEnds(waiter, 1);
  orvane_teds_query_destroy(waiter);
  orvane_teds_query_destroy(holder);
  orvane_sim_detach(sim);
}

/* A scan of three channels at once: a sensor, an empty bus and a refused
 * handshake, each with a result of its own; bad arguments are refused. */
static void TestScan(void) {
  orvane_sim* sim = NULL;
  CHECK(orvane_sim_attach_text(
            "{\"name\": \"SIM-SCAN\", \"address\": 3, \"channels\": ["
            "{\"channel\": 0, \"devices\": [{\"rom\": \"14 3A 7F 1B 05 00 00 B6\","
            " \"application\": \"64 80 34 41 0C 40 E2 01\", \"memory\": \"6F 64 90 0F F8 64 06 29 1C"
            " FB 08 62 B4 45 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\"}]},"
            "{\"channel\": 1}, {\"channel\": 5, \"faults\": {\"refuseSetMode\": true}}]}",
            &sim) == ORVANE_SIM_OK);
  orvane_teds_scan_result* r = NULL;
  CHECK(orvane_teds_scan("SIM-SCAN", 3, 0x23, 1, 0, 30000, &r) == ORVANE_TEDS_OK);
  CHECK(r != NULL && r->size >= sizeof *r && r->channel_count == 3);
  if (r != NULL && r->channel_count == 3) {
    CHECK(r->channels[0] == 0 && r->channels[1] == 1 && r->channels[2] == 5);
    CHECK(r->results[0]->transducer_count == 1 && r->results[0]->timed_out == 0);
    CheckWorkedTransducer(r->results[0]->transducers[0]);
    CHECK(r->results[1]->transducer_count == 0 && r->results[1]->text_count >= 1);
    CHECK_STR(r->results[1]->texts[r->results[1]->text_count - 1], "No valid templates found");
    CHECK(r->results[2]->transducer_count == 0 && r->results[2]->text_count >= 1);
    CHECK(strstr(r->results[2]->texts[0], "refused the TEDS set-mode request") != NULL);
    /* A channel's result belongs to the scan's and is not freed alone. */
    CHECK(orvane_teds_query_result_free((orvane_teds_query_result*)r->results[0]) ==
          ORVANE_TEDS_INVALID_ARGUMENT);
  }
  CHECK(orvane_teds_scan_result_free(r) == ORVANE_TEDS_OK);
  CHECK(orvane_teds_scan_result_free(r) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(orvane_teds_scan("SIM-SCAN", 3, 0, 1, 0, 1000, &r) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(r == NULL && strstr(orvane_teds_last_error(), "channel_mask") != NULL);
  CHECK(orvane_teds_scan("SIM-SCAN", 3, 0x100, 1, 0, 1000, &r) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(orvane_teds_scan(NULL, 3, 1, 1, 0, 1000, &r) == ORVANE_TEDS_INVALID_ARGUMENT);
  CHECK(orvane_teds_scan_result_free(NULL) == ORVANE_TEDS_OK);
  /* A relay that never answers in time: the result is still given. */
  CHECK(orvane_teds_scan("SIM-SCAN", 3, 0x01, 1, 60000, 200, &r) == ORVANE_TEDS_TIMEOUT);
  CHECK(r != NULL && r->channel_count == 1 && r->results[0]->timed_out == 1);
  orvane_teds_scan_result_free(r);
  orvane_sim_detach(sim);
}

int main(void) {
  TestDecodeImage();
  TestDecodeDS2430A();
  TestDecodeGroupsAndFailures();
  TestMisuse();
  TestBlockingQuery();
  TestTimeoutAndAbsentDevice();
  TestRefusedHandshake();
  TestStartedQueries();
  TestStopAndDestroyDuringRun();
  TestHandlesSharingAChannel();
  TestDestroyedAtAnyMomentOfARun();
  TestScan();
  if (failures == 0) printf("C host: all checks passed\n");
  return failures == 0 ? 0 : 1;
}

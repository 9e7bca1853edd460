#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "capi/CError.h"
#include "capi/orvane_teds.h"
#include "onewire/DS2430AWriteJob.h"
#include "serial/DS2480BQueryMaster.h"

// Writing one DS2430A through a serial adapter, the calling thread waiting.

orvane_teds_status orvane_teds_write_serial(const char* port, const uint8_t* rom,
                                            const uint8_t* application, const uint8_t* memory,
                                            int lock, uint32_t timeout_ms, int* written,
                                            char* report, size_t report_size) {
  static const char kName[] = "orvane_teds_write_serial";
  return capi::Guard(kName, [&] {
    const char* problem = !port || !*port          ? "port is null or empty"
                          : !rom                   ? "rom is null"
                          : !application           ? "application is null"
                          : !memory                ? "memory is null"
                          : !written               ? "written is null"
                          : !report && report_size ? "report is null"
                          : timeout_ms == 0        ? "timeout_ms is 0"
                                                   : nullptr;
    if (problem) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(kName) + ": " + problem);
    }
    if (capi::InsideCallback()) {
      return capi::Fail(ORVANE_TEDS_BUSY, std::string(kName) +
                                              ": called from a query's callback, which it "
                                              "would wait for");
    }
    *written = 0;
    if (report_size) report[0] = '\0';
    DS2430AWriteJob job;
    job.rom = AbstractOneWireMaster::Device(rom);
    job.application.assign(application, application + 8);
    job.memory.assign(memory, memory + 32);
    job.lock = lock != 0;
    const DS2430AWriteJob::Outcome outcome =
        job.Run(MakeDS2480BQueryMaster(port), std::chrono::milliseconds(timeout_ms));
    const bool ended = outcome.ended;
    std::string text = outcome.text;
    if (!ended) text = "the write did not end within " + std::to_string(timeout_ms) + " ms";
    if (report_size) {
      const std::size_t count = std::min(text.size(), report_size - 1);
      std::memcpy(report, text.data(), count);
      report[count] = '\0';
    }
    *written = ended && outcome.ok ? 1 : 0;
    return ended ? ORVANE_TEDS_OK : ORVANE_TEDS_TIMEOUT;
  });
}

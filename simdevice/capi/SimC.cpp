// The simulated device's C entry: a bench attached for the life of a handle.
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "simdevice/Bench.h"
#include "simdevice/SimDevice.h"
#include "simdevice/capi/orvane_sim.h"
#include "text/Utf8.h"

struct orvane_sim {
  std::unique_ptr<simdevice::SimAttachment> attachment;
  std::string name;
  uint32_t address = 0;
  uint32_t channel = 0;
};

namespace {

thread_local std::string lastError;

orvane_sim_status Fail(orvane_sim_status status, const std::string& text) {
  lastError = text;
  return status;
}

orvane_sim_status Attach(const char* function, const std::function<simdevice::Bench()>& load,
                         orvane_sim** sim) {
  if (!sim) return Fail(ORVANE_SIM_INVALID_ARGUMENT, std::string(function) + ": sim is null");
  *sim = nullptr;
  try {
    const simdevice::Bench bench = load();
    auto handle = std::make_unique<orvane_sim>();
    handle->attachment =
        std::make_unique<simdevice::SimAttachment>(simdevice::SimDevice::Create(bench));
    if (!handle->attachment->IsAttached()) {
      return Fail(ORVANE_SIM_ATTACH_FAILED, std::string(function) + ": another device answers as " +
                                                orvtext::WideToUtf8(bench.name) + " at address " +
                                                std::to_string(bench.address));
    }
    handle->name = orvtext::WideToUtf8(bench.name);
    handle->address = bench.address;
    if (!bench.channels.empty()) handle->channel = bench.channels[0].channel;
    *sim = handle.release();
    return ORVANE_SIM_OK;
  } catch (const simdevice::BenchError& e) {
    return Fail(ORVANE_SIM_BAD_BENCH, std::string(function) + ": " + e.what());
  } catch (const std::exception& e) {
    return Fail(ORVANE_SIM_INTERNAL_ERROR, std::string(function) + ": " + e.what());
  }
}

}  // namespace

extern "C" {

const char* orvane_sim_last_error(void) { return lastError.c_str(); }

orvane_sim_status orvane_sim_attach_default(orvane_sim** sim) {
  return Attach("orvane_sim_attach_default", [] { return simdevice::DefaultBench(); }, sim);
}

orvane_sim_status orvane_sim_attach_file(const char* path, orvane_sim** sim) {
  if (!path) return Fail(ORVANE_SIM_INVALID_ARGUMENT, "orvane_sim_attach_file: path is null");
  return Attach("orvane_sim_attach_file", [path] { return simdevice::LoadBench(path); }, sim);
}

orvane_sim_status orvane_sim_attach_text(const char* bench, orvane_sim** sim) {
  if (!bench) return Fail(ORVANE_SIM_INVALID_ARGUMENT, "orvane_sim_attach_text: bench is null");
  return Attach("orvane_sim_attach_text",
                [bench] { return simdevice::ParseBench(bench, "bench"); }, sim);
}

orvane_sim_status orvane_sim_describe(const orvane_sim* sim, const char** name,
                                      uint32_t* address, uint32_t* channel) {
  if (!sim) return Fail(ORVANE_SIM_INVALID_ARGUMENT, "orvane_sim_describe: sim is null");
  if (name) *name = sim->name.c_str();
  if (address) *address = sim->address;
  if (channel) *channel = sim->channel;
  return ORVANE_SIM_OK;
}

orvane_sim_status orvane_sim_detach(orvane_sim* sim) {
  delete sim;
  return ORVANE_SIM_OK;
}

}  // extern "C"

// Decoding without a bus, the version and the release of results.
#include <memory>
#include <vector>

#include "capi/CError.h"
#include "capi/CResults.h"
#include "capi/orvane_teds.h"
#include "teds/TEDSDecoder.h"

#ifndef ORVANE_TEDS_VERSION_TEXT
#  define ORVANE_TEDS_VERSION_TEXT "0.0.0"
#endif

namespace {

// A null buffer is allowed only with length 0; `what` names it in the
// refusal of `function`.
orvane_teds_status ReadBuffer(const char* function, const std::string& what, const uint8_t* data,
                              size_t size, std::vector<uint8_t>& out) {
  if (!data && size > 0) {
    return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(function) + ": " + what +
                                                        " is null but " + what + "_size is not 0");
  }
  out.assign(data, data + size);
  return ORVANE_TEDS_OK;
}

// Frees a result registered as a `Box`; `what` names the kind in the refusal.
template <typename Box>
orvane_teds_status Free(const void* result, const char* function, const char* what) {
  if (!result || capi::Release<Box>(result)) return ORVANE_TEDS_OK;
  return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(function) + ": not a " + what +
                                                      " of this library, or freed already");
}

orvane_teds_status Hand(const TEDSDecoder::Result& decoded, orvane_teds_decode_result** result) {
  auto box = std::make_unique<capi::DecodeBox>(decoded);
  orvane_teds_decode_result* record = &box->c;
  capi::Register(record, std::move(box));
  *result = record;
  return ORVANE_TEDS_OK;
}

}  // namespace

extern "C" {

orvane_teds_status orvane_teds_version(const char** version) {
  if (!version) {
    return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, "orvane_teds_version: version is null");
  }
  *version = ORVANE_TEDS_VERSION_TEXT;
  return ORVANE_TEDS_OK;
}

orvane_teds_status orvane_teds_decode_image(const uint8_t* image, size_t image_size,
                                            orvane_teds_decode_result** result) {
  static const char kName[] = "orvane_teds_decode_image";
  return capi::Guard(kName, [&] {
    if (!result) return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(kName) + ": result is null");
    *result = nullptr;
    std::vector<uint8_t> bytes;
    if (const auto refused = ReadBuffer(kName, "image", image, image_size, bytes)) return refused;
    return Hand(TEDSDecoder::Decode(bytes), result);
  });
}

orvane_teds_status orvane_teds_decode_ds2430a(const uint8_t* application, size_t application_size,
                                              const uint8_t* memory, size_t memory_size,
                                              orvane_teds_decode_result** result) {
  static const char kName[] = "orvane_teds_decode_ds2430a";
  return capi::Guard(kName, [&] {
    if (!result) return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT, std::string(kName) + ": result is null");
    *result = nullptr;
    std::vector<uint8_t> otp;
    std::vector<uint8_t> mem;
    if (const auto refused = ReadBuffer(kName, "application", application, application_size, otp)) {
      return refused;
    }
    if (const auto refused = ReadBuffer(kName, "memory", memory, memory_size, mem)) return refused;
    return Hand(TEDSDecoder::DecodeDS2430A(otp, mem), result);
  });
}

orvane_teds_status orvane_teds_decode_result_free(orvane_teds_decode_result* result) {
  return Free<capi::DecodeBox>(result, "orvane_teds_decode_result_free", "decode result");
}

orvane_teds_status orvane_teds_query_result_free(orvane_teds_query_result* result) {
  return Free<capi::QueryResultBox>(result, "orvane_teds_query_result_free", "query result");
}

}  // extern "C"

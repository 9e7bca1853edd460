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

// A null buffer is allowed only with length 0.
bool ReadBuffer(const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
  if (!data && size > 0) return false;
  out.assign(data, data + size);
  return true;
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
    if (!ReadBuffer(image, image_size, bytes)) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT,
                        std::string(kName) + ": image is null but image_size is not 0");
    }
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
    if (!ReadBuffer(application, application_size, otp)) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT,
                        std::string(kName) + ": application is null but application_size is not 0");
    }
    if (!ReadBuffer(memory, memory_size, mem)) {
      return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT,
                        std::string(kName) + ": memory is null but memory_size is not 0");
    }
    return Hand(TEDSDecoder::DecodeDS2430A(otp, mem), result);
  });
}

orvane_teds_status orvane_teds_decode_result_free(orvane_teds_decode_result* result) {
  if (!result) return ORVANE_TEDS_OK;
  if (!capi::Release<capi::DecodeBox>(result)) {
    return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT,
                      "orvane_teds_decode_result_free: not a decode result of this library, or "
                      "freed already");
  }
  return ORVANE_TEDS_OK;
}

orvane_teds_status orvane_teds_query_result_free(orvane_teds_query_result* result) {
  if (!result) return ORVANE_TEDS_OK;
  if (!capi::Release<capi::QueryResultBox>(result)) {
    return capi::Fail(ORVANE_TEDS_INVALID_ARGUMENT,
                      "orvane_teds_query_result_free: not a query result of this library, or "
                      "freed already");
  }
  return ORVANE_TEDS_OK;
}

}  // extern "C"

#pragma once

#include <memory>
#include <string>
#include <vector>

#include "capi/orvane_teds.h"
#include "teds/TEDSDecoder.h"

class TEDSTransducer;
class TEDSTemplate25;

namespace capi {

// The C records are plain structs pointing into storage that the boxes
// below own; a box is never copied or moved once built, so those pointers
// stay valid for its whole life. Every text is converted to UTF-8.

struct Template25Box {
  explicit Template25Box(const TEDSTemplate25& t);
  Template25Box(const Template25Box&) = delete;
  Template25Box& operator=(const Template25Box&) = delete;

  orvane_teds_template25 c{};
  std::string calDateText;
  std::string calInitials;
};

struct TransducerBox {
  explicit TransducerBox(const TEDSTransducer& t);
  TransducerBox(const TransducerBox&) = delete;
  TransducerBox& operator=(const TransducerBox&) = delete;

  orvane_teds_transducer c{};
  std::string idText;
  std::vector<uint8_t> nodes;
  std::vector<uint8_t> image;
  std::vector<std::unique_ptr<Template25Box>> templates;
  std::vector<const orvane_teds_template25*> templatePointers;
  std::vector<std::string> errors;
  std::vector<const char*> errorPointers;
  std::string report;
};

// Base of the results handed to the host, so that one registry can tell a
// live result from a stale or foreign pointer when it is freed.
struct ResultBox {
  virtual ~ResultBox() = default;
};

struct DecodeBox : ResultBox {
  explicit DecodeBox(const TEDSDecoder::Result& result);

  orvane_teds_decode_result c{};
  std::string parseError;
  std::vector<int> pageGood;
  std::vector<const char*> pageTexts;
  std::unique_ptr<TransducerBox> transducer;
};

struct QueryResultBox : ResultBox {
  QueryResultBox(std::vector<std::string> texts,
                 std::vector<std::shared_ptr<const TransducerBox>> transducers, bool timedOut,
                 int stopped = 0);

  orvane_teds_query_result c{};
  std::vector<std::string> texts;
  std::vector<const char*> textPointers;
  std::vector<std::shared_ptr<const TransducerBox>> transducers;
  std::vector<const orvane_teds_transducer*> transducerPointers;
};

// Keeps `box` alive under the address of its C record until Release.
void Register(const void* record, std::unique_ptr<ResultBox> box);
// Destroys the box registered under `record` if it is a `Box`; false when
// there is none of that kind (never handed out, freed already, or a result
// of another kind).
template <typename Box>
bool Release(const void* record);
bool ReleaseIf(const void* record, bool (*isKind)(const ResultBox&));

template <typename Box>
bool Release(const void* record) {
  return ReleaseIf(record,
                   [](const ResultBox& box) { return dynamic_cast<const Box*>(&box) != nullptr; });
}

}  // namespace capi

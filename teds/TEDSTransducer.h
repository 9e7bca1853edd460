#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "onewire/Export.h"
#include "teds/TEDSBasicDatasheet.h"
#include "teds/TEDSTemplate.h"

class TEDSNode;
class TEDSInterface;
class TEDSDecoder;

// One sensor: the images of its nodes joined, decoded into a Basic TEDS and a
// list of templates, and printable as a text report.
class ORVANE_TEDS_API TEDSTransducer : public std::enable_shared_from_this<TEDSTransducer> {
 public:
  TEDSTransducer(const TEDSTransducer&) = default;
  TEDSTransducer(TEDSTransducer&&) = default;
  TEDSTransducer& operator=(const TEDSTransducer&) = default;
  TEDSTransducer& operator=(TEDSTransducer&&) = default;
  ~TEDSTransducer() = default;

  // "Transducer:" and the identity, an empty line, the Basic TEDS report and,
  // for each template, an empty line and its report. Errors are not included.
  std::string Print() const;
  // The template failures met by the last Parse; the last entry is the one
  // that ended the template list.
  const std::vector<std::string>& PrintErrors() const { return errors; }
  const TEDSBasicDatasheet& GetBasicDatasheet() const { return basicDatasheet; }

  const std::array<uint8_t, 8>& GetId() const { return id; }
  const std::vector<uint8_t>& GetImage() const { return image; }
  const std::vector<std::shared_ptr<TEDSTemplate>>& GetTemplates() const { return templates; }
  const std::vector<std::shared_ptr<TEDSNode>>& GetNodes() const { return nodes; }

 protected:
  friend class TEDSInterface;
  friend class TEDSDecoder;

  explicit TEDSTransducer(const std::array<uint8_t, 8>& id);
  static std::shared_ptr<TEDSTransducer> Create(const std::array<uint8_t, 8>& id);

  // Appends the node and its image and marks the node as claimed by this
  // transducer. Defined with the node.
  void AddNode(std::shared_ptr<TEDSNode> node);

  // Decodes `image` from scratch: manufacturer ID, Basic TEDS, then templates
  // until the first failure, whose text goes to `errors`. Throws
  // TEDSParseException when the manufacturer ID or the Basic TEDS cannot be
  // read, or for the embedded-template marker (manufacturer ID 2).
  void Parse();

  std::array<uint8_t, 8> id;
  std::vector<std::shared_ptr<TEDSNode>> nodes;
  std::vector<uint8_t> image;
  TEDSBasicDatasheet basicDatasheet;
  std::vector<std::shared_ptr<TEDSTemplate>> templates;
  std::vector<std::string> errors;
};

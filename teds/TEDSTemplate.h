#pragma once

#include <memory>
#include <string>

#include "onewire/Export.h"
#include "teds/TEDSParser.h"

class TEDSTransducer;

// A decoded TEDS template. Templates follow the Basic TEDS, each introduced by
// selector bits; Parse reads the selector and decodes the one supported
// standard template (25). Every other case throws, so a caller's loop over
// Parse ends only through an exception.
class ORVANE_TEDS_API TEDSTemplate : public std::enable_shared_from_this<TEDSTemplate> {
 public:
  TEDSTemplate(const TEDSTemplate&) = default;
  TEDSTemplate(TEDSTemplate&&) = default;
  TEDSTemplate& operator=(const TEDSTemplate&) = default;
  TEDSTemplate& operator=(TEDSTemplate&&) = default;

  virtual std::string GetName() const = 0;
  virtual std::string Print() const = 0;

 protected:
  friend class TEDSTransducer;

  TEDSTemplate() = default;
  // Templates are made only for their concrete class and destroyed through the
  // shared handle's control block, never through a base pointer: the
  // destructor is not virtual and therefore not public either.
  ~TEDSTemplate() = default;

  // Reads the selector at the reader's position and returns the decoded
  // template, leaving the reader after it. Never returns an empty handle;
  // throws TEDSParseException for selector problems and TEDSParse25Exception
  // from inside template 25.
  static std::shared_ptr<TEDSTemplate> Parse(TEDSParser& reader);
  // Throws TEDSParseException(message); selector failures name no bits, so
  // the reader and the width are not used.
  [[noreturn]] static void ParseFail(const TEDSParser& reader, const std::string& message,
                                     unsigned width);
};

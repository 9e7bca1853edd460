#pragma once

#include <exception>
#include <string>

#include "onewire/Export.h"

// Exceptions of TEDS decoding. Their what() text is the whole message; the
// transducer turns them into error texts. They are exported so that code
// outside the library (tests, hosts calling the parsers directly) can catch
// them by type.
class ORVANE_TEDS_API TEDSException : public std::exception {
 public:
  explicit TEDSException(const std::string& message);
  const char* what() const noexcept override;

 protected:
  std::string message;
};

// A failure of template selection or of the transducer's own fields.
class ORVANE_TEDS_API TEDSParseException : public TEDSException {
 public:
  static constexpr const char* PREFIX = "Failed to parse TEDS template: ";
  explicit TEDSParseException(const std::string& message);
};

// A failure inside template 25; deliberately not a TEDSParseException.
class ORVANE_TEDS_API TEDSParse25Exception : public TEDSException {
 public:
  static constexpr const char* PREFIX = "Failed to parse TEDS template 25: ";
  explicit TEDSParse25Exception(const std::string& message);
};

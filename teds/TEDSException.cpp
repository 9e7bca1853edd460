#include "teds/TEDSException.h"

TEDSException::TEDSException(const std::string& message) : message(message) {}

const char* TEDSException::what() const noexcept { return message.c_str(); }

TEDSParseException::TEDSParseException(const std::string& message)
    : TEDSException(PREFIX + message) {}

TEDSParse25Exception::TEDSParse25Exception(const std::string& message)
    : TEDSException(PREFIX + message) {}

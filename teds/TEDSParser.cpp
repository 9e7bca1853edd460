#include "teds/TEDSParser.h"

#include <algorithm>
#include <cmath>
#include <sstream>

TEDSParser::TEDSParser(const std::vector<uint8_t>& image)
    : current(image.begin()), begin(image.begin()), end(image.end()) {}

bool TEDSParser::ReadBits(unsigned width, uint32_t& out) {
  out = 0;
  if (width > 32) return false;
  unsigned shift = 0;
  while (width > 0) {
    if (current == end) return false;
    const unsigned take = std::min(width, 8u - bit);
    const uint32_t chunk = (static_cast<uint32_t>(*current) >> bit) & ((1u << take) - 1u);
    bit += take;
    if (bit == 8) {
      bit = 0;
      ++current;
    }
    out |= chunk << shift;
    shift += take;
    width -= take;
  }
  return true;
}

bool TEDSParser::ReadUnInt(unsigned width, uint32_t& out) {
  uint32_t raw = 0;
  if (!ReadBits(width, raw)) return false;
  out = raw;
  return true;
}

bool TEDSParser::ReadChr5(char& out) {
  uint32_t code = 0;
  if (!ReadBits(5, code)) return false;
  out = CHR5_TABLE[code];
  return true;
}

bool TEDSParser::ReadChr5String(std::string& out) {
  std::string text;
  for (int i = 0; i < 3; ++i) {
    char c = 0;
    if (!ReadChr5(c)) return false;
    text.push_back(c);
  }
  out = text;
  return true;
}

bool TEDSParser::ReadConRes(double start, double step, double& out) {
  uint32_t raw = 0;
  if (!ReadBits(5, raw)) return false;
  out = ConResValue(raw, start, step);
  return true;
}

bool TEDSParser::ReadConRelRes(unsigned width, double start, double tolerance, double& out) {
  uint32_t raw = 0;
  if (!ReadBits(width, raw)) return false;
  out = ConRelResValue(raw, start, tolerance);
  return true;
}

double TEDSParser::ConResValue(uint32_t raw, double start, double step) {
  return static_cast<double>(raw) * step + start;
}

double TEDSParser::ConRelResValue(uint32_t raw, double start, double tolerance) {
  const double base = (tolerance + tolerance) + 1.0;
  return std::pow(base, static_cast<double>(raw)) * start;
}

bool TEDSParser::ReadDate(int64_t& out) {
  uint32_t days = 0;
  if (!ReadBits(16, days)) return false;
  out = (static_cast<int64_t>(days) + DATE_EPOCH_DAYS) * 86400;
  return true;
}

std::size_t TEDSParser::GetPosition() const {
  return static_cast<std::size_t>(current - begin) * 8 + bit;
}

std::string TEDSParser::FormatError(const std::string& message, unsigned width) const {
  const std::size_t first = GetPosition();
  std::ostringstream text;
  if (width <= 1) {
    text << "Bit " << first;
  } else {
    text << "Bits " << first << '-' << (first + width - 1);
  }
  text << ": " << message;
  return text.str();
}

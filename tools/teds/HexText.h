#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Bytes written in hexadecimal: two digits per byte, upper or lower case.
// White space may separate bytes ("64 80 34", "648034" and "6480 34" are the
// same) but not split one: every run of digits must have an even length.
// Returns false with a message naming the problem when the text holds
// anything else, an odd run of digits, or no byte at all.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes, std::string& error);

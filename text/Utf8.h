#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvtext {

// UTF-8 to wide text (UTF-16 where wchar_t has 16 bits, as on Windows).
// Returns false, leaving `out` unspecified, on malformed input: bad lead or
// continuation bytes, overlong forms, surrogates, code points past U+10FFFF.
bool Utf8ToWide(std::string_view text, std::wstring& out);

// Appends the UTF-8 form of the code point `code` (at most 10FFFF hex).
void AppendUtf8(uint32_t code, std::string& out);

// Wide text (UTF-16 where wchar_t has 16 bits) to UTF-8. Surrogate pairs are
// joined; a lone surrogate, like anything above 10FFFF hex, becomes U+FFFD.
std::string WideToUtf8(const std::wstring& text);

}  // namespace orvtext

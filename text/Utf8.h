#pragma once

#include <string>
#include <string_view>

namespace orvtext {

// UTF-8 to wide text (UTF-16 where wchar_t has 16 bits, as on Windows).
// Returns false, leaving `out` unspecified, on malformed input: bad lead or
// continuation bytes, overlong forms, surrogates, code points past U+10FFFF.
bool Utf8ToWide(std::string_view text, std::wstring& out);

}  // namespace orvtext

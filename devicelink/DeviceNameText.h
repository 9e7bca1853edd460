#pragma once

#include <string>

// A device name in UTF-8 for the texts the master reports, so that a name of
// any script reaches the host whole. Wide text is UTF-16 on Windows: pairs of
// surrogates are joined; a lone one, like anything past U+10FFFF, becomes
// U+FFFD.
std::string DeviceNameText(const std::wstring& name);

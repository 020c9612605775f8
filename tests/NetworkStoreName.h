// The name of a network-store value for an interface index and type, as Windows writes it.
#pragma once

#include <cwchar>
#include <string>

// The NET_LUID's 8 bytes in memory order, two hex digits each: 3 reserved bytes, the 24-bit
// index and the 16-bit type, each least significant byte first.
inline std::wstring NetworkStoreName(unsigned index, unsigned type) {
    wchar_t name[32];
    swprintf(name, 32, L"000000%02X%02X%02X%02X%02X", index & 0xFF, (index >> 8) & 0xFF,
             (index >> 16) & 0xFF, type & 0xFF, (type >> 8) & 0xFF);
    return name;
}

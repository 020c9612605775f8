// The name of a network-store value for an interface index and type, as Windows writes it.
#pragma once

#include <cwchar>
#include <string>

inline std::wstring NetworkStoreName(unsigned index, unsigned type) {
    wchar_t name[32];
    swprintf(name, 32, L"00%06X00%04X00", index, type);
    return name;
}

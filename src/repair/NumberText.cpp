// Reads numbers from text the way a 32-bit wcstoul does, identically on every platform.
#include "repair/NumberText.h"

#include <stdint.h>

namespace {

bool IsWhiteSpace(WCHAR c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

bool DigitValue(WCHAR c, unsigned base, unsigned* digit) {
    unsigned value;
    if (c >= L'0' && c <= L'9')
        value = static_cast<unsigned>(c - L'0');
    else if (c >= L'a' && c <= L'z')
        value = static_cast<unsigned>(c - L'a') + 10;
    else if (c >= L'A' && c <= L'Z')
        value = static_cast<unsigned>(c - L'A') + 10;
    else
        return false;
    if (value >= base)
        return false;
    *digit = value;
    return true;
}

} // namespace

DWORD ReadUnsigned32(const WCHAR* text, unsigned base) {
    const WCHAR* position = text;
    while (IsWhiteSpace(*position))
        ++position;
    bool negative = false;
    if (*position == L'+' || *position == L'-') {
        negative = *position == L'-';
        ++position;
    }
    unsigned digit = 0;
    if (base == 16 && position[0] == L'0' && (position[1] == L'x' || position[1] == L'X') &&
        DigitValue(position[2], base, &digit))
        position += 2;

    const uint64_t largest = 0xFFFFFFFFu;
    uint64_t value = 0;
    bool overflow = false;
    for (; DigitValue(*position, base, &digit); ++position) {
        if (overflow)
            continue;
        value = value * base + digit;
        overflow = value > largest;
    }
    DWORD result = overflow ? static_cast<DWORD>(largest) : static_cast<DWORD>(value);
    return negative ? static_cast<DWORD>(0u - result) : result;
}

bool FormatDecimal(DWORD value, WCHAR* text, unsigned capacity) {
    WCHAR reversed[10];
    unsigned digits = 0;
    do {
        reversed[digits++] = static_cast<WCHAR>(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (capacity == 0)
        return false;
    if (digits + 1 > capacity) {
        text[0] = 0;
        return false;
    }
    for (unsigned i = 0; i < digits; ++i)
        text[i] = reversed[digits - 1 - i];
    text[digits] = 0;
    return true;
}

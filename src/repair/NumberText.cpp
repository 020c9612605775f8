// Reads numbers from text the way a 32-bit wcstoul does, identically on every platform.
#include "repair/NumberText.h"

#include <stdint.h>

namespace {

// The blanks that the runtime's wcstoul skips before a number: ASCII's and Unicode's spaces.
bool IsWhiteSpace(WCHAR c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

// Besides ASCII, the runtime's wcstoul reads the decimal digits of these Unicode blocks (Arabic-
// Indic, Devanagari, Thai, full-width and others), each given by its zero.
const WCHAR UnicodeDigitZeros[] = {0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6,
                                   0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50, 0x0ED0,
                                   0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};

bool DigitValue(WCHAR c, unsigned base, unsigned* digit) {
    unsigned value = base;
    if (c >= L'0' && c <= L'9')
        value = static_cast<unsigned>(c - L'0');
    else if (c >= L'a' && c <= L'z')
        value = static_cast<unsigned>(c - L'a') + 10;
    else if (c >= L'A' && c <= L'Z')
        value = static_cast<unsigned>(c - L'A') + 10;
    else
        for (WCHAR zero : UnicodeDigitZeros)
            if (c >= zero && c <= zero + 9)
                value = static_cast<unsigned>(c - zero);
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

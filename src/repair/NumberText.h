// Reads numbers from text the way a 32-bit wcstoul does, identically on every platform.
#pragma once

#include <windows.h>

// Skips leading white space, takes an optional sign (and an optional 0x prefix in base 16), reads
// digits up to the first other character. No digits give 0; a value past 32 bits becomes
// 0xFFFFFFFF, which a minus sign then negates modulo 2^32.
DWORD ReadUnsigned32(const WCHAR* text, unsigned base);

// Writes the number in decimal without leading zeros; false (and an empty text) if it does not
// fit the capacity with its terminator.
bool FormatDecimal(DWORD value, WCHAR* text, unsigned capacity);

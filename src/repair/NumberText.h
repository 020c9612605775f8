// Reads numbers from text the way a 32-bit wcstoul does, identically on every platform.
#pragma once

#include <windows.h>

// Skips leading blanks, takes an optional sign (and an optional 0x prefix in base 16), reads
// digits up to the first other character: the blanks and digits the runtime's wcstoul knows,
// Unicode's included (a full-width 6 is 6). No digits give 0; a value past 32 bits becomes
// 0xFFFFFFFF, which a minus sign then negates modulo 2^32.
DWORD ReadUnsigned32(const WCHAR* text, unsigned base);

// Writes the number in decimal without leading zeros; false (and an empty text) if it does not
// fit the capacity with its terminator.
bool FormatDecimal(DWORD value, WCHAR* text, unsigned capacity);

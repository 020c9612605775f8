// Texts and what the runtime's 32-bit wcstoul makes of them: one table for our reader's test on
// every host and for its comparison with msvcrt's wcstoul under Wine.
#pragma once

#include <windows.h>

struct NumberCase {
    const wchar_t* text;
    unsigned base;
    DWORD expected;
};

const NumberCase NumberCases[] = {
    // ASCII, signs and overflow.
    {L"6", 10, 6},
    {L"  \t6", 10, 6},
    {L"+6", 10, 6},
    {L"6abc", 10, 6},
    {L"abc", 10, 0},
    {L"", 10, 0},
    {L"-", 10, 0},
    {L"-1", 10, 0xFFFFFFFFu},
    {L"4294967295", 10, 0xFFFFFFFFu},
    {L"4294967296", 10, 0xFFFFFFFFu},
    {L"99999999999999999999999", 10, 0xFFFFFFFFu},
    {L"-4294967296", 10, 1u},
    {L"-99999999999999", 10, 1u},
    {L"65542", 10, 65542u},
    {L"0x10", 10, 0},
    {L"+-6", 10, 0},
    {L"001F", 16, 0x1F},
    {L"0x1F", 16, 0x1F},
    {L"0X1f", 16, 0x1F},
    {L"0x", 16, 0},
    {L"0xg", 16, 0},
    {L"-1", 16, 0xFFFFFFFFu},
    {L" 1g", 16, 1},
    {L"FFFFFFFFF", 16, 0xFFFFFFFFu},
    {L"ffff", 16, 0xFFFF},
    // The decimal digits of every Unicode block the runtime reads: its 6, then 1 and 2 together.
    {L"\uFF16", 10, 6}, // full-width, as an input method types it
    {L"\uFF11\uFF12", 10, 12},
    {L"\u0666", 10, 6},       // Arabic-Indic
    {L"\u06F6", 10, 6},       // extended Arabic-Indic
    {L"\u096C", 10, 6},       // Devanagari
    {L"\u09EC", 10, 6},       // Bengali
    {L"\u0A6C", 10, 6},       // Gurmukhi
    {L"\u0AEC", 10, 6},       // Gujarati
    {L"\u0B6C", 10, 6},       // Oriya
    {L"\u0C6C", 10, 6},       // Telugu
    {L"\u0CEC", 10, 6},       // Kannada
    {L"\u0D6C", 10, 6},       // Malayalam
    {L"\u0E56", 10, 6},       // Thai
    {L"\u0ED6", 10, 6},       // Lao
    {L"\u0F26", 10, 6},       // Tibetan
    {L"\u1046", 10, 6},       // Myanmar
    {L"\u17E6", 10, 6},       // Khmer
    {L"\u1816", 10, 6},       // Mongolian
    {L"\u0660\u0669", 10, 9}, // the block's zero and nine
    {L"1\u0662", 10, 12},     // mixed with ASCII
    {L"-\uFF16", 10, 0xFFFFFFFAu},
    {L"\uFF14\uFF12\uFF19\uFF14\uFF19\uFF16\uFF17\uFF12\uFF19\uFF16", 10, 0xFFFFFFFFu},
    {L"\uFF11\uFF10", 16, 0x10}, // in base 16 too
    // Unicode blanks before the number.
    {L"\u00A06", 10, 6}, // no-break space
    {L"\u16806", 10, 6}, // Ogham space mark
    {L"\u20006", 10, 6},
    {L"\u200A6", 10, 6},
    {L"\u20286", 10, 6}, // line separator
    {L"\u20296", 10, 6},
    {L"\u202F6", 10, 6},
    {L"\u205F6", 10, 6},
    {L"\u30006", 10, 6}, // ideographic space
    {L"\u3000\u00A0 \uFF16", 10, 6},
    // Characters that look like blanks or digits but are neither to the runtime.
    {L"\u00856", 10, 0}, // next line
    {L"\u200B6", 10, 0}, // zero-width space
    {L"\u180E6", 10, 0}, // Mongolian vowel separator
    {L"\uFEFF6", 10, 0}, // byte order mark
    {L"\u001C6", 10, 0}, // file separator
    {L"\u00B2", 10, 0},  // superscript two
    {L"\u2076", 10, 0},  // superscript six
    {L"\u2466", 10, 0},  // circled seven
    {L"\u2165", 10, 0},  // Roman numeral six
    {L"\u07C6", 10, 0},  // N'Ko six
    {L"\u136E", 10, 0},  // Ethiopic six
    {L"\u19D6", 10, 0},  // New Tai Lue six
    {L"\uA8D6", 10, 0},  // Saurashtra six
    {L"\uFF0D6", 10, 0}, // full-width minus
    {L"\uFF0B6", 10, 0}, // full-width plus
    {L"\uFF46", 16, 0},  // full-width f
    {L"6\u0665", 10, 65},
    {L"6\u07C5", 10, 6},
};

// Reads the interface type from the command line.
#include "console/CommandLine.h"

#include "repair/NumberText.h"

namespace {

const WORD DefaultInterfaceType = 1;

WCHAR LowerAsciiLetter(WCHAR c) {
    return (c >= L'A' && c <= L'Z') ? c - L'A' + L'a' : c;
}

bool EqualsIgnoringAsciiCase(const WCHAR* text, const WCHAR* lowerCaseWord) {
    for (; *text != 0 && *lowerCaseWord != 0; ++text, ++lowerCaseWord) {
        if (LowerAsciiLetter(*text) != *lowerCaseWord)
            return false;
    }
    return *text == 0 && *lowerCaseWord == 0;
}

} // namespace

bool ReadInterfaceType(int argumentCount, const WCHAR* const* arguments, WORD* interfaceType) {
    if (argumentCount <= 1) {
        *interfaceType = DefaultInterfaceType;
        return true;
    }
    if (argumentCount != 3)
        return false;
    if (!EqualsIgnoringAsciiCase(arguments[1], L"/iftype") &&
        !EqualsIgnoringAsciiCase(arguments[1], L"-iftype"))
        return false;
    const WORD type = static_cast<WORD>(ReadUnsigned32(arguments[2], 10) & 0xFFFFu);
    if (type == 0)
        return false;
    *interfaceType = type;
    return true;
}

// Registry names as Windows compares and limits them, for the backends of other hosts.
#pragma once

#include <clocale>
#include <cwctype>
#include <locale.h>
#include <string>
#include <wctype.h>

// Windows compares names by the upper case of each character, in all of Unicode: Ä matches ä,
// but the capital sharp s does not match ß, which has no single upper case.
inline wchar_t UpperCaseForRegistry(wchar_t c) {
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return unicode != static_cast<locale_t>(0) ? static_cast<wchar_t>(towupper_l(c, unicode))
                                               : static_cast<wchar_t>(std::towupper(c));
}

inline bool SameRegistryName(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && UpperCaseForRegistry(a[i]) != UpperCaseForRegistry(b[i]))
            return false;
    return true;
}

inline std::wstring RegistryNameKey(const std::wstring& name) {
    std::wstring folded = name;
    for (wchar_t& c : folded)
        c = UpperCaseForRegistry(c);
    return folded;
}

// The longest key name the registry takes (Wine's limit; a longer one is an invalid parameter).
const size_t LongestKeyName = 256;

// A key path may not start with a backslash (a bad path name); doubled and trailing ones are
// skipped.
inline bool IsBadKeyPath(const wchar_t* path) {
    return path != nullptr && path[0] == L'\\';
}

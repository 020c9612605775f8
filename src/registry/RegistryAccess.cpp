// Opens and creates registry keys in the process-wide registry view.
#include "registry/RegistryAccess.h"

REGSAM DefaultRegistryView = 0;

namespace {

const REGSAM RegistryViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

bool CreateKey(HKEY parent, LPCWSTR subKey, HKEY* key, REGSAM access) {
    WCHAR noClass[1] = {0};
    return RegCreateKeyExW(parent, subKey, 0, noClass, REG_OPTION_NON_VOLATILE, access, nullptr,
                           key, nullptr) == ERROR_SUCCESS;
}

// Copies at most ParentPathCapacity - 1 characters of the path and cuts it at its last
// backslash; false when there is no backslash, that is no parent to create first.
bool CopyParentPath(LPCWSTR path, WCHAR (&parentPath)[ParentPathCapacity]) {
    unsigned length = 0;
    while (length < ParentPathCapacity - 1 && path[length] != 0) {
        parentPath[length] = path[length];
        ++length;
    }
    parentPath[length] = 0;
    while (length > 0) {
        --length;
        if (parentPath[length] == L'\\') {
            parentPath[length] = 0;
            return true;
        }
    }
    return false;
}

} // namespace

bool OpenRegistryKey(HKEY parent, LPCWSTR subKey, HKEY* key, REGSAM desiredAccess) {
    REGSAM access = desiredAccess;
    if ((access & RegistryViewBits) == 0)
        access |= DefaultRegistryView;

    if ((access & KEY_WRITE) != KEY_WRITE)
        return RegOpenKeyExW(parent, subKey, 0, access, key) == ERROR_SUCCESS;

    if (CreateKey(parent, subKey, key, access))
        return true;

    // The creation may fail because a parent is missing or cannot be created in this view:
    // make the parent first, then try once more.
    WCHAR parentPath[ParentPathCapacity];
    if (!CopyParentPath(subKey, parentPath))
        return false;
    HKEY parentKey = nullptr;
    if (!OpenRegistryKey(parent, parentPath, &parentKey, access))
        return false;
    RegCloseKey(parentKey);
    return CreateKey(parent, subKey, key, access);
}

// Rebuilds the used-index bitmap of one interface type by walking the network-store key.
#include "repair/RebuildUsedIndices.h"

bool MarkNetworkStoreInterfaces(HKEY networkStoreKey, WORD interfaceType, UsedIndexBitmap* bitmap) {
    WCHAR name[NetworkStoreNameCapacity];
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = NetworkStoreNameCapacity;
        DWORD valueType = REG_NONE;
        const LSTATUS status = RegEnumValueW(networkStoreKey, index, name, &nameLength, nullptr,
                                             &valueType, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS)
            return true;
        // A name too long for the buffer is no interface of ours; the values after it still are.
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            return false;
        MarkNetworkStoreValue(bitmap, interfaceType, name, nameLength, valueType);
    }
}

bool RebuildUsedIndices(HKEY networkStoreKey, WORD interfaceType, UsedIndexBitmap* bitmap) {
    StartUsedIndexBitmap(bitmap);
    if (!MarkNetworkStoreInterfaces(networkStoreKey, interfaceType, bitmap))
        return false;
    FinishUsedIndexBitmap(bitmap);
    return true;
}

// Rebuilds the used-index bitmap of one interface type by walking the network-store key.
#include "repair/RebuildUsedIndices.h"

bool VisitNetworkStoreValues(HKEY networkStoreKey, NetworkStoreVisitor visit, void* context) {
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
        visit(context, name, nameLength, valueType);
    }
}

namespace {

struct MarkRequest {
    WORD interfaceType;
    UsedIndexBitmap* bitmap;
};

void MarkVisitedValue(void* context, const WCHAR* name, DWORD nameLength, DWORD valueType) {
    const MarkRequest* request = static_cast<const MarkRequest*>(context);
    MarkNetworkStoreValue(request->bitmap, request->interfaceType, name, nameLength, valueType);
}

} // namespace

bool MarkNetworkStoreInterfaces(HKEY networkStoreKey, WORD interfaceType, UsedIndexBitmap* bitmap) {
    MarkRequest request = {interfaceType, bitmap};
    return VisitNetworkStoreValues(networkStoreKey, MarkVisitedValue, &request);
}

bool RebuildUsedIndices(HKEY networkStoreKey, WORD interfaceType, UsedIndexBitmap* bitmap) {
    StartUsedIndexBitmap(bitmap);
    if (!MarkNetworkStoreInterfaces(networkStoreKey, interfaceType, bitmap))
        return false;
    FinishUsedIndexBitmap(bitmap);
    return true;
}

// Builds the used-index bitmap of one interface type from network-store value names, no registry.
#include "repair/UsedIndexBitmap.h"

#include "repair/NumberText.h"

namespace {

const unsigned IndexFieldStart = 2;
const unsigned IndexFieldLength = 6;
const unsigned TypeFieldStart = 10;
const unsigned TypeFieldLength = 4;

void CoverByte(UsedIndexBitmap* bitmap, DWORD byteIndex) {
    if (byteIndex + 1 > bitmap->length)
        bitmap->length = byteIndex + 1;
}

} // namespace

void StartUsedIndexBitmap(UsedIndexBitmap* bitmap) {
    for (DWORD i = 0; i < UsedIndexBitmapCapacity; ++i)
        bitmap->bytes[i] = 0;
    bitmap->length = 1;
}

void MarkNetworkStoreValue(UsedIndexBitmap* bitmap, WORD interfaceType, const WCHAR* name,
                           DWORD nameLength, DWORD valueType) {
    if (nameLength != NetworkStoreNameLength || valueType != REG_BINARY)
        return;
    const DWORD type = ReadUnsigned32Field(name, TypeFieldStart, TypeFieldLength, 16);
    if ((type & 0xFFFFu) != interfaceType)
        return;
    const DWORD index = ReadUnsigned32Field(name, IndexFieldStart, IndexFieldLength, 16) & 0xFFFFu;
    if (index >= UsedIndexLimit)
        return;
    bitmap->bytes[index / 8] = static_cast<BYTE>(bitmap->bytes[index / 8] | (1u << (index % 8)));
    CoverByte(bitmap, index / 8);
}

void FinishUsedIndexBitmap(UsedIndexBitmap* bitmap) {
    if (bitmap->length == 1 && bitmap->bytes[0] == 0)
        bitmap->bytes[0] = 1;

    unsigned remaining = ReservedIndexCount;
    for (DWORD byteIndex = 0; byteIndex < UsedIndexBitmapCapacity && remaining > 0; ++byteIndex) {
        for (unsigned bit = 0; bit < 8 && remaining > 0; ++bit) {
            const BYTE mask = static_cast<BYTE>(1u << bit);
            if ((bitmap->bytes[byteIndex] & mask) == 0) {
                bitmap->bytes[byteIndex] = static_cast<BYTE>(bitmap->bytes[byteIndex] | mask);
                --remaining;
            }
        }
        CoverByte(bitmap, byteIndex);
    }
}

void RebuildUsedIndicesFromValues(WORD interfaceType, const NetworkStoreValue* values,
                                  DWORD valueCount, UsedIndexBitmap* bitmap) {
    StartUsedIndexBitmap(bitmap);
    for (DWORD i = 0; i < valueCount; ++i)
        MarkNetworkStoreValue(bitmap, interfaceType, values[i].name, values[i].nameLength,
                              values[i].valueType);
    FinishUsedIndexBitmap(bitmap);
}

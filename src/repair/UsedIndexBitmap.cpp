// Builds the used-index bitmap of one interface type from network-store value names, no registry.
#include "repair/UsedIndexBitmap.h"

namespace {

// Bytes of the NET_LUID that the name spells, each least significant byte first.
const unsigned IndexFirstByte = 3;
const unsigned IndexByteCount = 3;
const unsigned TypeFirstByte = 6;
const unsigned TypeByteCount = 2;

bool HexDigitValue(WCHAR c, DWORD* value) {
    if (c >= L'0' && c <= L'9')
        *value = static_cast<DWORD>(c - L'0');
    else if (c >= L'a' && c <= L'f')
        *value = static_cast<DWORD>(c - L'a') + 10;
    else if (c >= L'A' && c <= L'F')
        *value = static_cast<DWORD>(c - L'A') + 10;
    else
        return false;
    return true;
}

bool IsHexName(const WCHAR* name) {
    DWORD digit = 0;
    for (DWORD i = 0; i < NetworkStoreNameLength; ++i)
        if (!HexDigitValue(name[i], &digit))
            return false;
    return true;
}

// The little-endian number in bytes [first, first + count) of a name that IsHexName accepted.
DWORD ReadNameBytes(const WCHAR* name, unsigned first, unsigned count) {
    DWORD value = 0;
    for (unsigned byte = first + count; byte-- > first;) {
        DWORD high = 0;
        DWORD low = 0;
        HexDigitValue(name[2 * byte], &high);
        HexDigitValue(name[2 * byte + 1], &low);
        value = value << 8 | high << 4 | low;
    }
    return value;
}

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

bool ReadNetworkStoreName(const WCHAR* name, DWORD nameLength, DWORD valueType, WORD* type,
                          DWORD* index) {
    if (nameLength != NetworkStoreNameLength || valueType != REG_BINARY || !IsHexName(name))
        return false;
    *type = static_cast<WORD>(ReadNameBytes(name, TypeFirstByte, TypeByteCount));
    *index = ReadNameBytes(name, IndexFirstByte, IndexByteCount);
    return true;
}

void MarkNetworkStoreValue(UsedIndexBitmap* bitmap, WORD interfaceType, const WCHAR* name,
                           DWORD nameLength, DWORD valueType) {
    WORD type = 0;
    DWORD index = 0;
    if (!ReadNetworkStoreName(name, nameLength, valueType, &type, &index) ||
        type != interfaceType || index >= UsedIndexLimit)
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

// Builds the used-index bitmap of one interface type from network-store value names, no registry.
#pragma once

#include <windows.h>

// One bit per index: index i is bit (i mod 8) of byte (i div 8), so 128 bytes hold indices 0-1023.
const DWORD UsedIndexBitmapCapacity = 128;
const DWORD UsedIndexLimit = UsedIndexBitmapCapacity * 8;
// Free indices reserved beyond the ones in use, so that new interfaces can be installed at once.
const unsigned ReservedIndexCount = 4;

// A network-store value name is the interface's 64-bit NET_LUID as its 8 bytes in memory order,
// two hex digits each: bytes 0-2 reserved, 3-5 the index and 6-7 the type, low byte first.
const DWORD NetworkStoreNameLength = 16;
const DWORD NetworkStoreNameCapacity = NetworkStoreNameLength + 1;

struct UsedIndexBitmap {
    BYTE bytes[UsedIndexBitmapCapacity];
    DWORD length; // leading bytes to write: 1 to UsedIndexBitmapCapacity
};

// One value of the network-store key as enumeration gives it; the data is never needed.
struct NetworkStoreValue {
    const WCHAR* name;
    DWORD nameLength;
    DWORD valueType;
};

void StartUsedIndexBitmap(UsedIndexBitmap* bitmap);

// Reads the interface type and index from a REG_BINARY value whose name is a NET_LUID; false for
// any other value.
bool ReadNetworkStoreName(const WCHAR* name, DWORD nameLength, DWORD valueType, WORD* type,
                          DWORD* index);

// Marks the value's interface index when the value is a REG_BINARY of the given type whose name is
// a NET_LUID; any other value is skipped.
void MarkNetworkStoreValue(UsedIndexBitmap* bitmap, WORD interfaceType, const WCHAR* name,
                           DWORD nameLength, DWORD valueType);

// Counts index 0 as used when nothing was found, then reserves the lowest free indices.
void FinishUsedIndexBitmap(UsedIndexBitmap* bitmap);

// The whole rebuild over values given in enumeration order.
void RebuildUsedIndicesFromValues(WORD interfaceType, const NetworkStoreValue* values,
                                  DWORD valueCount, UsedIndexBitmap* bitmap);

// Rebuilds the used-index bitmap of one interface type by walking the network-store key.
#pragma once

#include "repair/UsedIndexBitmap.h"

// Calls the visitor with the name, name length and type of every value of the open network-store
// key whose name fits a network-store name. False when the enumeration failed before its end.
typedef void (*NetworkStoreVisitor)(void* context, const WCHAR* name, DWORD nameLength,
                                    DWORD valueType);
bool VisitNetworkStoreValues(HKEY networkStoreKey, NetworkStoreVisitor visit, void* context);

// Marks in the bitmap the index of every interface of the type that the open network-store key
// lists. False when the enumeration failed before its end: the marks are then incomplete.
bool MarkNetworkStoreInterfaces(HKEY networkStoreKey, WORD interfaceType, UsedIndexBitmap* bitmap);

// Walks every value of the open network-store key. False when the enumeration failed before its
// end: the bitmap is then incomplete and must not be written.
bool RebuildUsedIndices(HKEY networkStoreKey, WORD interfaceType, UsedIndexBitmap* bitmap);

// The repair of one interface type in an offline SYSTEM hive: it reads the hive, checks that the
// change is safe, repairs in memory, writes the new hive and verifies it against the original.
#include "offline/OfflineRepair.h"

#include <cstdio>
#include <memory>
#include <vector>

#include "SystemHive.h"
#include "offline/HiveTree.h"
#include "registry/RegistryKey.h"
#include "repair/NumberText.h"
#include "repair/RebuildUsedIndices.h"
#include "repair/Repair.h"

namespace {

const char UsedName[] = "IfUsedNetLuidIndices";
const char BackupName[] = "IfUsedNetLuidIndices_ZARBBackup";

void Refuse(const std::string& reason) {
    fprintf(stderr, "zelvoran-offline: %s\n", reason.c_str());
}

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; *text != 0; ++text)
        if (*text != L'\r')
            out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

struct OldValue {
    bool present = false; // a REG_BINARY of at most the bitmap's size, read whole
    DWORD size = 0;       // the bytes read, or the declared size of one too large to read
    BYTE bytes[UsedIndexBitmapCapacity];
};

// Reads the type's current value as the repair does, never more than a bitmap can hold,
// whatever size the file declares.
OldValue ReadOldValue(WORD interfaceType) {
    OldValue old;
    WCHAR typeName[TypeNameCapacity];
    FormatDecimal(interfaceType, typeName, TypeNameCapacity);
    RegistryKey ifTypes;
    RegistryKey type;
    if (!ifTypes.Open(HKEY_LOCAL_MACHINE, IfTypesPath, KEY_READ) ||
        !type.Open(ifTypes.Get(), typeName, KEY_READ))
        return old;
    old.size = UsedIndexBitmapCapacity;
    old.present = ReadUsedIndices(&old.size, type.Get(), old.bytes);
    // A value too large to read leaves its declared size behind.
    if (!old.present && old.size > UsedIndexBitmapCapacity)
        Refuse(std::string(UsedName) + " of interface type " + std::to_string(interfaceType) +
               " is " + std::to_string(old.size) + " bytes long, more than the " +
               std::to_string(UsedIndexBitmapCapacity) + " bytes a bitmap of indices can have");
    return old;
}

// The interfaces of the type that the store lists, and the bitmap the repair makes of them.
struct StoreIndices {
    UsedIndexBitmap found;
    UsedIndexBitmap rebuilt;
};

StoreIndices ReadStore(WORD interfaceType) {
    StoreIndices store;
    StartUsedIndexBitmap(&store.found);
    RegistryKey key;
    // An incomplete walk makes the repair itself fail, so nothing is written from this one.
    if (key.Open(HKEY_LOCAL_MACHINE, NetworkStorePath, KEY_READ))
        MarkNetworkStoreInterfaces(key.Get(), interfaceType, &store.found);
    store.rebuilt = store.found;
    FinishUsedIndexBitmap(&store.rebuilt);
    return store;
}

bool IsSet(const UsedIndexBitmap& bitmap, DWORD index) {
    return index / 8 < bitmap.length && ((bitmap.bytes[index / 8] >> (index % 8)) & 1) != 0;
}

bool IsEmpty(const UsedIndexBitmap& bitmap) {
    for (DWORD i = 0; i < bitmap.length; ++i)
        if (bitmap.bytes[i] != 0)
            return false;
    return true;
}

std::string Hex(const BYTE* bytes, DWORD length) {
    std::string text;
    char byte[4];
    for (DWORD i = 0; i < length; ++i) {
        snprintf(byte, sizeof byte, "%02X", bytes[i]);
        text += (i == 0 ? "" : (i % 32 == 0 ? "\n    " : " "));
        text += byte;
    }
    return text.empty() ? "(empty)" : text;
}

std::string Ranges(const std::vector<bool>& set) {
    std::string text;
    for (size_t i = 0; i < set.size(); ++i) {
        if (!set[i])
            continue;
        size_t last = i;
        while (last + 1 < set.size() && set[last + 1])
            ++last;
        text += (text.empty() ? "" : ", ") + std::to_string(i);
        if (last > i)
            text += "-" + std::to_string(last);
        i = last;
    }
    return text.empty() ? "none" : text;
}

std::string Report(const OfflineRepairRequest& request, const OldValue& old,
                   const StoreIndices& store, int result) {
    std::string report = "\nHive: " + request.shownPath + " (CurrentControlSet is " +
                         CurrentControlSetName() + "), interface type " +
                         std::to_string(request.interfaceType) + "\n";
    if (old.present)
        report += "Old IfUsedNetLuidIndices, " + std::to_string(old.size) + " bytes:\n    " +
                  Hex(old.bytes, old.size) + "\n";
    if (result != RepairResultRepaired)
        return report;
    report += "New IfUsedNetLuidIndices, " + std::to_string(store.rebuilt.length) + " bytes" +
              (request.dryRun ? " (dry run: would be written)" : "") + ":\n    " +
              Hex(store.rebuilt.bytes, store.rebuilt.length) + "\n";
    std::vector<bool> found(UsedIndexLimit);
    std::vector<bool> reserved(UsedIndexLimit);
    const bool noneFound = IsEmpty(store.found);
    for (DWORD i = 0; i < UsedIndexLimit; ++i) {
        found[i] = IsSet(store.found, i);
        reserved[i] = IsSet(store.rebuilt, i) && !found[i] && !(noneFound && i == 0);
    }
    report += "Indices in use by interfaces: " + Ranges(found) +
              (noneFound ? " (index 0 is counted as used)" : "") + "\n";
    report += "Indices reserved:             " + Ranges(reserved) + "\n";
    return report;
}

std::vector<std::string> TypeKeyPath(WORD interfaceType) {
    return {CurrentControlSetName(), "services", "NDIS", "IfTypes", std::to_string(interfaceType)};
}

struct HiveCloser {
    void operator()(hive_h* hive) const { hivex_close(hive); }
};

// Opens the written hive afresh and compares it with the original, key by key and value by value.
bool VerifyNewHive(const OfflineRepairRequest& request, const OldValue& old,
                   const StoreIndices& store, std::string* error) {
    std::unique_ptr<hive_h, HiveCloser> original(hivex_open(request.hivePath.c_str(), 0));
    std::unique_ptr<hive_h, HiveCloser> written(hivex_open(request.temporaryPath.c_str(), 0));
    if (!original || !written) {
        *error = "the new hive does not open";
        return false;
    }
    const std::vector<ExpectedValue> expected = {
        {UsedName, REG_BINARY,
         std::vector<unsigned char>(store.rebuilt.bytes,
                                    store.rebuilt.bytes + store.rebuilt.length)},
        {BackupName, REG_BINARY, std::vector<unsigned char>(old.bytes, old.bytes + old.size)}};
    return CompareHives(original.get(), written.get(), TypeKeyPath(request.interfaceType), expected,
                        error);
}

} // namespace

OfflineRepairOutcome RepairOfflineHive(const OfflineRepairRequest& request) {
    OfflineRepairOutcome outcome;
    std::string error;
    // Opened for changes in memory also in a dry run: the repair runs the same, only its result
    // is never written.
    if (!OpenSystemHive(request.hivePath, true, &error)) {
        Refuse(error);
        return outcome;
    }
    const OldValue old = ReadOldValue(request.interfaceType);
    const StoreIndices store = ReadStore(request.interfaceType);
    if (old.present && old.size >= SmallestRepairedSize) {
        const hive_node_h typeKey =
            FindHiveKey(SystemHiveHandle(), TypeKeyPath(request.interfaceType));
        if (typeKey != 0 &&
            !CheckKeyCanBeRewritten(SystemHiveHandle(), typeKey, {UsedName, BackupName}, &error)) {
            Refuse(error + "; nothing was written");
            CloseSystemHive();
            return outcome;
        }
    }

    WCHAR statusMessage[StatusMessageCapacity];
    statusMessage[0] = 0;
    outcome.result = RepairInterfaceIndices(statusMessage, request.interfaceType);
    outcome.message = Narrow(statusMessage);
    if (outcome.result == RepairResultRepaired && request.dryRun)
        outcome.message = "A repair is needed (dry run: nothing was written).\n";
    if (outcome.result == RepairResultRepaired && !request.dryRun) {
        if (!CommitSystemHive(request.temporaryPath, &error) ||
            !VerifyNewHive(request, old, store, &error)) {
            Refuse("the new hive failed its check (" + error + "); the original is unchanged");
            outcome.result = RepairResultFailed;
            outcome.message = "Can't write to registry.\n";
        }
    }
    outcome.report = Report(request, old, store, outcome.result);
    CloseSystemHive();
    return outcome;
}

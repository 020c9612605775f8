// The overview of an offline SYSTEM hive: every interface type under IfTypes, its bitmap, the
// interfaces the network store lists for it, and whether the repair would change it.
#include "offline/OfflineList.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "SystemHive.h"
#include "offline/HiveTree.h"
#include "registry/RegistryKey.h"
#include "repair/RebuildUsedIndices.h"
#include "repair/Repair.h"

namespace {

void CountInterface(void* context, const WCHAR* name, DWORD nameLength, DWORD valueType) {
    WORD type = 0;
    DWORD index = 0;
    if (ReadNetworkStoreName(name, nameLength, valueType, &type, &index))
        ++(*static_cast<std::map<unsigned, unsigned>*>(context))[type];
}

std::string DescribeType(const std::string& typeName, const std::map<unsigned, unsigned>& store) {
    std::string line = "IfTypes\\" + typeName + ": ";
    char* end = nullptr;
    const unsigned long type = strtoul(typeName.c_str(), &end, 10);
    const auto interfaces = store.find(static_cast<unsigned>(type));
    const unsigned listed =
        *end == 0 && !typeName.empty() && interfaces != store.end() ? interfaces->second : 0;

    std::wstring wide(typeName.begin(), typeName.end());
    RegistryKey ifTypes;
    RegistryKey key;
    DWORD valueType = REG_NONE;
    DWORD size = 0;
    if (!ifTypes.Open(HKEY_LOCAL_MACHINE, IfTypesPath, KEY_READ) ||
        !key.Open(ifTypes.Get(), wide.c_str(), KEY_READ) ||
        RegQueryValueExW(key.Get(), UsedIndicesValue, nullptr, &valueType, nullptr, &size) !=
            ERROR_SUCCESS)
        return line + "no IfUsedNetLuidIndices; " + std::to_string(listed) +
               " interfaces in the network store; no repair";
    if (valueType != REG_BINARY || size > UsedIndexBitmapCapacity)
        return line + "IfUsedNetLuidIndices of " + std::to_string(size) + " bytes" +
               (valueType != REG_BINARY ? ", not REG_BINARY" : ", too long to be a bitmap") +
               "; the repair would fail";
    BYTE bytes[UsedIndexBitmapCapacity];
    DWORD read = UsedIndexBitmapCapacity;
    unsigned marked = 0;
    if (RegQueryValueExW(key.Get(), UsedIndicesValue, nullptr, nullptr, bytes, &read) ==
        ERROR_SUCCESS)
        for (DWORD i = 0; i < read * 8; ++i)
            marked += (bytes[i / 8] >> (i % 8)) & 1;
    return line + "IfUsedNetLuidIndices " + std::to_string(size) + " bytes, " +
           std::to_string(marked) + " indices marked used; " + std::to_string(listed) +
           " interfaces in the network store; " +
           (size >= SmallestRepairedSize ? "a repair would be made" : "no repair");
}

} // namespace

bool ListInterfaceTypes(const std::string& hivePath, std::string* listing) {
    std::string error;
    if (!OpenSystemHive(hivePath, false, &error)) {
        fprintf(stderr, "zelvoran-offline: %s\n", error.c_str());
        return false;
    }
    std::map<unsigned, unsigned> store;
    RegistryKey storeKey;
    if (storeKey.Open(HKEY_LOCAL_MACHINE, NetworkStorePath, KEY_READ))
        VisitNetworkStoreValues(storeKey.Get(), CountInterface, &store);
    storeKey.Close();

    hive_h* hive = SystemHiveHandle();
    const hive_node_h ifTypes =
        FindHiveKey(hive, {CurrentControlSetName(), "services", "NDIS", "IfTypes"});
    *listing = "CurrentControlSet is " + CurrentControlSetName() + "\n";
    if (ifTypes == 0) {
        *listing += "No IfTypes key.\n";
        CloseSystemHive();
        return true;
    }
    std::unique_ptr<hive_node_h, decltype(&free)> children(hivex_node_children(hive, ifTypes),
                                                           &free);
    for (hive_node_h* child = children.get(); child != nullptr && *child != 0; ++child) {
        std::unique_ptr<char, decltype(&free)> name(hivex_node_name(hive, *child), &free);
        if (name)
            *listing += DescribeType(name.get(), store) + "\n";
    }
    CloseSystemHive();
    return true;
}

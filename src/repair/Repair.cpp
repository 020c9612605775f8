// Repairs the used-index bitmap of one interface type, with a backup of the old value.
#include "repair/Repair.h"

#include "registry/RegistryKey.h"
#include "repair/NumberText.h"
#include "repair/RebuildUsedIndices.h"

const WCHAR IfTypesPath[] = L"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes";
const WCHAR NetworkStorePath[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Nsi\\{eb004a11-9b1a-11d4-9123-0050047759bc}\\10";
const WCHAR UsedIndicesValue[] = L"IfUsedNetLuidIndices";

namespace {

const WCHAR BackupValue[] = L"IfUsedNetLuidIndices_ZARBBackup";

// The keys of one repair, closed in the order type, IfTypes, network store.
struct RepairKeys {
    RegistryKey ifTypes;
    RegistryKey type;
    RegistryKey networkStore;

    void CloseAll() {
        type.Close();
        ifTypes.Close();
        networkStore.Close();
    }
};

void Say(WCHAR* statusMessage, const WCHAR* text) {
    if (statusMessage != nullptr)
        CopyMessage(statusMessage, text, StatusMessageCapacity);
}

void SayAboutTypeKey(WCHAR* statusMessage, const WCHAR* start, const WCHAR* typeName) {
    if (statusMessage == nullptr)
        return;
    CopyMessage(statusMessage, start, StatusMessageCapacity);
    AppendMessage(statusMessage, typeName);
    AppendMessage(statusMessage, L"\".\r\n");
}

bool SetBinaryValue(HKEY key, const WCHAR* name, const BYTE* data, DWORD size) {
    return RegSetValueExW(key, name, 0, REG_BINARY, data, size) == ERROR_SUCCESS;
}

int RepairWithKeys(WCHAR* statusMessage, WORD interfaceType, RepairKeys* keys) {
    Say(statusMessage, L"Unknown error.\r\n");

    if (!keys->ifTypes.Open(HKEY_LOCAL_MACHINE, IfTypesPath, KEY_READ)) {
        Say(statusMessage, L"Can't find registry key "
                           L"\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\".\r\n");
        return RepairResultFailed;
    }
    WCHAR typeName[TypeNameCapacity];
    FormatDecimal(interfaceType, typeName, TypeNameCapacity);
    if (!keys->type.Open(keys->ifTypes.Get(), typeName, KEY_READ)) {
        SayAboutTypeKey(statusMessage,
                        L"Can't open registry key "
                        L"\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\",
                        typeName);
        return RepairResultFailed;
    }
    if (!keys->networkStore.Open(HKEY_LOCAL_MACHINE, NetworkStorePath, KEY_READ)) {
        Say(statusMessage, L"Can't find registry key \"SYSTEM\\CurrentControlSet\\Control\\Nsi\\"
                           L"{eb004a11-9b1a-11d4-9123-0050047759bc}\\10\"\r\n");
        return RepairResultFailed;
    }

    BYTE currentValue[UsedIndexBitmapCapacity];
    DWORD currentSize = UsedIndexBitmapCapacity;
    if (!ReadUsedIndices(&currentSize, keys->type.Get(), currentValue))
        return RepairResultFailed;
    if (currentSize < SmallestRepairedSize) {
        Say(statusMessage, L"It's not necessary to repair ndis interface indices.\r\n");
        return RepairResultNothingToDo;
    }

    // An incomplete walk could mark the index of a live interface free: write nothing then.
    UsedIndexBitmap bitmap;
    if (!RebuildUsedIndices(keys->networkStore.Get(), interfaceType, &bitmap))
        return RepairResultFailed;

    keys->type.Close();
    if (!keys->type.Open(keys->ifTypes.Get(), typeName, KEY_WRITE)) {
        SayAboutTypeKey(statusMessage,
                        L"Can't open for write registry key "
                        L"\"SYSTEM\\CurrentControlSet\\services\\NDIS\\IfTypes\\",
                        typeName);
        return RepairResultFailed;
    }
    // The backup is a courtesy: its failure does not stop the repair.
    SetBinaryValue(keys->type.Get(), BackupValue, currentValue, currentSize);
    if (!SetBinaryValue(keys->type.Get(), UsedIndicesValue, bitmap.bytes, bitmap.length)) {
        Say(statusMessage, L"Can't write to registry.\r\n");
        return RepairResultFailed;
    }
    Say(statusMessage, L"Repair successful.\r\n");
    return RepairResultRepaired;
}

} // namespace

int RepairInterfaceIndices(WCHAR* statusMessage, WORD interfaceType) {
    if (!IsVistaOrLater()) {
        Say(statusMessage,
            L"Repair ndis interface indices can by used only on Vista or higher.\r\n");
        return RepairResultNothingToDo;
    }
    RepairKeys keys;
    const int result = RepairWithKeys(statusMessage, interfaceType, &keys);
    keys.CloseAll();
    return result;
}

bool IsVistaOrLater() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXW);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version))) {
        version = OSVERSIONINFOEXW();
        version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
        if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
            return false;
    }
    return version.dwMajorVersion >= 6;
}

bool ReadUsedIndices(DWORD* size, HKEY typeKey, BYTE* buffer) {
    DWORD type = REG_NONE;
    DWORD dataSize = 0;
    if (RegQueryValueExW(typeKey, UsedIndicesValue, nullptr, &type, nullptr, &dataSize) !=
            ERROR_SUCCESS ||
        type != REG_BINARY)
        return false;
    if (dataSize > *size) {
        *size = dataSize;
        return false;
    }
    DWORD readSize = *size;
    if (RegQueryValueExW(typeKey, UsedIndicesValue, nullptr, nullptr, buffer, &readSize) !=
        ERROR_SUCCESS)
        return false;
    *size = readSize;
    return true;
}

void CopyMessage(WCHAR* statusMessage, const WCHAR* text, unsigned capacity) {
    if (capacity == 0)
        return;
    unsigned i = 0;
    for (; i + 1 < capacity && text[i] != 0; ++i)
        statusMessage[i] = text[i];
    statusMessage[i] = 0;
}

void AppendMessage(WCHAR* statusMessage, const WCHAR* text) {
    const size_t length = wcslen(statusMessage);
    if (length + 1 >= StatusMessageCapacity)
        return;
    CopyMessage(statusMessage + length, text,
                static_cast<unsigned>(StatusMessageCapacity - length));
}

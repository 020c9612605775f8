// zelvoran-offline: the repair of Zelvoran applied to the SYSTEM hive file of a Windows
// installation that is not running.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "SystemHive.h"
#include "registry/RegistryKey.h"
#include "repair/NumberText.h"
#include "repair/RebuildUsedIndices.h"
#include "repair/Repair.h"

namespace {

const int ExitBadUsage = 2;

const char Usage[] =
    "Usage: zelvoran-offline [--iftype N] [--dry-run] PATH/TO/SYSTEM\n"
    "Repairs the used interface indices (IfUsedNetLuidIndices) of one interface type in the\n"
    "SYSTEM hive file of a Windows installation that is not running.\n"
    "  --iftype N   the interface type, 1 to 65535 (default 1)\n"
    "  --dry-run    compute and report the repair, change nothing\n"
    "  --help       show this text\n"
    "Exit code: 1 repaired, 0 nothing to do, -1 (255) failure, 2 bad usage.\n";

struct Options {
    WORD interfaceType = 1;
    bool dryRun = false;
    bool help = false;
    std::string path;
};

bool ReadInterfaceTypeOption(const char* text, WORD* type) {
    std::wstring wide(text, text + strlen(text));
    const WORD value = static_cast<WORD>(ReadUnsigned32(wide.c_str(), 10) & 0xFFFFu);
    if (value == 0)
        return false;
    *type = value;
    return true;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    bool pathSeen = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help") {
            options->help = true;
        } else if (argument == "--dry-run") {
            options->dryRun = true;
        } else if (argument == "--iftype" && i + 1 < argc) {
            if (!ReadInterfaceTypeOption(argv[++i], &options->interfaceType))
                return false;
        } else if (argument.rfind("--iftype=", 0) == 0) {
            if (!ReadInterfaceTypeOption(argument.c_str() + 9, &options->interfaceType))
                return false;
        } else if (argument == "--" && i + 2 == argc && !pathSeen) {
            options->path = argv[++i];
            pathSeen = true;
        } else if (!argument.empty() && argument[0] != '-' && !pathSeen) {
            options->path = argument;
            pathSeen = true;
        } else {
            return false;
        }
    }
    return pathSeen || options->help;
}

std::string Narrow(const WCHAR* text) {
    std::string out;
    for (; *text != 0; ++text)
        if (*text != L'\r')
            out += *text < 0x80 ? static_cast<char>(*text) : '?';
    return out;
}

bool ReadUsedValue(WORD interfaceType, std::vector<BYTE>* bytes) {
    WCHAR typeName[TypeNameCapacity];
    FormatDecimal(interfaceType, typeName, TypeNameCapacity);
    RegistryKey ifTypes;
    RegistryKey type;
    if (!ifTypes.Open(HKEY_LOCAL_MACHINE, IfTypesPath, KEY_READ) ||
        !type.Open(ifTypes.Get(), typeName, KEY_READ))
        return false;
    DWORD valueType = 0;
    DWORD size = 0;
    if (RegQueryValueExW(type.Get(), UsedIndicesValue, nullptr, &valueType, nullptr, &size) !=
        ERROR_SUCCESS)
        return false;
    bytes->resize(size);
    return RegQueryValueExW(type.Get(), UsedIndicesValue, nullptr, &valueType, bytes->data(),
                            &size) == ERROR_SUCCESS;
}

// The indices of the interfaces of the type that the network store lists, below the limit.
std::vector<bool> FoundInterfaces(WORD interfaceType) {
    std::vector<bool> found(UsedIndexLimit, false);
    RegistryKey store;
    if (!store.Open(HKEY_LOCAL_MACHINE, NetworkStorePath, KEY_READ))
        return found;
    UsedIndexBitmap bitmap;
    StartUsedIndexBitmap(&bitmap);
    // An incomplete walk shows what it found: this is a report, nothing is written from it.
    MarkNetworkStoreInterfaces(store.Get(), interfaceType, &bitmap);
    for (DWORD i = 0; i < UsedIndexLimit; ++i)
        found[i] = (bitmap.bytes[i / 8] >> (i % 8)) & 1;
    return found;
}

std::string Hex(const std::vector<BYTE>& bytes) {
    std::string text;
    char byte[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
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

void Report(const Options& options, bool hadOld, const std::vector<BYTE>& old, int result) {
    printf("\nHive: %s (CurrentControlSet is %s), interface type %u\n", options.path.c_str(),
           CurrentControlSetName().c_str(), options.interfaceType);
    if (hadOld)
        printf("Old IfUsedNetLuidIndices, %zu bytes:\n    %s\n", old.size(), Hex(old).c_str());
    if (result != RepairResultRepaired)
        return;
    std::vector<BYTE> now;
    ReadUsedValue(options.interfaceType, &now);
    printf("New IfUsedNetLuidIndices, %zu bytes%s:\n    %s\n", now.size(),
           options.dryRun ? " (dry run: not written)" : "", Hex(now).c_str());
    const std::vector<bool> found = FoundInterfaces(options.interfaceType);
    std::vector<bool> reserved(UsedIndexLimit, false);
    for (size_t i = 0; i < now.size() * 8 && i < UsedIndexLimit; ++i)
        reserved[i] = ((now[i / 8] >> (i % 8)) & 1) && !found[i];
    printf("Indices in use by interfaces: %s\n", Ranges(found).c_str());
    printf("Indices reserved:             %s\n", Ranges(reserved).c_str());
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fputs(Usage, stderr);
        return ExitBadUsage;
    }
    if (options.help) {
        fputs(Usage, stdout);
        return 0;
    }
    std::string error;
    if (!OpenSystemHive(options.path, &error)) {
        fprintf(stderr, "zelvoran-offline: %s\n", error.c_str());
        return RepairResultFailed;
    }
    std::vector<BYTE> old;
    const bool hadOld = ReadUsedValue(options.interfaceType, &old);

    WCHAR statusMessage[StatusMessageCapacity];
    statusMessage[0] = 0;
    int result = RepairInterfaceIndices(statusMessage, options.interfaceType);
    if (result == RepairResultRepaired && !options.dryRun && !CommitSystemHive(&error)) {
        CopyMessage(statusMessage, L"Can't write to registry.\r\n", StatusMessageCapacity);
        fprintf(stderr, "zelvoran-offline: %s\n", error.c_str());
        result = RepairResultFailed;
    }
    printf("%s", Narrow(statusMessage).c_str());
    if (result > 0 && !options.dryRun)
        printf("\nYou need to restart your computer.\n");
    Report(options, hadOld, old, result);
    if (options.dryRun)
        printf("Dry run: %s was left unchanged.\n", options.path.c_str());
    CloseSystemHive();
    return result;
}

// The Windows registry calls of the tool over a SYSTEM hive file, through hivex.
#include "SystemHive.h"
#include "platform/posix/KeyPath.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <hivex.h>
#include <memory>
#include <set>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const size_t BaseBlockSize = 4096;

struct OpenKey {
    hive_node_h node = 0;
    bool valuesLoaded = false;
    std::vector<hive_value_h> values; // enumeration order, loaded once per handle
};

struct Hive {
    hive_h* handle = nullptr;
    std::string path;
    hive_node_h root = 0;
    hive_node_h controlSet = 0;
    std::string controlSetName;
    std::set<OpenKey*> keys;
};

Hive& State() {
    static Hive hive;
    return hive;
}

std::string ToUtf8(const WCHAR* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        const uint32_t c = static_cast<uint32_t>(*text);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring FromUtf8(const char* text) {
    std::wstring out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        uint32_t c = *p++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        c &= extra == 3 ? 0x07 : extra == 2 ? 0x0F : extra == 1 ? 0x1F : 0x7F;
        for (; extra > 0 && (*p & 0xC0) == 0x80; --extra)
            c = (c << 6) | (*p++ & 0x3F);
        out += static_cast<wchar_t>(c);
    }
    return out;
}

// Length in UTF-16 code units, as Windows counts names.
size_t Utf16Length(const std::wstring& text) {
    size_t length = 0;
    for (wchar_t c : text)
        length += static_cast<uint32_t>(c) >= 0x10000 ? 2 : 1;
    return length;
}

std::vector<std::string> KeyNamesInUtf8(const WCHAR* path) {
    std::vector<std::string> parts;
    for (const std::wstring& name : SplitKeyPath(std::wstring(path != nullptr ? path : L"")))
        parts.push_back(ToUtf8(name.c_str()));
    return parts;
}

// Walks the path from a key of the hive, or from HKEY_LOCAL_MACHINE, whose only key is SYSTEM.
// CurrentControlSet under SYSTEM is the control set that Select\Current names.
LSTATUS Resolve(HKEY parent, const WCHAR* subKey, bool create, hive_node_h* found) {
    Hive& hive = State();
    if (hive.handle == nullptr)
        return ERROR_INVALID_HANDLE;
    std::vector<std::string> parts = KeyNamesInUtf8(subKey);
    hive_node_h node;
    size_t first = 0;
    if (parent == HKEY_LOCAL_MACHINE) {
        if (parts.empty() || strcasecmp(parts[0].c_str(), "SYSTEM") != 0)
            return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        node = hive.root;
        first = 1;
    } else {
        OpenKey* key = reinterpret_cast<OpenKey*>(parent);
        if (hive.keys.count(key) == 0)
            return ERROR_INVALID_HANDLE;
        node = key->node;
    }
    for (size_t i = first; i < parts.size(); ++i) {
        if (node == hive.root && strcasecmp(parts[i].c_str(), "CurrentControlSet") == 0) {
            node = hive.controlSet;
            continue;
        }
        errno = 0;
        hive_node_h child = hivex_node_get_child(hive.handle, node, parts[i].c_str());
        if (child == 0 && errno != 0)
            return ERROR_BADKEY;
        if (child == 0 && create)
            child = hivex_node_add_child(hive.handle, node, parts[i].c_str());
        if (child == 0)
            return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        node = child;
    }
    *found = node;
    return ERROR_SUCCESS;
}

LSTATUS OpenOrCreate(HKEY parent, const WCHAR* subKey, bool create, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    hive_node_h node = 0;
    const LSTATUS status = Resolve(parent, subKey, create, &node);
    if (status != ERROR_SUCCESS)
        return status;
    OpenKey* key = new OpenKey();
    key->node = node;
    State().keys.insert(key);
    *result = reinterpret_cast<HKEY>(key);
    return ERROR_SUCCESS;
}

OpenKey* FindKey(HKEY handle) {
    OpenKey* key = reinterpret_cast<OpenKey*>(handle);
    return State().keys.count(key) != 0 ? key : nullptr;
}

hive_node_h ChildByName(hive_node_h node, const char* name) {
    return node == 0 ? 0 : hivex_node_get_child(State().handle, node, name);
}

bool ReadDword(hive_node_h node, const char* name, DWORD* value) {
    hive_value_h found = hivex_node_get_value(State().handle, node, name);
    if (found == 0)
        return false;
    hive_type type;
    size_t length = 0;
    if (hivex_value_type(State().handle, found, &type, &length) != 0 || type != hive_t_REG_DWORD ||
        length != 4)
        return false;
    *value = static_cast<DWORD>(hivex_value_dword(State().handle, found));
    return true;
}

// The base block's own checks: a regf signature, and equal sequence numbers. Different numbers
// mean Windows did not finish a write; it would replay its logs over any change of ours.
bool CheckBaseBlock(const std::string& path, std::string* error) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    unsigned char block[BaseBlockSize];
    const size_t read = fread(block, 1, sizeof block, file);
    fclose(file);
    if (read < 12 || memcmp(block, "regf", 4) != 0) {
        *error = path + " is not a registry hive file";
        return false;
    }
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(block[at]) | static_cast<uint32_t>(block[at + 1]) << 8 |
               static_cast<uint32_t>(block[at + 2]) << 16 |
               static_cast<uint32_t>(block[at + 3]) << 24;
    };
    if (le32(4) != le32(8)) {
        *error = path + " is dirty (its sequence numbers differ): let Windows finish with it, or "
                        "replay its transaction logs, before repairing it";
        return false;
    }
    return true;
}

bool SyncPath(const std::string& path, int flags) {
    const int fd = open(path.c_str(), flags);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    return close(fd) == 0 && synced;
}

} // namespace

bool OpenSystemHive(const std::string& path, std::string* error) {
    CloseSystemHive();
    if (!CheckBaseBlock(path, error))
        return false;
    Hive& hive = State();
    hive.handle = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    if (hive.handle == nullptr) {
        *error = path + " is not a valid registry hive (" + strerror(errno) + ")";
        return false;
    }
    hive.path = path;
    hive.root = hivex_root(hive.handle);
    DWORD current = 0;
    if (!ReadDword(ChildByName(hive.root, "Select"), "Current", &current)) {
        *error = path + " has no Select\\Current value: is it a SYSTEM hive?";
        CloseSystemHive();
        return false;
    }
    char name[32];
    snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(current));
    hive.controlSetName = name;
    hive.controlSet = ChildByName(hive.root, name);
    if (hive.controlSet == 0) {
        *error = path + " has no " + name + ", the control set that Select\\Current names";
        CloseSystemHive();
        return false;
    }
    return true;
}

bool CommitSystemHive(std::string* error) {
    Hive& hive = State();
    struct stat original;
    if (stat(hive.path.c_str(), &original) != 0) {
        *error = "cannot read the attributes of " + hive.path + ": " + strerror(errno);
        return false;
    }
    const std::string temporary = hive.path + ".zelvoran-new";
    bool written = hivex_commit(hive.handle, temporary.c_str(), 0) == 0;
    if (!written)
        *error = "cannot write " + temporary + ": " + strerror(errno);
    if (written && (chown(temporary.c_str(), original.st_uid, original.st_gid) != 0 ||
                    chmod(temporary.c_str(), original.st_mode & 07777) != 0)) {
        *error = "cannot give " + temporary + " the owner and mode of the hive: " + strerror(errno);
        written = false;
    }
    if (written && !SyncPath(temporary, O_RDONLY)) {
        *error = "cannot flush " + temporary + " to disk: " + strerror(errno);
        written = false;
    }
    if (written && rename(temporary.c_str(), hive.path.c_str()) != 0) {
        *error = "cannot replace " + hive.path + ": " + strerror(errno);
        written = false;
    }
    if (!written) {
        unlink(temporary.c_str());
        return false;
    }
    const size_t slash = hive.path.rfind('/');
    SyncPath(slash == std::string::npos ? "." : hive.path.substr(0, slash + 1), O_RDONLY);
    return true;
}

void CloseSystemHive() {
    Hive& hive = State();
    for (OpenKey* key : hive.keys)
        delete key;
    if (hive.handle != nullptr)
        hivex_close(hive.handle);
    hive = Hive();
}

std::string CurrentControlSetName() {
    return State().controlSetName;
}

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM /*desired*/,
                      PHKEY result) {
    return OpenOrCreate(key, subKey, false, result);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*keyClass*/,
                        DWORD /*options*/, REGSAM /*desired*/, LPSECURITY_ATTRIBUTES /*security*/,
                        PHKEY result, LPDWORD /*disposition*/) {
    return OpenOrCreate(key, subKey, true, result);
}

LSTATUS RegCloseKey(HKEY handle) {
    if (handle == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    OpenKey* key = FindKey(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    State().keys.erase(key);
    delete key;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY handle, LPCWSTR valueName, LPDWORD /*reserved*/, LPDWORD type,
                         LPBYTE data, LPDWORD dataSize) {
    OpenKey* key = FindKey(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (data != nullptr && dataSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    hive_h* hive = State().handle;
    const hive_value_h value = hivex_node_get_value(hive, key->node, ToUtf8(valueName).c_str());
    if (value == 0)
        return ERROR_FILE_NOT_FOUND;
    hive_type valueType;
    size_t length = 0;
    if (hivex_value_type(hive, value, &valueType, &length) != 0)
        return ERROR_BADKEY;
    if (type != nullptr)
        *type = static_cast<DWORD>(valueType);
    LSTATUS result = ERROR_SUCCESS;
    if (data != nullptr && *dataSize < length) {
        result = ERROR_MORE_DATA;
    } else if (data != nullptr) {
        std::unique_ptr<char, decltype(&free)> bytes(
            hivex_value_value(hive, value, &valueType, &length), &free);
        if (!bytes)
            return ERROR_BADKEY;
        memcpy(data, bytes.get(), length);
    }
    if (dataSize != nullptr)
        *dataSize = static_cast<DWORD>(length);
    return result;
}

LSTATUS RegEnumValueW(HKEY handle, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                      LPDWORD /*reserved*/, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    OpenKey* key = FindKey(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if (valueName == nullptr || valueNameLength == nullptr || data != nullptr ||
        dataSize != nullptr)
        return ERROR_INVALID_PARAMETER;
    hive_h* hive = State().handle;
    if (!key->valuesLoaded) {
        std::unique_ptr<hive_value_h, decltype(&free)> values(hivex_node_values(hive, key->node),
                                                              &free);
        if (!values)
            return ERROR_BADKEY;
        for (hive_value_h* value = values.get(); *value != 0; ++value)
            key->values.push_back(*value);
        key->valuesLoaded = true;
    }
    if (index >= key->values.size())
        return ERROR_NO_MORE_ITEMS;
    const hive_value_h value = key->values[index];
    std::unique_ptr<char, decltype(&free)> utf8(hivex_value_key(hive, value), &free);
    if (!utf8)
        return ERROR_BADKEY;
    const std::wstring name = FromUtf8(utf8.get());
    if (Utf16Length(name) + 1 > *valueNameLength)
        return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), valueName);
    valueName[name.size()] = 0;
    *valueNameLength = static_cast<DWORD>(Utf16Length(name));
    if (type != nullptr) {
        hive_type valueType;
        size_t length = 0;
        if (hivex_value_type(hive, value, &valueType, &length) != 0)
            return ERROR_BADKEY;
        *type = static_cast<DWORD>(valueType);
    }
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY handle, LPCWSTR valueName, DWORD /*reserved*/, DWORD type,
                       const BYTE* data, DWORD dataSize) {
    OpenKey* key = FindKey(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    std::string name = ToUtf8(valueName);
    std::vector<char> bytes(data, data + dataSize);
    hive_set_value value;
    value.key = name.data();
    value.t = static_cast<hive_type>(type);
    value.len = dataSize;
    value.value = bytes.data();
    if (hivex_node_set_value(State().handle, key->node, &value, 0) != 0)
        return ERROR_WRITE_FAULT;
    // The value list of the node has been rewritten: enumeration must read it anew.
    for (OpenKey* open : State().keys)
        if (open->node == key->node) {
            open->valuesLoaded = false;
            open->values.clear();
        }
    return ERROR_SUCCESS;
}

// A hive with the interface-type keys of NDIS comes from Vista or later.
BOOL GetVersionExW(LPOSVERSIONINFOW info) {
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW) &&
                            info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOEXW)))
        return FALSE;
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 0;
    info->dwPlatformId = 2;
    return TRUE;
}

// The Windows registry calls of the tool over a SYSTEM hive file, through hivex.
#include "SystemHive.h"
#include "platform/posix/KeyPath.h"
#include "platform/posix/RegistryName.h"

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
    REGSAM access = 0;
    bool valuesLoaded = false;
    std::vector<hive_value_h> values; // enumeration order, loaded once per handle
};

struct Hive {
    hive_h* handle = nullptr;
    hive_node_h root = 0;
    hive_node_h controlSet = 0;
    std::string controlSetName;
    std::set<OpenKey*> keys;
};

Hive& State() {
    static Hive hive;
    return hive;
}

// Names as Windows holds them: UTF-16 code units, one WCHAR each, surrogate pairs included.
std::string ToUtf8(const WCHAR* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        uint32_t c = static_cast<uint32_t>(*text) & 0xFFFFu;
        if (c >= 0xD800 && c < 0xDC00 && text[1] >= 0xDC00 && text[1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[1]) - 0xDC00);
            ++text;
        }
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

// UTF-8 from the library to UTF-16 code units; false on a malformed sequence.
bool FromUtf8(const char* text, std::wstring* units) {
    units->clear();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        uint32_t c = *p++;
        const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if ((c >= 0x80 && c < 0xC0) || c >= 0xF8)
            return false;
        c &= extra == 3 ? 0x07 : extra == 2 ? 0x0F : extra == 1 ? 0x1F : 0x7F;
        for (int i = 0; i < extra; ++i, ++p) {
            if ((*p & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (*p & 0x3F);
        }
        if (c > 0x10FFFF)
            return false;
        if (c >= 0x10000) {
            units->push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
            units->push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            units->push_back(static_cast<wchar_t>(c));
        }
    }
    return true;
}

// The library reports a value's type through its enum, which cannot hold every type a file may
// declare: it writes into plain 32-bit storage here, never read as the enum.
static_assert(sizeof(hive_type) == sizeof(uint32_t), "hive_type is a 32-bit enum");
bool ValueTypeAndLength(hive_h* hive, hive_value_h value, DWORD* type, size_t* length) {
    uint32_t raw = 0;
    if (hivex_value_type(hive, value, reinterpret_cast<hive_type*>(&raw), length) != 0)
        return false;
    *type = raw;
    return true;
}

// The child of the node with the name, compared as Windows compares names; 0 when there is none.
// False when the node's subkeys cannot be read.
bool ChildNamed(hive_h* hive, hive_node_h node, const std::wstring& name, hive_node_h* found) {
    *found = 0;
    std::unique_ptr<hive_node_h, decltype(&free)> children(hivex_node_children(hive, node), &free);
    if (!children)
        return false;
    std::wstring childName;
    for (hive_node_h* child = children.get(); *child != 0; ++child) {
        std::unique_ptr<char, decltype(&free)> utf8(hivex_node_name(hive, *child), &free);
        if (utf8 && FromUtf8(utf8.get(), &childName) && SameRegistryName(childName, name)) {
            *found = *child;
            return true;
        }
    }
    return true;
}

// Walks the path from a key of the hive, or from HKEY_LOCAL_MACHINE, whose only key is SYSTEM.
// CurrentControlSet under SYSTEM is the control set that Select\Current names.
LSTATUS Resolve(HKEY parent, const WCHAR* subKey, bool create, hive_node_h* found) {
    Hive& hive = State();
    if (hive.handle == nullptr)
        return ERROR_INVALID_HANDLE;
    if (IsBadKeyPath(subKey))
        return ERROR_BAD_PATHNAME;
    const std::vector<std::wstring> parts =
        SplitKeyPath(std::wstring(subKey != nullptr ? subKey : L""));
    for (const std::wstring& part : parts)
        if (part.size() > LongestKeyName)
            return ERROR_INVALID_PARAMETER;
    hive_node_h node;
    size_t first = 0;
    if (parent == HKEY_LOCAL_MACHINE) {
        if (parts.empty() || !SameRegistryName(parts[0], L"SYSTEM"))
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
        if (node == hive.root && SameRegistryName(parts[i], L"CurrentControlSet")) {
            node = hive.controlSet;
            continue;
        }
        hive_node_h child = 0;
        if (!ChildNamed(hive.handle, node, parts[i], &child))
            return ERROR_BADKEY;
        if (child == 0 && create)
            child = hivex_node_add_child(hive.handle, node, ToUtf8(parts[i].c_str()).c_str());
        if (child == 0)
            return create ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
        node = child;
    }
    *found = node;
    return ERROR_SUCCESS;
}

LSTATUS OpenOrCreate(HKEY parent, const WCHAR* subKey, bool create, REGSAM access, PHKEY result) {
    if (result == nullptr)
        return ERROR_INVALID_PARAMETER;
    hive_node_h node = 0;
    const LSTATUS status = Resolve(parent, subKey, create, &node);
    if (status != ERROR_SUCCESS)
        return status;
    OpenKey* key = new OpenKey();
    key->node = node;
    key->access = access;
    State().keys.insert(key);
    *result = reinterpret_cast<HKEY>(key);
    return ERROR_SUCCESS;
}

OpenKey* FindKey(HKEY handle) {
    OpenKey* key = reinterpret_cast<OpenKey*>(handle);
    return State().keys.count(key) != 0 ? key : nullptr;
}

hive_node_h ChildByName(hive_node_h node, const char* name) {
    return FindHiveChild(State().handle, node, name);
}

bool ReadDword(hive_node_h node, const char* name, DWORD* value) {
    hive_value_h found = hivex_node_get_value(State().handle, node, name);
    if (found == 0)
        return false;
    DWORD type = REG_NONE;
    size_t length = 0;
    if (!ValueTypeAndLength(State().handle, found, &type, &length) || type != REG_DWORD ||
        length != 4)
        return false;
    *value = static_cast<DWORD>(hivex_value_dword(State().handle, found));
    return true;
}

// The values of the node whose name equals the given one as Windows compares names, with the
// stored spelling of the first. False when the node's values cannot be read.
bool MatchingValues(hive_node_h node, const WCHAR* name, std::vector<hive_value_h>* matches,
                    std::string* stored) {
    hive_h* hive = State().handle;
    std::unique_ptr<hive_value_h, decltype(&free)> values(hivex_node_values(hive, node), &free);
    if (!values)
        return false;
    const std::wstring wanted = name != nullptr ? name : L"";
    std::wstring valueName;
    for (hive_value_h* value = values.get(); *value != 0; ++value) {
        std::unique_ptr<char, decltype(&free)> key(hivex_value_key(hive, *value), &free);
        if (!key || !FromUtf8(key.get(), &valueName) || !SameRegistryName(valueName, wanted))
            continue;
        if (matches->empty())
            *stored = key.get();
        matches->push_back(*value);
    }
    return true;
}

} // namespace

bool OpenSystemHive(const std::string& path, bool forWriting, std::string* error) {
    CloseSystemHive();
    Hive& hive = State();
    hive.handle = hivex_open(path.c_str(), forWriting ? HIVEX_OPEN_WRITE : 0);
    if (hive.handle == nullptr) {
        *error = "the hive is not valid (" + std::string(strerror(errno)) + ")";
        return false;
    }
    hive.root = hivex_root(hive.handle);
    DWORD current = 0;
    if (!ReadDword(ChildByName(hive.root, "Select"), "Current", &current)) {
        *error = "the hive has no Select\\Current value: is it a SYSTEM hive?";
        CloseSystemHive();
        return false;
    }
    char name[32];
    snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(current));
    hive.controlSetName = name;
    hive.controlSet = ChildByName(hive.root, name);
    if (hive.controlSet == 0) {
        *error =
            "the hive has no " + std::string(name) + ", the control set that Select\\Current names";
        CloseSystemHive();
        return false;
    }
    return true;
}

bool CommitSystemHive(const std::string& destination, std::string* error) {
    if (hivex_commit(State().handle, destination.c_str(), 0) != 0) {
        *error = "cannot write the new hive: " + std::string(strerror(errno));
        return false;
    }
    return true;
}

hive_node_h FindHiveChild(hive_h* hive, hive_node_h node, const std::string& name) {
    std::wstring wide;
    hive_node_h child = 0;
    if (node == 0 || !FromUtf8(name.c_str(), &wide) || !ChildNamed(hive, node, wide, &child))
        return 0;
    return child;
}

hive_h* SystemHiveHandle() {
    return State().handle;
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

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM desired, PHKEY result) {
    return OpenOrCreate(key, subKey, false, desired, result);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*keyClass*/,
                        DWORD /*options*/, REGSAM desired, LPSECURITY_ATTRIBUTES /*security*/,
                        PHKEY result, LPDWORD /*disposition*/) {
    return OpenOrCreate(key, subKey, true, desired, result);
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
    if ((key->access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (data != nullptr && dataSize == nullptr)
        return ERROR_INVALID_PARAMETER;
    hive_h* hive = State().handle;
    std::vector<hive_value_h> matches;
    std::string stored;
    if (!MatchingValues(key->node, valueName, &matches, &stored))
        return ERROR_BADKEY;
    if (matches.empty())
        return ERROR_FILE_NOT_FOUND;
    const hive_value_h value = matches.front();
    DWORD valueType = REG_NONE;
    size_t length = 0;
    if (!ValueTypeAndLength(hive, value, &valueType, &length))
        return ERROR_BADKEY;
    if (type != nullptr)
        *type = valueType;
    LSTATUS result = ERROR_SUCCESS;
    // The declared length is checked against the caller's buffer before anything is read.
    if (data != nullptr && *dataSize < length) {
        result = ERROR_MORE_DATA;
    } else if (data != nullptr) {
        uint32_t ignored = 0;
        size_t read = 0;
        std::unique_ptr<char, decltype(&free)> bytes(
            hivex_value_value(hive, value, reinterpret_cast<hive_type*>(&ignored), &read), &free);
        if (!bytes || read != length)
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
    if ((key->access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
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
    // Windows gives the type also when the name does not fit, and leaves name and length alone.
    if (type != nullptr) {
        size_t length = 0;
        if (!ValueTypeAndLength(hive, value, type, &length))
            return ERROR_BADKEY;
    }
    // A name the library cannot decode is no interface name: like one too long for the buffer,
    // the walk skips it.
    std::unique_ptr<char, decltype(&free)> utf8(hivex_value_key(hive, value), &free);
    std::wstring name;
    if (!utf8 || !FromUtf8(utf8.get(), &name) || name.size() + 1 > *valueNameLength)
        return ERROR_MORE_DATA;
    std::copy(name.begin(), name.end(), valueName);
    valueName[name.size()] = 0;
    *valueNameLength = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY handle, LPCWSTR valueName, DWORD /*reserved*/, DWORD type,
                       const BYTE* data, DWORD dataSize) {
    OpenKey* key = FindKey(handle);
    if (key == nullptr)
        return ERROR_INVALID_HANDLE;
    if ((key->access & KEY_SET_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    // An existing value keeps the spelling it is stored with; two that match are not guessed at.
    std::string name = ToUtf8(valueName);
    std::vector<hive_value_h> matches;
    std::string stored;
    if (!MatchingValues(key->node, valueName, &matches, &stored) || matches.size() > 1)
        return ERROR_BADKEY;
    if (matches.size() == 1)
        name = stored;
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

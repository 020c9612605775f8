// An in-memory registry behind the Windows registry calls, with failure injection and a call log.
#include "StandIn.h"
#include "StandInState.h"
#include "platform/posix/KeyPath.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <memory>
#include <unordered_map>

namespace standin {
namespace {

struct Value {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
};

struct Key {
    std::wstring name;
    std::vector<std::unique_ptr<Key>> children;
    std::vector<Value> values; // in order of creation, as enumeration returns them
    std::unordered_map<std::wstring, size_t> valueIndex; // by lower-case name
};

struct OpenHandle {
    Key* key;
    std::wstring path;
    REGSAM access;
};

struct Failure {
    Operation operation;
    std::wstring target;
    LSTATUS error;
    bool once;
};

struct Registry {
    Key root;
    std::map<HKEY, OpenHandle> handles;
    uintptr_t nextHandle = 0x1000;
    std::vector<Failure> failures;
    std::vector<CallRecord> calls;
    std::vector<std::wstring> closed;
};

Registry& State() {
    static Registry registry;
    return registry;
}

bool SameName(const std::wstring& a, const std::wstring& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](wchar_t x, wchar_t y) { return std::towlower(x) == std::towlower(y); });
}

Key* FindChild(Key* key, const std::wstring& name) {
    for (auto& child : key->children)
        if (SameName(child->name, name))
            return child.get();
    return nullptr;
}

Key* FindKey(Key* start, const std::wstring& path, bool create) {
    Key* key = start;
    for (const std::wstring& part : SplitKeyPath(path)) {
        Key* child = FindChild(key, part);
        if (child == nullptr) {
            if (!create)
                return nullptr;
            key->children.push_back(std::make_unique<Key>());
            child = key->children.back().get();
            child->name = part;
        }
        key = child;
    }
    return key;
}

std::wstring LowerCase(const std::wstring& name) {
    std::wstring lower = name;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(std::towlower(c));
    return lower;
}

Value* FindValue(Key* key, const std::wstring& name) {
    auto found = key->valueIndex.find(LowerCase(name));
    return found == key->valueIndex.end() ? nullptr : &key->values[found->second];
}

void AddValue(Key* key, const std::wstring& name, DWORD type, const std::vector<BYTE>& data) {
    key->valueIndex[LowerCase(name)] = key->values.size();
    key->values.push_back(Value{name, type, data});
}

std::wstring JoinPath(const std::wstring& parent, const std::wstring& sub) {
    if (parent.empty())
        return sub;
    if (sub.empty())
        return parent;
    return parent + L"\\" + sub;
}

// Resolves a parent handle to its key and path; HKEY_LOCAL_MACHINE is the root.
bool ResolveParent(HKEY handle, Key** key, std::wstring* path) {
    Registry& registry = State();
    if (handle == HKEY_LOCAL_MACHINE) {
        *key = &registry.root;
        path->clear();
        return true;
    }
    auto found = registry.handles.find(handle);
    if (found == registry.handles.end())
        return false;
    *key = found->second.key;
    *path = found->second.path;
    return true;
}

bool TakeFailure(Operation operation, const std::wstring& target, LSTATUS* error) {
    std::vector<Failure>& failures = State().failures;
    for (auto it = failures.begin(); it != failures.end(); ++it) {
        if (it->operation != operation || !SameName(it->target, target))
            continue;
        *error = it->error;
        if (it->once)
            failures.erase(it);
        return true;
    }
    return false;
}

LSTATUS Record(Operation operation, const std::wstring& path, const std::wstring& valueName,
               REGSAM access, LSTATUS result) {
    State().calls.push_back(CallRecord{operation, path, valueName, access, result});
    return result;
}

HKEY NewHandle(Key* key, const std::wstring& path, REGSAM access) {
    Registry& registry = State();
    HKEY handle = reinterpret_cast<HKEY>(registry.nextHandle);
    registry.nextHandle += 4;
    registry.handles[handle] = OpenHandle{key, path, access};
    return handle;
}

LSTATUS OpenOrCreate(Operation operation, HKEY parent, LPCWSTR subKey, REGSAM access,
                     PHKEY result) {
    Key* parentKey = nullptr;
    std::wstring parentPath;
    const std::wstring sub = subKey != nullptr ? subKey : L"";
    if (!ResolveParent(parent, &parentKey, &parentPath))
        return Record(operation, sub, L"", access, ERROR_INVALID_HANDLE);
    const std::wstring path = JoinPath(parentPath, sub);
    LSTATUS error = ERROR_SUCCESS;
    if (TakeFailure(operation, path, &error))
        return Record(operation, path, L"", access, error);
    Key* key = FindKey(parentKey, sub, operation == Operation::CreateKey);
    if (key == nullptr)
        return Record(operation, path, L"", access, ERROR_FILE_NOT_FOUND);
    *result = NewHandle(key, path, access);
    return Record(operation, path, L"", access, ERROR_SUCCESS);
}

OpenHandle* FindHandle(HKEY handle) {
    auto found = State().handles.find(handle);
    return found == State().handles.end() ? nullptr : &found->second;
}

} // namespace

void ResetRegistry() {
    State() = Registry();
}

void SeedKey(const std::wstring& path) {
    FindKey(&State().root, path, true);
}

void SeedValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
               const std::vector<BYTE>& data) {
    Key* key = FindKey(&State().root, keyPath, true);
    if (Value* value = FindValue(key, name)) {
        value->type = type;
        value->data = data;
        return;
    }
    AddValue(key, name, type, data);
}

bool KeyExists(const std::wstring& path) {
    return FindKey(&State().root, path, false) != nullptr;
}

bool ReadValue(const std::wstring& keyPath, const std::wstring& name, DWORD* type,
               std::vector<BYTE>* data) {
    Key* key = FindKey(&State().root, keyPath, false);
    Value* value = key != nullptr ? FindValue(key, name) : nullptr;
    if (value == nullptr)
        return false;
    *type = value->type;
    *data = value->data;
    return true;
}

std::vector<std::wstring> ValueNames(const std::wstring& keyPath) {
    std::vector<std::wstring> names;
    if (Key* key = FindKey(&State().root, keyPath, false))
        for (const Value& value : key->values)
            names.push_back(value.name);
    return names;
}

void FailCall(Operation operation, const std::wstring& target, LSTATUS error, bool once) {
    State().failures.push_back(Failure{operation, target, error, once});
}

const std::vector<CallRecord>& Calls() {
    return State().calls;
}

std::vector<CallRecord> CallsOf(Operation operation) {
    std::vector<CallRecord> selected;
    for (const CallRecord& call : State().calls)
        if (call.operation == operation)
            selected.push_back(call);
    return selected;
}

const std::vector<std::wstring>& ClosedKeys() {
    return State().closed;
}

size_t OpenHandleCount() {
    return State().handles.size();
}

} // namespace standin

using namespace standin;

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD /*options*/, REGSAM desired, PHKEY result) {
    return OpenOrCreate(Operation::OpenKey, key, subKey, desired, result);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD /*reserved*/, LPWSTR /*keyClass*/,
                        DWORD /*options*/, REGSAM desired, LPSECURITY_ATTRIBUTES /*security*/,
                        PHKEY result, LPDWORD /*disposition*/) {
    return OpenOrCreate(Operation::CreateKey, key, subKey, desired, result);
}

LSTATUS RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    OpenHandle* handle = FindHandle(key);
    if (handle == nullptr)
        return Record(Operation::CloseKey, L"", L"", 0, ERROR_INVALID_HANDLE);
    const std::wstring path = handle->path;
    State().handles.erase(key);
    State().closed.push_back(path);
    LSTATUS error = ERROR_SUCCESS;
    TakeFailure(Operation::CloseKey, path, &error);
    return Record(Operation::CloseKey, path, L"", 0, error);
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD /*reserved*/, LPDWORD type,
                         LPBYTE data, LPDWORD dataSize) {
    const std::wstring name = valueName != nullptr ? valueName : L"";
    OpenHandle* handle = FindHandle(key);
    if (handle == nullptr)
        return Record(Operation::QueryValue, L"", name, 0, ERROR_INVALID_HANDLE);
    const std::wstring path = handle->path;
    if ((handle->access & KEY_QUERY_VALUE) == 0)
        return Record(Operation::QueryValue, path, name, 0, ERROR_ACCESS_DENIED);
    LSTATUS error = ERROR_SUCCESS;
    if (TakeFailure(Operation::QueryValue, name, &error))
        return Record(Operation::QueryValue, path, name, 0, error);
    Value* value = FindValue(handle->key, name);
    if (value == nullptr)
        return Record(Operation::QueryValue, path, name, 0, ERROR_FILE_NOT_FOUND);
    if (data != nullptr && dataSize == nullptr)
        return Record(Operation::QueryValue, path, name, 0, ERROR_INVALID_PARAMETER);
    const DWORD size = static_cast<DWORD>(value->data.size());
    if (type != nullptr)
        *type = value->type;
    LSTATUS result = ERROR_SUCCESS;
    if (data != nullptr && *dataSize < size)
        result = ERROR_MORE_DATA;
    else if (data != nullptr)
        std::copy(value->data.begin(), value->data.end(), data);
    if (dataSize != nullptr)
        *dataSize = size;
    return Record(Operation::QueryValue, path, name, 0, result);
}

// No call log here: a walk over a million values must stay linear and light.
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength,
                      LPDWORD /*reserved*/, LPDWORD type, LPBYTE data, LPDWORD dataSize) {
    OpenHandle* handle = FindHandle(key);
    if (handle == nullptr)
        return ERROR_INVALID_HANDLE;
    if ((handle->access & KEY_QUERY_VALUE) == 0)
        return ERROR_ACCESS_DENIED;
    if (valueName == nullptr || valueNameLength == nullptr || data != nullptr ||
        dataSize != nullptr)
        return ERROR_INVALID_PARAMETER;
    std::vector<Value>& values = handle->key->values;
    if (index >= values.size())
        return ERROR_NO_MORE_ITEMS;
    const Value& value = values[index];
    LSTATUS error = ERROR_SUCCESS;
    if (!State().failures.empty() && TakeFailure(Operation::EnumValue, value.name, &error))
        return error;
    if (value.name.size() + 1 > *valueNameLength)
        return ERROR_MORE_DATA;
    std::copy(value.name.begin(), value.name.end(), valueName);
    valueName[value.name.size()] = 0;
    *valueNameLength = static_cast<DWORD>(value.name.size());
    if (type != nullptr)
        *type = value.type;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD /*reserved*/, DWORD type,
                       const BYTE* data, DWORD dataSize) {
    const std::wstring name = valueName != nullptr ? valueName : L"";
    OpenHandle* handle = FindHandle(key);
    if (handle == nullptr)
        return Record(Operation::SetValue, L"", name, 0, ERROR_INVALID_HANDLE);
    const std::wstring path = handle->path;
    if ((handle->access & KEY_SET_VALUE) == 0)
        return Record(Operation::SetValue, path, name, 0, ERROR_ACCESS_DENIED);
    LSTATUS error = ERROR_SUCCESS;
    if (TakeFailure(Operation::SetValue, name, &error))
        return Record(Operation::SetValue, path, name, 0, error);
    std::vector<BYTE> bytes(data, data + dataSize);
    if (Value* value = FindValue(handle->key, name)) {
        value->type = type;
        value->data = bytes;
    } else {
        AddValue(handle->key, name, type, bytes);
    }
    return Record(Operation::SetValue, path, name, 0, ERROR_SUCCESS);
}

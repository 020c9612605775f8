// An in-memory registry behind the Windows registry calls, with failure injection and a call log.
#include "StandIn.h"
#include "StandInState.h"
#include "platform/posix/KeyPath.h"
#include "platform/posix/RegistryName.h"

#include <algorithm>
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
    std::unordered_map<std::wstring, size_t> valueIndex; // by RegistryNameKey
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
    unsigned skip;
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
    return SameRegistryName(a, b);
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

Value* FindValue(Key* key, const std::wstring& name) {
    auto found = key->valueIndex.find(RegistryNameKey(name));
    return found == key->valueIndex.end() ? nullptr : &key->values[found->second];
}

void AddValue(Key* key, const std::wstring& name, DWORD type, const std::vector<BYTE>& data) {
    key->valueIndex[RegistryNameKey(name)] = key->values.size();
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
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        *error = it->error;
        if (it->once)
            failures.erase(it);
        return true;
    }
    return false;
}

CallRecord NewRecord(Operation operation, const std::wstring& path, const std::wstring& valueName,
                     REGSAM access) {
    CallRecord call{};
    call.operation = operation;
    call.keyPath = path;
    call.valueName = valueName;
    call.access = access;
    return call;
}

LSTATUS Record(Operation operation, const std::wstring& path, const std::wstring& valueName,
               REGSAM access, LSTATUS result) {
    CallRecord call = NewRecord(operation, path, valueName, access);
    call.result = result;
    State().calls.push_back(call);
    return result;
}

LSTATUS RecordKeyCall(CallRecord call, LSTATUS result) {
    call.result = result;
    State().calls.push_back(call);
    return result;
}

bool HasOverLongName(const std::wstring& path) {
    for (const std::wstring& part : SplitKeyPath(path))
        if (part.size() > LongestKeyName)
            return true;
    return false;
}

HKEY NewHandle(Key* key, const std::wstring& path, REGSAM access) {
    Registry& registry = State();
    HKEY handle = reinterpret_cast<HKEY>(registry.nextHandle);
    registry.nextHandle += 4;
    registry.handles[handle] = OpenHandle{key, path, access};
    return handle;
}

// The call as Windows would see it, with everything but the result filled in.
LSTATUS OpenOrCreate(CallRecord call, PHKEY result) {
    Key* parentKey = nullptr;
    std::wstring parentPath;
    if (!ResolveParent(call.parent, &parentKey, &parentPath)) {
        call.keyPath = call.subKey;
        return RecordKeyCall(call, ERROR_INVALID_HANDLE);
    }
    call.keyPath = JoinPath(parentPath, call.subKey);
    if (IsBadKeyPath(call.subKey.c_str()))
        return RecordKeyCall(call, ERROR_BAD_PATHNAME);
    if (HasOverLongName(call.subKey))
        return RecordKeyCall(call, ERROR_INVALID_PARAMETER);
    LSTATUS error = ERROR_SUCCESS;
    if (TakeFailure(call.operation, call.keyPath, &error))
        return RecordKeyCall(call, error);
    Key* key = FindKey(parentKey, call.subKey, call.operation == Operation::CreateKey);
    if (key == nullptr)
        return RecordKeyCall(call, ERROR_FILE_NOT_FOUND);
    *result = NewHandle(key, call.keyPath, call.access);
    call.handle = *result;
    return RecordKeyCall(call, ERROR_SUCCESS);
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

void FailCall(Operation operation, const std::wstring& target, LSTATUS error, bool once,
              unsigned skip) {
    State().failures.push_back(Failure{operation, target, error, once, skip});
}

HKEY HandleOf(const std::wstring& keyPath) {
    HKEY found = nullptr;
    for (const auto& entry : State().handles)
        if (SameName(entry.second.path, keyPath))
            found = entry.first;
    return found;
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

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result) {
    CallRecord call = NewRecord(Operation::OpenKey, L"", L"", desired);
    call.parent = key;
    call.subKey = subKey != nullptr ? subKey : L"";
    call.options = options;
    return OpenOrCreate(call, result);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                        REGSAM desired, LPSECURITY_ATTRIBUTES security, PHKEY result,
                        LPDWORD disposition) {
    CallRecord call = NewRecord(Operation::CreateKey, L"", L"", desired);
    call.parent = key;
    call.subKey = subKey != nullptr ? subKey : L"";
    call.reserved = reserved;
    call.classGiven = keyClass != nullptr;
    call.keyClass = keyClass != nullptr ? keyClass : L"";
    call.options = options;
    call.securityGiven = security != nullptr;
    call.dispositionGiven = disposition != nullptr;
    return OpenOrCreate(call, result);
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
    // Windows gives the type also when the name does not fit, and leaves name and length alone.
    if (type != nullptr)
        *type = value.type;
    if (value.name.size() + 1 > *valueNameLength)
        return ERROR_MORE_DATA;
    std::copy(value.name.begin(), value.name.end(), valueName);
    valueName[value.name.size()] = 0;
    *valueNameLength = static_cast<DWORD>(value.name.size());
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

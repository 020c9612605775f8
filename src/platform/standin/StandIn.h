// Test controls of the stand-in for the Windows calls: seed the registry, inject failures, read
// back what the tool did.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace standin {

enum class Operation { OpenKey, CreateKey, CloseKey, QueryValue, EnumValue, SetValue };

struct CallRecord {
    Operation operation;
    std::wstring keyPath;   // the key the call is about, relative to HKEY_LOCAL_MACHINE
    std::wstring valueName; // for value operations
    REGSAM access;          // for OpenKey and CreateKey
    LSTATUS result;
    // As Windows sees an open or a create: the parent handle and the path relative to it, and
    // the handle it gave.
    HKEY parent = nullptr;
    HKEY handle = nullptr;
    std::wstring subKey;
    // The other arguments of a create (and the options of an open).
    DWORD reserved = 0;
    bool classGiven = false;
    std::wstring keyClass;
    DWORD options = 0;
    bool securityGiven = false;
    bool dispositionGiven = false;
};

struct OutputPiece {
    bool wide; // written through the UTF-16 routine
    std::string bytes;
};

// Back to an empty registry, Windows 6.1 without WOW64, no failures, nothing recorded.
void Reset();

// Registry contents; paths are relative to HKEY_LOCAL_MACHINE.
void SeedKey(const std::wstring& path);
void SeedValue(const std::wstring& keyPath, const std::wstring& name, DWORD type,
               const std::vector<BYTE>& data);
bool KeyExists(const std::wstring& path);
bool ReadValue(const std::wstring& keyPath, const std::wstring& name, DWORD* type,
               std::vector<BYTE>* data);
std::vector<std::wstring> ValueNames(const std::wstring& keyPath);

// Makes the operation fail with the error. Key operations match the key's path, value operations
// (EnumValue included) the value's name; both without regard to case. A failure given with
// once = true is used up by the first call it matches; with skip = n the first n matching calls
// pass and the next fails.
void FailCall(Operation operation, const std::wstring& target, LSTATUS error, bool once = true,
              unsigned skip = 0);

// The handle that the last successful open or create of the path (relative to the local machine)
// gave, or null.
HKEY HandleOf(const std::wstring& keyPath);

const std::vector<CallRecord>& Calls();
std::vector<CallRecord> CallsOf(Operation operation);
const std::vector<std::wstring>& ClosedKeys();
size_t OpenHandleCount();

// System queries.
void SetVersion(DWORD major, DWORD minor);
void FailExtendedVersionQuery();
void FailEveryVersionQuery();
int VersionQueryCount();
// What each version query found in the record it was given: its size field, and whether every
// other byte was zero.
struct VersionQueryRecord {
    DWORD sizeField;
    bool restCleared;
};
const std::vector<VersionQueryRecord>& VersionQueries();
void SetWow64(bool runsUnderWow64, bool queryFails = false);

// Console.
const std::vector<OutputPiece>& ConsoleWrites();
std::string ConsoleText();
int KeyWaitCount();
int FlushCount();
// Off after Reset, so that tests never block; on by default for a real run on a terminal.
void SetKeyWaitReadsTerminal(bool readsTerminal);

} // namespace standin

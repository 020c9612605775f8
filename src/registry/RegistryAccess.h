// Opens and creates registry keys in the process-wide registry view.
#pragma once

#include <windows.h>

// View bits added to every request that names no view of its own; set once at start-up.
extern REGSAM DefaultRegistryView;

// Holds one parent path of the recursive creation: 260 characters and the terminator.
const unsigned ParentPathCapacity = 261;

// Opens the key for reading, or opens or creates it (with any missing parents) when the access
// holds every bit of KEY_WRITE. The caller closes the key it receives.
bool OpenRegistryKey(HKEY parent, LPCWSTR subKey, HKEY* key, REGSAM desiredAccess);

// Repairs the used-index bitmap of one interface type, with a backup of the old value.
#pragma once

#include <windows.h>

// Where the tool works, under HKEY_LOCAL_MACHINE.
extern const WCHAR IfTypesPath[];
extern const WCHAR NetworkStorePath[];
extern const WCHAR UsedIndicesValue[];
// The decimal interface type, the name of its key under IfTypes: five digits and the terminator.
const unsigned TypeNameCapacity = 8;

// Shorter values hold few enough indices that Windows has not run out of them: no repair.
const DWORD SmallestRepairedSize = 10;

// The one text a run reports: 127 characters at most and the terminator.
const unsigned StatusMessageCapacity = 128;

const int RepairResultRepaired = 1;
const int RepairResultNothingToDo = 0;
const int RepairResultFailed = -1;

// Returns 1 when the new value was written (a restart is needed), 0 when there was nothing to do
// and -1 on failure. The message may be null; otherwise it receives the outcome as one text.
int RepairInterfaceIndices(WCHAR* statusMessage, WORD interfaceType);

bool IsVistaOrLater();

// Reads IfUsedNetLuidIndices of the type key into the buffer of *size bytes. On success *size is
// the number of bytes read; when the value is too large it is the value's size.
bool ReadUsedIndices(DWORD* size, HKEY typeKey, BYTE* buffer);

void CopyMessage(WCHAR* statusMessage, const WCHAR* text, unsigned capacity);
void AppendMessage(WCHAR* statusMessage, const WCHAR* text);

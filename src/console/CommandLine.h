// Reads the interface type from the command line.
#pragma once

#include <windows.h>

// The interface type to repair, or false when the command line calls for the usage text.
bool ReadInterfaceType(int argumentCount, const WCHAR* const* arguments, WORD* interfaceType);

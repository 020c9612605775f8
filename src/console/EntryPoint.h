// The tool's entry point, called by the platform's runtime start-up.
#pragma once

#include <windows.h>

extern "C" int wmain(int argumentCount, WCHAR** arguments, WCHAR** environment);

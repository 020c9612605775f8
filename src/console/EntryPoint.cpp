// The tool's entry point: reads the command line, runs the repair and reports its outcome.
#include "console/EntryPoint.h"

#include <conio.h>

#include "console/CommandLine.h"
#include "console/ConsoleOutput.h"
#include "registry/RegistryAccess.h"
#include "repair/Repair.h"

namespace {

void ShowUsage() {
    WriteNarrowText("Zelvoran repairs some registry values, which defend intermediate network "
                    "driver installation.\r\n");
    WriteNarrowText("Usage: \n\tZelvoran.exe [/? | /iftype value(1-65535, default 1)]\r\n");
    FlushConsoleOutput();
}

bool RunsUnderWow64() {
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

} // namespace

extern "C" int wmain(int argumentCount, WCHAR** arguments, WCHAR** /*environment*/) {
    WCHAR statusMessage[StatusMessageCapacity];
    statusMessage[0] = 0;

    WORD interfaceType = 0;
    if (!ReadInterfaceType(argumentCount, arguments, &interfaceType)) {
        ShowUsage();
        return 0;
    }
    if (RunsUnderWow64())
        DefaultRegistryView = KEY_WOW64_64KEY;

    const int result = RepairInterfaceIndices(statusMessage, interfaceType);

    WriteWideText(L"\r\n");
    WriteWideText(statusMessage);
    if (result > 0)
        WriteWideText(L"\r\nYou need to restart your computer.\r\n");
    WriteWideText(L"\r\nPress any key.\r\n");
    FlushConsoleOutput();

    _getch();
    return result;
}

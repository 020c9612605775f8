// The command line of zelvoran-offline: strict, since it runs on a rescue system by hand.
#pragma once

#include <windows.h>

#include <string>

enum class OfflineCommand { Repair, List, Help, Version, Bad };

struct OfflineOptions {
    WORD interfaceType = 1;
    bool dryRun = false;
    std::string path;
};

extern const char OfflineUsage[];

OfflineCommand ParseOfflineCommandLine(int argc, const char* const* argv, OfflineOptions* options);

// A decimal number from 1 to 65535 and nothing else: no sign, blank or other character.
bool ReadInterfaceTypeOption(const char* text, WORD* type);

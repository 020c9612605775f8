// The repair of one interface type in an offline SYSTEM hive: it reads the hive, checks that the
// change is safe, repairs in memory, writes the new hive and verifies it against the original.
#pragma once

#include <windows.h>

#include <string>

struct OfflineRepairRequest {
    std::string shownPath;     // the hive's path as the administrator knows it
    std::string hivePath;      // the original, which is never written
    std::string temporaryPath; // where the new hive goes; unused in a dry run
    WORD interfaceType = 1;
    bool dryRun = false;
};

struct OfflineRepairOutcome {
    int result = -1;     // as the .exe's: 1 repaired (or, in a dry run, needed), 0, -1
    std::string message; // the tool's message, one line; empty when the hive was refused
    std::string report;  // the old and new bitmap and the indices, for the administrator
};

// Reasons for a refusal or failure go to standard error.
OfflineRepairOutcome RepairOfflineHive(const OfflineRepairRequest& request);

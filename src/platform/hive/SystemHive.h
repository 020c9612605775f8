// Opens the SYSTEM hive file of a Windows installation that is not running, so that the registry
// calls of the tool work on it, and commits the changes all or nothing.
#pragma once

#include <string>

// Opens the hive for changes in memory. Refuses, with a reason, a file that is not a regf hive,
// a hive whose base block says it is dirty, and a hive without Select\Current or the control set
// it names.
bool OpenSystemHive(const std::string& path, std::string* error);

// Writes the changed hive to a new file beside the original, flushes it and renames it over the
// original, keeping its owner and mode. The original stays intact on any failure.
bool CommitSystemHive(std::string* error);

void CloseSystemHive();

// The control set that CurrentControlSet stands for, as ControlSet00N.
std::string CurrentControlSetName();

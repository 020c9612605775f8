// Opens the SYSTEM hive file of a Windows installation that is not running, so that the registry
// calls of the tool work on it, and writes the changed hive out.
#pragma once

#include <hivex.h>
#include <string>

// Opens the hive, for changes in memory when forWriting. Refuses, with a reason, a file the
// library cannot read, and a hive without Select\Current or the control set it names.
bool OpenSystemHive(const std::string& path, bool forWriting, std::string* error);

// Writes the whole changed hive to the destination, which is replaced or created.
bool CommitSystemHive(const std::string& destination, std::string* error);

void CloseSystemHive();

// The control set that CurrentControlSet stands for, as ControlSet00N.
std::string CurrentControlSetName();

// The child of the node (in any open hive) whose name equals the given UTF-8 one as Windows
// compares names, or 0.
hive_node_h FindHiveChild(hive_h* hive, hive_node_h node, const std::string& name);

// The open hive, for the checks and the comparison of whole trees.
hive_h* SystemHiveHandle();

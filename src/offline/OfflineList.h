// The overview of an offline SYSTEM hive: every interface type under IfTypes, its bitmap, the
// interfaces the network store lists for it, and whether the repair would change it.
#pragma once

#include <string>

// Reads the hive at the path, never writes; false (the reason on stderr) when it cannot be read.
bool ListInterfaceTypes(const std::string& hivePath, std::string* listing);

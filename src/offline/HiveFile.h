// The safe handling of a hive file on disk: its identity, one writer at a time, the checks of its
// base block, and its all-or-nothing replacement through a temporary file beside it.
#pragma once

#include <string>
#include <sys/stat.h>

struct HiveFile {
    std::string path;      // the real file: a symlink given on the command line is resolved
    std::string directory; // where the file and its temporary live
    std::string name;      // the file's name in that directory
    int fd = -1;           // the hive, open and exclusively locked for the whole run
    int directoryFd = -1;
    struct stat status = {};
    int temporaryFd = -1;
    std::string temporaryName; // in the directory; empty when there is none
};

// Resolves the path and opens the file it names, refusing with a reason anything but a regular
// file; for writing also a file with more than one hard link or without write permission. Takes
// an exclusive lock: a second run on the same hive is refused at once.
bool OpenHiveFile(const std::string& givenPath, bool forWriting, HiveFile* file,
                  std::string* error);

// Finds the temporaries that interrupted runs left beside the hive and reports each on stderr;
// when removing, deletes them (a symlink is removed, never followed). False when one that should
// go cannot be removed.
bool HandleLeftoverTemporaries(HiveFile* file, bool remove, std::string* error);

// Checks the base block fully: signature, checksum, equal sequence numbers, supported format,
// and hive bins that exactly fill the rest of the file.
bool CheckBaseBlock(const HiveFile& file, std::string* error);

// Creates the temporary exclusively, under a name no other run can have, readable only by its
// owner.
bool CreateTemporary(HiveFile* file, std::string* error);

// Gives the written temporary the hive's owner, extended attributes and mode, flushes it, and
// renames it over the hive, which must still be the file that was opened.
bool ReplaceWithTemporary(HiveFile* file, std::string* error);

// Removes the temporary, if any. False (with the reason) when it cannot be removed.
bool DiscardTemporary(HiveFile* file, std::string* error);

void CloseHiveFile(HiveFile* file);

// A path under which the library can open the file behind a descriptor, whatever its name.
std::string DescriptorPath(int fd);

// The base block's size: the hive bins follow it.
const unsigned HiveBaseBlockSize = 4096;

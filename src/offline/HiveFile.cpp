// The safe handling of a hive file on disk: its identity, one writer at a time, the checks of its
// base block, and its all-or-nothing replacement through a temporary file beside it.
#include "offline/HiveFile.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace {

const char TemporaryMark[] = ".zelvoran-new";
const unsigned HiveBinAlignment = 4096;
// Windows keeps a hive below 2 GiB; the library holds the whole file in memory.
const uint64_t LargestHiveBins = 0x7FFFF000u;

std::string Reason(const std::string& what) {
    return what + ": " + strerror(errno);
}

uint32_t Le32(const unsigned char* bytes) {
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool ReadAt(int fd, void* buffer, size_t size, off_t offset) {
    size_t done = 0;
    while (done < size) {
        const ssize_t got = pread(fd, static_cast<char*>(buffer) + done, size - done,
                                  offset + static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// A temporary of ours for this hive: NAME.zelvoran-new (earlier versions) or
// NAME.zelvoran-new-XXXXXX.
bool IsTemporaryOf(const std::string& hiveName, const char* entry) {
    const std::string prefix = hiveName + TemporaryMark;
    if (strncmp(entry, prefix.c_str(), prefix.size()) != 0)
        return false;
    const char* rest = entry + prefix.size();
    return *rest == 0 || (rest[0] == '-' && strlen(rest) == 7);
}

bool CopyExtendedAttributes(int from, int to, std::string* error) {
    ssize_t size = flistxattr(from, nullptr, 0);
    if (size < 0 && errno == ENOTSUP)
        return true; // the file system keeps none
    if (size < 0) {
        *error = Reason("cannot list the extended attributes");
        return false;
    }
    std::vector<char> names(static_cast<size_t>(size) + 1);
    size = flistxattr(from, names.data(), names.size());
    if (size < 0) {
        *error = Reason("cannot list the extended attributes");
        return false;
    }
    for (const char* name = names.data(); name < names.data() + size; name += strlen(name) + 1) {
        const ssize_t length = fgetxattr(from, name, nullptr, 0);
        std::vector<char> value(length > 0 ? static_cast<size_t>(length) : 1);
        const ssize_t got = length < 0 ? -1 : fgetxattr(from, name, value.data(), value.size());
        if (got < 0 || fsetxattr(to, name, value.data(), static_cast<size_t>(got), 0) != 0) {
            *error = Reason(std::string("cannot copy the extended attribute ") + name);
            return false;
        }
    }
    return true;
}

} // namespace

std::string DescriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

bool OpenHiveFile(const std::string& givenPath, bool forWriting, HiveFile* file,
                  std::string* error) {
    char resolved[PATH_MAX];
    if (realpath(givenPath.c_str(), resolved) == nullptr) {
        *error = Reason("cannot open " + givenPath);
        return false;
    }
    file->path = resolved;
    const size_t slash = file->path.rfind('/');
    file->directory = slash == 0 ? "/" : file->path.substr(0, slash);
    file->name = file->path.substr(slash + 1);

    // No blocking on a FIFO, no following of a link put in place since the path was resolved.
    const int flags = (forWriting ? O_RDWR : O_RDONLY) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    file->fd = open(file->path.c_str(), flags);
    if (file->fd < 0) {
        *error = Reason("cannot open " + file->path);
        return false;
    }
    if (fstat(file->fd, &file->status) != 0) {
        *error = Reason("cannot read the attributes of " + file->path);
        return false;
    }
    if (!S_ISREG(file->status.st_mode)) {
        *error = file->path + " is not a regular file";
        return false;
    }
    if (forWriting && file->status.st_nlink > 1) {
        *error = file->path + " has " + std::to_string(file->status.st_nlink) +
                 " hard links: a repair would leave the old hive under the other names";
        return false;
    }
    if (forWriting && (file->status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        *error = file->path + " is read-only: make it writable to repair it";
        return false;
    }
    if (flock(file->fd, LOCK_EX | LOCK_NB) != 0) {
        *error = errno == EWOULDBLOCK ? file->path + " is in use by another run of zelvoran-offline"
                                      : Reason("cannot lock " + file->path);
        return false;
    }
    // The lock is on what we opened: the name must still lead there.
    struct stat now;
    if (stat(file->path.c_str(), &now) != 0 || !SameFile(now, file->status)) {
        *error = file->path + " was replaced while it was being opened: run again";
        return false;
    }
    file->directoryFd = open(file->directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file->directoryFd < 0) {
        *error = Reason("cannot open the directory " + file->directory);
        return false;
    }
    return true;
}

bool HandleLeftoverTemporaries(HiveFile* file, bool remove, std::string* error) {
    const int listFd = dup(file->directoryFd);
    DIR* directory = listFd < 0 ? nullptr : fdopendir(listFd);
    if (directory == nullptr) {
        if (listFd >= 0)
            close(listFd);
        *error = Reason("cannot list the directory " + file->directory);
        return false;
    }
    std::vector<std::string> leftovers;
    while (const dirent* entry = readdir(directory))
        if (IsTemporaryOf(file->name, entry->d_name))
            leftovers.push_back(entry->d_name);
    closedir(directory);

    bool removedAll = true;
    for (const std::string& leftover : leftovers) {
        const std::string shown = file->directory + "/" + leftover;
        if (!remove) {
            fprintf(stderr,
                    "zelvoran-offline: %s is left from an interrupted run; a repair "
                    "removes it\n",
                    shown.c_str());
        } else if (unlinkat(file->directoryFd, leftover.c_str(), 0) == 0) {
            fprintf(stderr, "zelvoran-offline: removed %s, left from an interrupted run\n",
                    shown.c_str());
        } else {
            *error = Reason("cannot remove " + shown + ", left from an interrupted run");
            removedAll = false;
        }
    }
    return removedAll;
}

bool CheckBaseBlock(const HiveFile& file, std::string* error) {
    const std::string& path = file.path;
    unsigned char block[HiveBaseBlockSize];
    const off_t size = file.status.st_size;
    if (size < 4 || !ReadAt(file.fd, block, 4, 0) || memcmp(block, "regf", 4) != 0) {
        *error = path + " is not a registry hive file";
        return false;
    }
    if (size < static_cast<off_t>(HiveBaseBlockSize) || !ReadAt(file.fd, block, sizeof block, 0)) {
        *error = path + " is truncated: its base block is incomplete";
        return false;
    }
    uint32_t checksum = 0;
    for (unsigned at = 0; at < 0x1FC; at += 4)
        checksum ^= Le32(block + at);
    if (checksum == 0xFFFFFFFFu)
        checksum = 0xFFFFFFFEu;
    if (checksum == 0)
        checksum = 1;
    if (checksum != Le32(block + 0x1FC)) {
        *error = path + " has a damaged base block (its checksum does not match)";
        return false;
    }
    if (Le32(block + 4) != Le32(block + 8)) {
        *error = path + " is dirty (its sequence numbers differ): let Windows finish with it, or "
                        "replay its transaction logs, before repairing it";
        return false;
    }
    const uint32_t major = Le32(block + 0x14);
    const uint32_t minor = Le32(block + 0x18);
    if (major != 1 || minor < 2 || minor > 6) {
        *error = path + " has the unsupported hive format version " + std::to_string(major) + "." +
                 std::to_string(minor);
        return false;
    }
    if (Le32(block + 0x1C) != 0 || Le32(block + 0x20) != 1) {
        *error = path + " is not a primary hive file (it is a log or of another kind)";
        return false;
    }
    const uint64_t bins = Le32(block + 0x28);
    if (bins == 0 || bins % HiveBinAlignment != 0 || bins > LargestHiveBins ||
        bins + HiveBaseBlockSize != static_cast<uint64_t>(size)) {
        *error = path + " is damaged: its base block gives " + std::to_string(bins) +
                 " bytes of hive bins, the file holds " +
                 std::to_string(size - static_cast<off_t>(HiveBaseBlockSize));
        return false;
    }
    if (Le32(block + 0x24) >= bins) {
        *error = path + " is damaged: its root key lies outside the hive bins";
        return false;
    }
    // The bins must follow each other without a gap up to the end.
    for (uint64_t offset = 0; offset < bins;) {
        unsigned char header[12];
        if (!ReadAt(file.fd, header, sizeof header,
                    static_cast<off_t>(HiveBaseBlockSize + offset)) ||
            memcmp(header, "hbin", 4) != 0 || Le32(header + 4) != offset || Le32(header + 8) == 0 ||
            Le32(header + 8) % HiveBinAlignment != 0 || offset + Le32(header + 8) > bins) {
            *error = path + " is damaged: the hive bin at offset " + std::to_string(offset) +
                     " has a bad header";
            return false;
        }
        offset += Le32(header + 8);
    }
    return true;
}

bool CreateTemporary(HiveFile* file, std::string* error) {
    std::string pattern = file->path + TemporaryMark + "-XXXXXX";
    // Exclusive creation with mode 0600: an existing name, a link included, is never reused.
    file->temporaryFd = mkostemp(&pattern[0], O_CLOEXEC);
    if (file->temporaryFd < 0) {
        *error = Reason("cannot create a temporary file beside " + file->path);
        return false;
    }
    file->temporaryName = pattern.substr(file->directory.size() + (file->directory == "/" ? 0 : 1));
    return true;
}

bool ReplaceWithTemporary(HiveFile* file, std::string* error) {
    const int temporary = file->temporaryFd;
    const struct stat& original = file->status;
    if (fchown(temporary, original.st_uid, original.st_gid) != 0) {
        *error = Reason("cannot give the new hive the owner of " + file->path);
        return false;
    }
    if (!CopyExtendedAttributes(file->fd, temporary, error)) {
        *error = "cannot give the new hive the extended attributes of " + file->path + " (" +
                 *error + ")";
        return false;
    }
    // After the owner: a change of owner clears the set-id bits.
    if (fchmod(temporary, original.st_mode & 07777) != 0) {
        *error = Reason("cannot give the new hive the mode of " + file->path);
        return false;
    }
    if (fsync(temporary) != 0) {
        *error = Reason("cannot flush the new hive to disk");
        return false;
    }
    struct stat now;
    if (fstatat(file->directoryFd, file->name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !SameFile(now, original)) {
        *error = file->path + " was replaced by something else during the repair";
        return false;
    }
    if (renameat(file->directoryFd, file->temporaryName.c_str(), file->directoryFd,
                 file->name.c_str()) != 0) {
        *error = Reason("cannot replace " + file->path);
        return false;
    }
    file->temporaryName.clear();
    close(file->temporaryFd);
    file->temporaryFd = -1;
    if (fsync(file->directoryFd) != 0)
        fprintf(stderr,
                "zelvoran-offline: warning: %s was replaced, but its directory could not be "
                "flushed to disk (%s): sync before you unmount it\n",
                file->path.c_str(), strerror(errno));
    return true;
}

bool DiscardTemporary(HiveFile* file, std::string* error) {
    if (file->temporaryFd >= 0)
        close(file->temporaryFd);
    file->temporaryFd = -1;
    if (file->temporaryName.empty())
        return true;
    const std::string name = file->temporaryName;
    const std::string shown = file->directory + "/" + name;
    file->temporaryName.clear();
    if (unlinkat(file->directoryFd, name.c_str(), 0) != 0) {
        *error = Reason("cannot remove the temporary file " + shown);
        return false;
    }
    return true;
}

void CloseHiveFile(HiveFile* file) {
    std::string error;
    if (!DiscardTemporary(file, &error))
        fprintf(stderr, "zelvoran-offline: %s\n", error.c_str());
    if (file->directoryFd >= 0)
        close(file->directoryFd);
    if (file->fd >= 0)
        close(file->fd); // releases the lock
    *file = HiveFile();
}

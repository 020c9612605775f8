// Builds small regf hive files for tests: an empty hive of our own making, filled through hivex.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes a minimal valid hive: a 4 KiB base block and one hive bin with the root key and its
// security cell.
bool WriteEmptyHive(const std::string& path);

struct HiveValue {
    std::string keyPath; // backslash-separated, from the root
    std::string name;
    uint32_t type;
    std::vector<uint8_t> data;
};

// Creates the keys (missing parents included) and sets the values, then commits the hive.
bool FillHive(const std::string& path, const std::vector<std::string>& keys,
              const std::vector<HiveValue>& values);

// Reads a value back through hivex; false when the key or value is missing.
bool ReadHiveValue(const std::string& path, const std::string& keyPath, const std::string& name,
                   uint32_t* type, std::vector<uint8_t>* data);
bool HiveKeyExists(const std::string& path, const std::string& keyPath);

std::vector<uint8_t> Dword(uint32_t value);

// The whole file, byte for byte ("" when it cannot be read).
std::string ReadFile(const std::string& path);

// Writes a little-endian double word into the file, and the base block's checksum anew if asked.
bool PatchHive32(const std::string& path, long offset, uint32_t value, bool fixChecksum);

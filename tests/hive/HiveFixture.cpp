// Builds small regf hive files for tests: an empty hive of our own making, filled through hivex.
#include "HiveFixture.h"
#include "platform/posix/KeyPath.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <hivex.h>
#include <memory>

namespace {

const size_t BaseBlockSize = 0x1000;
const size_t BinSize = 0x1000;
const size_t BinHeaderSize = 0x20;
const char RootName[] = "ROOT";

void Put16(std::vector<uint8_t>& bytes, size_t at, uint16_t value) {
    bytes[at] = static_cast<uint8_t>(value);
    bytes[at + 1] = static_cast<uint8_t>(value >> 8);
}

void Put32(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const std::vector<uint8_t>& bytes, size_t at) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(bytes[at + i]) << (8 * i);
    return value;
}

// The XOR of the base block's first 127 double words.
void PutChecksum(std::vector<uint8_t>& file) {
    uint32_t checksum = 0;
    for (size_t at = 0; at < 0x1FC; at += 4)
        checksum ^= Get32(file, at);
    Put32(file, 0x1FC, checksum);
}

struct HiveCloser {
    void operator()(hive_h* hive) const { hivex_close(hive); }
};
using HivePtr = std::unique_ptr<hive_h, HiveCloser>;

hive_node_h FindKey(hive_h* hive, const std::string& path, bool create) {
    hive_node_h node = hivex_root(hive);
    for (const std::string& part : SplitKeyPath(path)) {
        hive_node_h child = hivex_node_get_child(hive, node, part.c_str());
        if (child == 0 && create)
            child = hivex_node_add_child(hive, node, part.c_str());
        if (child == 0)
            return 0;
        node = child;
    }
    return node;
}

} // namespace

bool WriteEmptyHive(const std::string& path) {
    std::vector<uint8_t> file(BaseBlockSize + BinSize, 0);

    // The one hive bin: its header, the root key cell, the security cell, then free space.
    const size_t bin = BaseBlockSize;
    memcpy(&file[bin], "hbin", 4);
    Put32(file, bin + 4, 0);       // offset of this bin among the bins
    Put32(file, bin + 8, BinSize); // size of this bin

    const size_t rootOffset = BinHeaderSize; // offsets of cells count from the first bin
    const size_t rootCellSize = 0x58;        // 4 + 0x4C + name, rounded to 8
    const size_t securityOffset = rootOffset + rootCellSize;
    const size_t securityCellSize = 0x30;
    const size_t freeOffset = securityOffset + securityCellSize;

    size_t nk = bin + rootOffset;
    Put32(file, nk, static_cast<uint32_t>(-static_cast<int32_t>(rootCellSize)));
    memcpy(&file[nk + 4], "nk", 2);
    Put16(file, nk + 6, 0x2C);          // hive entry, no delete, ASCII name
    Put32(file, nk + 0x14, 0);          // parent
    Put32(file, nk + 0x20, 0xFFFFFFFF); // subkey list
    Put32(file, nk + 0x24, 0xFFFFFFFF); // volatile subkey list
    Put32(file, nk + 0x2C, 0xFFFFFFFF); // value list
    Put32(file, nk + 0x30, static_cast<uint32_t>(securityOffset));
    Put32(file, nk + 0x34, 0xFFFFFFFF); // class name
    Put16(file, nk + 0x4C, sizeof RootName - 1);
    memcpy(&file[nk + 0x50], RootName, sizeof RootName - 1);

    // A self-relative security descriptor with no DACL: everyone may do everything.
    size_t sk = bin + securityOffset;
    Put32(file, sk, static_cast<uint32_t>(-static_cast<int32_t>(securityCellSize)));
    memcpy(&file[sk + 4], "sk", 2);
    Put32(file, sk + 8, static_cast<uint32_t>(securityOffset));  // next security cell: itself
    Put32(file, sk + 12, static_cast<uint32_t>(securityOffset)); // previous: itself
    Put32(file, sk + 16, 1);                                     // reference count
    Put32(file, sk + 20, 20);                                    // descriptor size
    file[sk + 24] = 1;                                           // revision
    Put16(file, sk + 26, 0x8000);                                // self-relative

    Put32(file, bin + freeOffset, static_cast<uint32_t>(BinSize - freeOffset));

    // The base block, its checksum the XOR of its first 127 double words.
    memcpy(&file[0], "regf", 4);
    Put32(file, 4, 1);
    Put32(file, 8, 1);
    Put32(file, 0x14, 1); // format 1.3
    Put32(file, 0x18, 3);
    Put32(file, 0x1C, 0); // primary file
    Put32(file, 0x20, 1); // direct memory load
    Put32(file, 0x24, static_cast<uint32_t>(rootOffset));
    Put32(file, 0x28, static_cast<uint32_t>(BinSize));
    Put32(file, 0x2C, 1);
    PutChecksum(file);

    FILE* out = fopen(path.c_str(), "wb");
    if (out == nullptr)
        return false;
    const bool written = fwrite(file.data(), 1, file.size(), out) == file.size();
    return fclose(out) == 0 && written;
}

bool FillHive(const std::string& path, const std::vector<std::string>& keys,
              const std::vector<HiveValue>& values) {
    HivePtr hive(hivex_open(path.c_str(), HIVEX_OPEN_WRITE));
    if (!hive)
        return false;
    for (const std::string& key : keys)
        if (FindKey(hive.get(), key, true) == 0)
            return false;
    for (const HiveValue& value : values) {
        hive_node_h node = FindKey(hive.get(), value.keyPath, true);
        if (node == 0)
            return false;
        std::string name = value.name;
        std::vector<uint8_t> data = value.data;
        hive_set_value set;
        set.key = name.data();
        set.t = static_cast<hive_type>(value.type);
        set.len = data.size();
        set.value = reinterpret_cast<char*>(data.data());
        if (hivex_node_set_value(hive.get(), node, &set, 0) != 0)
            return false;
    }
    return hivex_commit(hive.get(), nullptr, 0) == 0;
}

bool ReadHiveValue(const std::string& path, const std::string& keyPath, const std::string& name,
                   uint32_t* type, std::vector<uint8_t>* data) {
    HivePtr hive(hivex_open(path.c_str(), 0));
    if (!hive)
        return false;
    hive_node_h node = FindKey(hive.get(), keyPath, false);
    if (node == 0)
        return false;
    hive_value_h value = hivex_node_get_value(hive.get(), node, name.c_str());
    if (value == 0)
        return false;
    hive_type valueType;
    size_t length = 0;
    std::unique_ptr<char, decltype(&free)> bytes(
        hivex_value_value(hive.get(), value, &valueType, &length), &free);
    if (!bytes)
        return false;
    *type = static_cast<uint32_t>(valueType);
    data->assign(bytes.get(), bytes.get() + length);
    return true;
}

bool HiveKeyExists(const std::string& path, const std::string& keyPath) {
    HivePtr hive(hivex_open(path.c_str(), 0));
    return hive && FindKey(hive.get(), keyPath, false) != 0;
}

std::vector<uint8_t> Dword(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

bool PatchHive32(const std::string& path, long offset, uint32_t value, bool fixChecksum) {
    FILE* file = fopen(path.c_str(), "r+b");
    if (file == nullptr)
        return false;
    std::vector<uint8_t> block(BaseBlockSize);
    bool done = fread(block.data(), 1, block.size(), file) == block.size();
    Put32(block, static_cast<size_t>(offset), value);
    if (fixChecksum)
        PutChecksum(block);
    done = done && fseek(file, 0, SEEK_SET) == 0 &&
           fwrite(block.data(), 1, block.size(), file) == block.size();
    return fclose(file) == 0 && done;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

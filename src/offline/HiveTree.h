// Checks and compares whole key trees of hives through the library, safe against cycles and
// cells that a damaged file shares between keys.
#pragma once

#include <hivex.h>
#include <stdint.h>
#include <string>
#include <vector>

// The key at the path (names from the root, compared as Windows compares them), or 0.
hive_node_h FindHiveKey(hive_h* hive, const std::vector<std::string>& path);

// Whether the library can rewrite the key's values without harm to the rest of the hive: every key
// and value reads whole (a reference into nothing would point into the cells the write adds), the
// key tree is a tree (no key reached twice), every value cell and data cell of the key belongs to
// it alone, and none of the named values exists twice in it.
bool CheckKeyCanBeRewritten(hive_h* hive, hive_node_h key, const std::vector<std::string>& names,
                            std::string* error);

struct ExpectedValue {
    std::string name;
    uint32_t type;
    std::vector<unsigned char> data;
};

// Whether two hives hold the same key tree (names, subkeys in order, values in order with their
// names, types and data), except that the key at the path holds each expected value exactly once,
// in place of whatever the first hive had under that name.
bool CompareHives(hive_h* before, hive_h* after, const std::vector<std::string>& path,
                  const std::vector<ExpectedValue>& expected, std::string* error);

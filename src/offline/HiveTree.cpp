// Checks and compares whole key trees of hives through the library, safe against cycles and
// cells that a damaged file shares between keys.
#include "offline/HiveTree.h"

#include "SystemHive.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <strings.h>
#include <utility>

namespace {

template <typename T> using Owned = std::unique_ptr<T, decltype(&free)>;

template <typename T> Owned<T> Own(T* pointer) {
    return Owned<T>(pointer, &free);
}

std::vector<hive_node_h> Children(hive_h* hive, hive_node_h node, bool* ok) {
    std::vector<hive_node_h> children;
    Owned<hive_node_h> list = Own(hivex_node_children(hive, node));
    *ok = static_cast<bool>(list);
    for (hive_node_h* child = list.get(); child != nullptr && *child != 0; ++child)
        children.push_back(*child);
    return children;
}

std::vector<hive_value_h> Values(hive_h* hive, hive_node_h node, bool* ok) {
    std::vector<hive_value_h> values;
    Owned<hive_value_h> list = Own(hivex_node_values(hive, node));
    *ok = static_cast<bool>(list);
    for (hive_value_h* value = list.get(); value != nullptr && *value != 0; ++value)
        values.push_back(*value);
    return values;
}

// A name as the library decodes it; "" with ok false when it cannot.
std::string NodeName(hive_h* hive, hive_node_h node, bool* ok) {
    Owned<char> name = Own(hivex_node_name(hive, node));
    *ok = static_cast<bool>(name);
    return name ? name.get() : "";
}

std::string ValueName(hive_h* hive, hive_value_h value, bool* ok) {
    Owned<char> name = Own(hivex_value_key(hive, value));
    *ok = static_cast<bool>(name);
    return name ? name.get() : "";
}

struct ValueContent {
    bool readable = false;
    uint32_t type = 0;
    size_t length = 0;
    std::vector<unsigned char> data;
};

// The value's type and data; the type goes to plain storage, since a file may declare any.
ValueContent Content(hive_h* hive, hive_value_h value) {
    ValueContent content;
    if (hivex_value_type(hive, value, reinterpret_cast<hive_type*>(&content.type),
                         &content.length) != 0)
        return content;
    uint32_t type = 0;
    size_t length = 0;
    Owned<char> data =
        Own(hivex_value_value(hive, value, reinterpret_cast<hive_type*>(&type), &length));
    if (!data)
        return content;
    content.readable = true;
    content.data.assign(data.get(), data.get() + length);
    return content;
}

bool SameContent(const ValueContent& a, const ValueContent& b) {
    // What the library cannot read in the first hive must be as unreadable in the second.
    return a.readable == b.readable && a.type == b.type && a.length == b.length && a.data == b.data;
}

bool IsOneOf(const std::string& name, const std::vector<std::string>& names) {
    for (const std::string& candidate : names)
        if (strcasecmp(candidate.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

std::string Shown(const std::string& path) {
    return path.empty() ? "the root key" : "the key " + path;
}

} // namespace

hive_node_h FindHiveKey(hive_h* hive, const std::vector<std::string>& path) {
    hive_node_h node = hivex_root(hive);
    for (const std::string& name : path)
        node = FindHiveChild(hive, node, name);
    return node;
}

bool CheckKeyCanBeRewritten(hive_h* hive, hive_node_h key, const std::vector<std::string>& names,
                            std::string* error) {
    std::set<hive_node_h> seen;
    std::map<size_t, int> references; // value cells and data cells, by offset
    std::vector<hive_node_h> pending = {hivex_root(hive)};
    while (!pending.empty()) {
        const hive_node_h node = pending.back();
        pending.pop_back();
        if (!seen.insert(node).second) {
            *error = "the hive is damaged: its key tree is cross-linked (a key is reached twice)";
            return false;
        }
        // A reference into nothing would, after the write, point into the cells it adds.
        bool childrenRead = false;
        bool valuesRead = false;
        for (hive_node_h child : Children(hive, node, &childrenRead))
            pending.push_back(child);
        const std::vector<hive_value_h> values = Values(hive, node, &valuesRead);
        if (!childrenRead || !valuesRead) {
            *error = "the hive is damaged: the " +
                     std::string(!childrenRead ? "subkeys" : "values") + " of a key cannot be read";
            return false;
        }
        for (hive_value_h value : values) {
            ++references[value];
            size_t length = 0;
            const hive_value_h data = hivex_value_data_cell_offset(hive, value, &length);
            if (data != 0)
                ++references[data];
            if (!Content(hive, value).readable && errno != ERANGE) {
                *error = "the hive is damaged: a value's data cannot be read";
                return false;
            }
        }
    }
    if (seen.count(key) == 0) {
        *error = "the key to be written is not part of the hive's tree";
        return false;
    }
    bool ok = false;
    const std::vector<hive_value_h> values = Values(hive, key, &ok);
    if (!ok) {
        *error = "the hive is damaged: the values of the key to be written cannot be read";
        return false;
    }
    std::map<std::string, int> named;
    for (hive_value_h value : values) {
        size_t length = 0;
        const hive_value_h data = hivex_value_data_cell_offset(hive, value, &length);
        if (references[value] != 1 || (data != 0 && references[data] != 1)) {
            *error = "the hive is damaged: a value of the key to be written shares its cells with "
                     "another value";
            return false;
        }
        bool decoded = false;
        const std::string name = ValueName(hive, value, &decoded);
        for (const std::string& wanted : names)
            if (decoded && strcasecmp(wanted.c_str(), name.c_str()) == 0 && ++named[wanted] > 1) {
                *error =
                    "the hive is damaged: the key to be written holds two values named " + wanted;
                return false;
            }
    }
    return true;
}

bool CompareHives(hive_h* before, hive_h* after, const std::vector<std::string>& path,
                  const std::vector<ExpectedValue>& expected, std::string* error) {
    const hive_node_h changedBefore = FindHiveKey(before, path);
    std::vector<std::string> expectedNames;
    for (const ExpectedValue& value : expected)
        expectedNames.push_back(value.name);

    struct Pair {
        hive_node_h before;
        hive_node_h after;
        std::string path;
    };
    std::set<hive_node_h> seen;
    std::vector<Pair> pending = {{hivex_root(before), hivex_root(after), ""}};
    while (!pending.empty()) {
        const Pair pair = pending.back();
        pending.pop_back();
        if (!seen.insert(pair.before).second) {
            *error = "the key tree is cross-linked at " + Shown(pair.path);
            return false;
        }
        bool okBefore = false;
        bool okAfter = false;
        const std::string name = NodeName(before, pair.before, &okBefore);
        if (name != NodeName(after, pair.after, &okAfter) || okBefore != okAfter) {
            *error = Shown(pair.path) + " has another name";
            return false;
        }
        const std::vector<hive_node_h> childrenBefore = Children(before, pair.before, &okBefore);
        const std::vector<hive_node_h> childrenAfter = Children(after, pair.after, &okAfter);
        if (childrenBefore.size() != childrenAfter.size() || okBefore != okAfter) {
            *error = Shown(pair.path) + " has other subkeys";
            return false;
        }
        for (size_t i = 0; i < childrenBefore.size(); ++i) {
            bool decoded = false;
            const std::string childName = NodeName(before, childrenBefore[i], &decoded);
            pending.push_back({childrenBefore[i], childrenAfter[i],
                               pair.path.empty() ? childName : pair.path + "\\" + childName});
        }

        const bool changed = pair.before == changedBefore;
        std::vector<hive_value_h> valuesBefore = Values(before, pair.before, &okBefore);
        std::vector<hive_value_h> valuesAfter = Values(after, pair.after, &okAfter);
        if (okBefore != okAfter) {
            *error = Shown(pair.path) + " has other values";
            return false;
        }
        std::vector<std::pair<std::string, hive_value_h>> keptBefore;
        std::vector<std::pair<std::string, hive_value_h>> keptAfter;
        std::map<std::string, int> found;
        for (hive_value_h value : valuesBefore) {
            bool decoded = false;
            const std::string valueName = ValueName(before, value, &decoded);
            if (!changed || !decoded || !IsOneOf(valueName, expectedNames))
                keptBefore.push_back({valueName, value});
        }
        for (hive_value_h value : valuesAfter) {
            bool decoded = false;
            const std::string valueName = ValueName(after, value, &decoded);
            if (!changed || !decoded || !IsOneOf(valueName, expectedNames)) {
                keptAfter.push_back({valueName, value});
                continue;
            }
            for (const ExpectedValue& want : expected) {
                if (strcasecmp(want.name.c_str(), valueName.c_str()) != 0)
                    continue;
                const ValueContent content = Content(after, value);
                if (++found[want.name] > 1 || !content.readable || content.type != want.type ||
                    content.data != want.data) {
                    *error = "the value " + want.name + " of " + Shown(pair.path) +
                             " does not hold what was written";
                    return false;
                }
            }
        }
        if (changed)
            for (const ExpectedValue& want : expected)
                if (found[want.name] != 1) {
                    *error = "the value " + want.name + " is missing from " + Shown(pair.path);
                    return false;
                }
        if (keptBefore.size() != keptAfter.size()) {
            *error = Shown(pair.path) + " has other values";
            return false;
        }
        for (size_t i = 0; i < keptBefore.size(); ++i)
            if (keptBefore[i].first != keptAfter[i].first ||
                !SameContent(Content(before, keptBefore[i].second),
                             Content(after, keptAfter[i].second))) {
                *error =
                    "the value " + keptBefore[i].first + " of " + Shown(pair.path) + " has changed";
                return false;
            }
    }
    if (changedBefore == 0) {
        *error = "the changed key is missing from the original hive";
        return false;
    }
    return true;
}

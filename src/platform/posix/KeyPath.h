// Splits a registry key path into the names of its keys, for the backends of other hosts.
#pragma once

#include <string>
#include <vector>

// Empty names, from doubled or outer backslashes, are dropped.
template <class Char>
std::vector<std::basic_string<Char>> SplitKeyPath(const std::basic_string<Char>& path) {
    std::vector<std::basic_string<Char>> names;
    std::basic_string<Char> name;
    for (Char c : path) {
        if (c != Char('\\')) {
            name += c;
            continue;
        }
        if (!name.empty())
            names.push_back(name);
        name.clear();
    }
    if (!name.empty())
        names.push_back(name);
    return names;
}

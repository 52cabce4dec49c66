// Searches in the texts a machine run leaves (output, syslog, files).
#pragma once

#include <string>

inline bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

// Occurrences of `needle`, overlapping ones included.
inline int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// Searches in the texts a machine run leaves (output, syslog, files).
#pragma once

#include <string>

inline bool has(const std::string &hay, const std::string &needle) { return hay.find(needle) != std::string::npos; }

// Whether `hay` holds `head`, a line number (one digit or more), then
// `tail`: a log line whose source line is no part of what is checked.
inline bool has_numbered(const std::string &hay, const std::string &head, const std::string &tail) {
    for (size_t p = hay.find(head); p != std::string::npos; p = hay.find(head, p + 1)) {
        size_t q = p + head.size();
        const size_t digits = q;
        while (q < hay.size() && hay[q] >= '0' && hay[q] <= '9') q++;
        if (q > digits && hay.compare(q, tail.size(), tail) == 0) return true;
    }
    return false;
}

// Occurrences of `needle`, overlapping ones included.
inline int count(const std::string &hay, const std::string &needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// Small helpers for tests that compare bytes on a link and log lines.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/log_capture.h"

// "09 01 A5": upper-case hex bytes separated by blanks.
inline std::string hex_bytes(const std::vector<uint8_t> &v) {
    std::string s;
    char b[4];
    for (uint8_t c : v) {
        snprintf(b, sizeof b, s.empty() ? "%02X" : " %02X", c);
        s += b;
    }
    return s;
}

// A captured log line contains `part`.
inline bool log_has_part(const std::string &part) {
    for (const auto &l : log_captured())
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

// Captures the library's finished log lines (priority and text). Lines are
// also echoed to stderr so death tests can match them.
#pragma once

#include <string>
#include <vector>

struct LogLine {
    int priority;
    std::string text;
};

void log_capture_clear();
std::vector<LogLine> log_captured();
bool log_contains(const std::string &text);
// True when some line contains `part`.
bool log_has_part(const std::string &part);

#include "support/log_capture.h"

#include <cstdio>
#include <mutex>

#include "module/log_sink.h"

namespace {
std::mutex s_lock;
std::vector<LogLine> s_lines;
}  // namespace

void log_capture_sink(int priority, const char *line) {
    {
        std::lock_guard<std::mutex> g(s_lock);
        s_lines.push_back({priority, line});
    }
    fprintf(stderr, "%s\n", line);
}

void log_capture_clear() {
    std::lock_guard<std::mutex> g(s_lock);
    s_lines.clear();
}

std::vector<LogLine> log_captured() {
    std::lock_guard<std::mutex> g(s_lock);
    return s_lines;
}

bool log_contains(const std::string &text) {
    std::lock_guard<std::mutex> g(s_lock);
    for (const LogLine &l : s_lines)
        if (l.text == text) return true;
    return false;
}

bool log_has_part(const std::string &part) {
    std::lock_guard<std::mutex> g(s_lock);
    for (const LogLine &l : s_lines)
        if (l.text.find(part) != std::string::npos) return true;
    return false;
}

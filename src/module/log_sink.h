// Where finished log lines go. Syslog by default; tests capture them.
#pragma once

namespace klog {
using Sink = void (*)(int syslog_priority, const char *line);
void set_sink(Sink sink);  // nullptr restores syslog
int syslog_priority(int level);
}  // namespace klog

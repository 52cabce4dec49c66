// Seams of the running-record code for tests: the monotonic seconds behind
// the 60 s / 3600 s gates and the running time, the meminfo file, and a stop
// for the record thread.
#pragma once

#include <cstdint>
#include <string>

namespace kmx_record {

using ClockFn = uint64_t (*)();
// nullptr restores kmx_get_systime_s.
void set_clock(ClockFn fn);
// nullptr restores /proc/meminfo.
void set_meminfo_path(const char *path);
// The record thread ends after its current pass.
void stop_thread();
// Whether the record thread started last is still running, and how many
// passes (a sleep unless an event waits, an append, a flush) all record
// threads made.
bool thread_running();
uint64_t thread_passes();
// What ring block `block` should hold while its image waits in memory for
// the next flush (a failed rewrite, or a copy the start took back within the
// hour of a failed flush); empty when none waits.
std::string unwritten_image(uint32_t block);

}  // namespace kmx_record

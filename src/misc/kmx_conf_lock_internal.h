// The lock of /config/cgminer.conf as every program of the machine takes it:
// kos::ConfLock, with a failure logged here for all of them alike, naming
// the holder, the line where it takes the lock and the reason
// ("<who>  <line>  cannot lock <file>: <reason>").
// A holder that is refused leaves the guarded files alone.
#pragma once

#include <cerrno>
#include <cstring>

#include "module/kmx_log.h"
#include "os/os.h"

namespace kmisc {

class ConfLock : public kos::ConfLock {
public:
    // The default line is the caller's (std::source_location is not there
    // for every compiler that builds the library).
    explicit ConfLock(const char *who, int line = __builtin_LINE()) {
        if (!held()) kmx_logf(5, "%s  %d  cannot lock %s: %s\n", who, line, kos::kConfLockFile, strerror(errno));
    }
};

}  // namespace kmisc

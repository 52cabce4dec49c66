// A test binary whose one case ends the process the way the library does on
// a start-up fault (status 0 through the process-end call). Run by
// harness_test and by a ctest entry that must fail.
#include <gtest/gtest.h>

#include "os/os.h"

TEST(Probe, EndsEarly) {
    kos::terminate(0);
}

TEST(Probe, EndsEarlyThroughExit) {
    exit(0);
}

TEST(Probe, Passes) { SUCCEED(); }

// Every test binary starts with the recording shell and the log capture in
// place, so no command reaches a real shell unless a test asks for it.
#include <gtest/gtest.h>

#include "module/log_sink.h"
#include "support/fake_shell.h"

void log_capture_sink(int priority, const char *line);

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // A user-mode emulator cannot re-execute the test binary, so death tests
    // fork without exec there.
#if KMX_TESTS_UNDER_EMULATOR
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    kos::set_shell_backend(&fake_shell());
    klog::set_sink(log_capture_sink);
    return RUN_ALL_TESTS();
}

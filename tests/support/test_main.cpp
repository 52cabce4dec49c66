// Every test binary starts with the recording shell and the log capture in
// place, so no command reaches a real shell unless a test asks for it.
//
// A test binary must not pass by ending early: when anything calls exit()
// (the library ends the process with status 0 on several start-up faults)
// before GoogleTest has reported its results, the process ends with status 1
// and names the test it was in. A death test's child, which is meant to end
// that way, is left alone. A run that matches no test fails too.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "module/log_sink.h"
#include "support/fake_shell.h"

void log_capture_sink(int priority, const char *line);

namespace {

pid_t s_main_pid = 0;
bool s_reported = false;

void check_reported_at_exit() {
    if (s_reported) return;
    // Death-test children: re-executed ("threadsafe") or forked ("fast").
    if (!GTEST_FLAG_GET(internal_run_death_test).empty() || getpid() != s_main_pid) return;
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    if (t)
        fprintf(stderr, "test program ended inside %s.%s before its results were reported\n", t->test_suite_name(),
                t->name());
    else
        fputs("test program ended before its results were reported\n", stderr);
    fflush(nullptr);
    _exit(1);
}

}  // namespace

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    // A user-mode emulator cannot re-execute the test binary, so death tests
    // fork without exec there.
#if KMX_TESTS_UNDER_EMULATOR
    GTEST_FLAG_SET(death_test_style, "fast");
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
#endif
    s_main_pid = getpid();
    atexit(check_reported_at_exit);
    kos::set_shell_backend(&fake_shell());
    klog::set_sink(log_capture_sink);
    const int rc = RUN_ALL_TESTS();
    s_reported = true;
    // An entry per case names its case in a filter: one that matches none
    // (a case renamed, a name misread from the source) must not pass.
    if (testing::UnitTest::GetInstance()->test_to_run_count() == 0) {
        fputs("no test matches the filter\n", stderr);
        return 1;
    }
    return rc;
}

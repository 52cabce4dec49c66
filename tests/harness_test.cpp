// The test harness cannot pass by accident: a test binary that ends before
// GoogleTest reports its results fails, while death tests that expect the
// process to end keep working.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "os/os.h"
#include "support/machine_runner.h"

namespace {

struct ProbeRun {
    int status = -1;
    std::string out;
};

ProbeRun run_probe(const std::string &filter) {
    ProbeRun r;
    const std::string cmd = build_path("harness_probe") + " --gtest_filter=" + filter + " 2>&1";
    FILE *fp = popen(cmd.c_str(), "r");
    if (!fp) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, fp)) > 0) r.out.append(buf, n);
    const int st = pclose(fp);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

}  // namespace

TEST(Harness, EndingInsideATestFails) {
    for (const char *name : {"EndsEarly", "EndsEarlyThroughExit"}) {
        const ProbeRun r = run_probe(std::string("Probe.") + name);
        EXPECT_EQ(r.status, 1) << name << "\n" << r.out;
        EXPECT_NE(r.out.find(std::string("test program ended inside Probe.") + name +
                             " before its results were reported"),
                  std::string::npos)
            << r.out;
    }
    const ProbeRun ok = run_probe("Probe.Passes");
    EXPECT_EQ(ok.status, 0) << ok.out;
}

TEST(Harness, DeathTestsExpectingTheEndStillWork) {
    EXPECT_EXIT(kos::terminate(0), testing::ExitedWithCode(0), "");
    EXPECT_EXIT(kos::terminate(3), testing::ExitedWithCode(3), "");
}

// The test harness cannot pass by accident: a test binary that ends before
// GoogleTest reports its results fails, while death tests that expect the
// process to end keep working.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "os/os.h"
#include "support/lock_wait.h"
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

// The lock-wait detector sees a thread blocked on either kind of file lock:
// flock, and fcntl's (the open-file kind, which blocks between threads of
// one process as the record kind does between processes).
TEST(Harness, LockWaiterSeesFlockAndFcntlWaits) {
    char path[] = "/tmp/lock_wait.XXXXXX";
    const int held = mkstemp(path);
    ASSERT_GE(held, 0);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    for (const bool by_fcntl : {false, true}) {
        ASSERT_EQ(by_fcntl ? fcntl(held, F_OFD_SETLK, &whole) : ::flock(held, LOCK_EX), 0) << by_fcntl;
        LockWaiter waiter([&] {
            const int fd = open(path, O_RDWR);
            struct flock w = whole;
            EXPECT_EQ(by_fcntl ? fcntl(fd, F_OFD_SETLKW, &w) : ::flock(fd, LOCK_EX), 0);
            close(fd);
        });
        EXPECT_TRUE(waiter.reached_lock()) << (by_fcntl ? "fcntl" : "flock");
        struct flock unlock = whole;
        unlock.l_type = F_UNLCK;
        ASSERT_EQ(by_fcntl ? fcntl(held, F_OFD_SETLK, &unlock) : ::flock(held, LOCK_UN), 0);
        waiter.join();
    }
    close(held);
    unlink(path);
}

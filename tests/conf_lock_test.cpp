// The miner's configuration shared by several programs: every
// read-modify-write of /config/cgminer.conf holds one lock across processes,
// and a write that fails says why.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "minerCloud/kmx_cloud.h"
#include "os/os.h"
#include "support/conf_holder.h"
#include "support/lock_wait.h"
#include "support/log_capture.h"

namespace {

const char *const kConf = "/config/cgminer.conf";

std::string conf() {
    std::string s;
    kos::read_file(kConf, s);
    return s;
}

bool has(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Another program holds the lock while it changes the file; a server
// command that comes meanwhile waits and changes what that program wrote.
TEST(ConfLock, ServerCommandWaitsForAnotherProgramsChange) {
    ASSERT_TRUE(kos::write_file_atomic(kConf, "{\"N5balance\":true}"));
    ConfHolder other(kConf, "{\"N5balance\":true,\"pools\":[{\"url\":\"u\"}]}");
    ASSERT_TRUE(other.held());
    bool ok = false;
    LockWaiter cmd([&] {
        unsigned char mode[] = "N5efficient", adjust[] = "1";
        ok = kmx_set_runmode(mode, adjust);
    });
    EXPECT_TRUE(cmd.reached_lock());
    EXPECT_EQ(other.release(), 0);
    cmd.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(conf(), "{\"N5balance\":true,\"pools\":[{\"url\":\"u\"}],\"N5adjust\":\"1\",\"N5efficient\":true}");
}

// Two programs changing different keys over and over: every change of each
// is still there after the other's next write.
TEST(ConfLock, TwoWritingProgramsLoseNoChange) {
    ASSERT_TRUE(kos::write_file_atomic(kConf, "{\"pools\":[]}"));
    constexpr int kRounds = 150;
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        for (int i = 0; i < kRounds; i++) {
            pool_conf pools[3] = {};
            snprintf(pools[0].url, sizeof pools[0].url, "p%d", i);
            if (!kmx_set_pools(pools)) _exit(1);
        }
        _exit(0);
    }
    int lost = 0;
    for (int i = 0; i < kRounds; i++) {
        const std::string adjust = std::to_string(i);
        if (!kmx_set_runmode(reinterpret_cast<const unsigned char *>("N5factory"),
                             reinterpret_cast<const unsigned char *>(adjust.c_str())))
            lost++;
        // This program's own change stays until it makes the next one.
        if (!has(conf(), "\"N5adjust\":\"" + adjust + "\"")) lost++;
    }
    int st = -1;
    waitpid(other, &st, 0);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(lost, 0);
    const std::string last = conf();
    EXPECT_TRUE(has(last, "\"url\":\"p" + std::to_string(kRounds - 1) + "\"")) << last;
    EXPECT_TRUE(has(last, "\"N5adjust\":\"" + std::to_string(kRounds - 1) + "\"")) << last;
}

// A full /config: the command fails, the file stays, and the log says why.
TEST(ConfLock, FailedReplaceLogsItsReason) {
    ASSERT_EQ(0, mount("tmpfs", "/config", "tmpfs", 0, "size=4k"));
    ASSERT_TRUE(kos::write_file_atomic(kConf, "{\"pools\":[]}"));
    log_capture_clear();
    unsigned char mode[] = "N5factory", adjust[] = "";
    EXPECT_FALSE(kmx_set_runmode(mode, adjust));
    EXPECT_EQ(conf(), "{\"pools\":[]}");
    EXPECT_TRUE(log_has_part("kmx_set_runmode")) << "";
    EXPECT_TRUE(log_has_part("cannot replace /config/cgminer.conf !: No space left on device"));
    umount("/config");
}

}  // namespace

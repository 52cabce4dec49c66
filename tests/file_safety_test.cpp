// Files replaced whole: the atomic writer keeps modes, survives kills without
// leaving its temporary files behind, and the per-chain count files never
// read back empty after their writer dies mid-write.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <thread>

#include "misc/kmx_board_check.h"
#include "misc/kmx_ini.h"
#include "misc/kmx_pool.h"
#include "os/os.h"
#include "support/log_capture.h"

namespace {

int count_leftovers(const std::string &dir, const char *base) {
    int n = 0;
    if (DIR *d = opendir(dir.c_str())) {
        while (struct dirent *e = readdir(d))
            if (kos::is_write_leftover(e->d_name, base)) n++;
        closedir(d);
    }
    return n;
}

void fresh_dir(const std::string &dir) {
    ASSERT_EQ(0, system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()));
}

TEST(AtomicWrite, KeepsTheModeOfAReplacedFile) {
    fresh_dir("/config/mode");
    const char *path = "/config/mode/secret";
    ASSERT_TRUE(kos::write_file_atomic(path, "a"));
    struct stat st {};
    ASSERT_EQ(0, stat(path, &st));
    EXPECT_EQ(st.st_mode & 07777, 0644u);  // a new file
    ASSERT_EQ(0, chmod(path, 0600));
    ASSERT_TRUE(kos::write_file_atomic(path, "bb"));
    ASSERT_EQ(0, stat(path, &st));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(0, chmod(path, 0755));
    ASSERT_TRUE(kos::write_file_atomic(path, "ccc"));
    ASSERT_EQ(0, stat(path, &st));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    std::string text;
    ASSERT_TRUE(kos::read_file(path, text));
    EXPECT_EQ(text, "ccc");
    EXPECT_EQ(count_leftovers("/config/mode", "secret"), 0);
}

TEST(AtomicWrite, LeftoverNamesAndTheirRemoval) {
    EXPECT_TRUE(kos::is_write_leftover("dtu.conf.tmpA1b2C3", "dtu.conf"));
    EXPECT_FALSE(kos::is_write_leftover("dtu.conf.tmpA1b2C", "dtu.conf"));    // five characters
    EXPECT_FALSE(kos::is_write_leftover("dtu.conf.tmpA1b2C34", "dtu.conf"));  // seven
    EXPECT_FALSE(kos::is_write_leftover("dtu.conf.tmpA1b2C-", "dtu.conf"));
    EXPECT_FALSE(kos::is_write_leftover("dtu.conf.bakA1b2C3", "dtu.conf"));
    EXPECT_FALSE(kos::is_write_leftover("cg.conf.tmpA1b2C3", "dtu.conf"));
    EXPECT_FALSE(kos::is_write_leftover("dtu.conf", "dtu.conf"));

    fresh_dir("/config/left");
    for (const char *name : {"file.tmpAAAAAA", "file.tmpz9z9z9", "file.tmpshort", "file.bak", "other.tmpAAAAAA"})
        ASSERT_TRUE(kos::write_file_atomic(("/config/left/" + std::string(name)).c_str(), "x"));
    ASSERT_EQ(0, mkdir("/config/left/file.tmpDIRDIR", 0755));  // only files go
    EXPECT_EQ(kos::remove_write_leftovers("/config/left/file"), 2);
    EXPECT_EQ(access("/config/left/file.tmpAAAAAA", F_OK), -1);
    EXPECT_EQ(access("/config/left/file.tmpz9z9z9", F_OK), -1);
    EXPECT_EQ(access("/config/left/file.tmpshort", F_OK), 0);
    EXPECT_EQ(access("/config/left/file.bak", F_OK), 0);
    EXPECT_EQ(access("/config/left/other.tmpAAAAAA", F_OK), 0);
    EXPECT_EQ(access("/config/left/file.tmpDIRDIR", F_OK), 0);
    EXPECT_EQ(kos::remove_write_leftovers("/config/left/file"), 0);
}

// A writer that replaces one file as fast as it can, killed at random times.
template <typename Body>
void kill_repeatedly(int tries, int sig, Body body) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int> delay_us(0, 3000);
    for (int i = 0; i < tries; i++) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (;;) body();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
        kill(pid, sig);
        // A writer that outlives its signal by 5 s has lost it.
        int status = 0;
        for (int w = 0; w < 500 && waitpid(pid, &status, WNOHANG) == 0; w++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(pid, &status, WNOHANG) == 0) {
            ADD_FAILURE() << "the writer did not end on signal " << sig;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return;  // one is enough: the rest would each wait as long
        }
    }
}

TEST(AtomicWrite, TerminatingSignalsLeaveNoTemporaryFile) {
    fresh_dir("/config/term");
    const std::string big(64 * 1024, 'x');
    // There before the kills, as the file the writers replace is on the
    // board: on a loaded host every kill may land before a first rename.
    ASSERT_TRUE(kos::write_file_atomic("/config/term/cgminer.conf", big));
    kill_repeatedly(150, SIGTERM, [&] { kos::write_file_atomic("/config/term/cgminer.conf", big); });
    EXPECT_EQ(count_leftovers("/config/term", "cgminer.conf"), 0);
    std::string text;
    ASSERT_TRUE(kos::read_file("/config/term/cgminer.conf", text));
    EXPECT_EQ(text, big);
}

TEST(AtomicWrite, TerminatingSignalsLeaveNoTemporaryFileInAThreadedWriter) {
    // The daemon and the mining program write from one thread while others
    // run: the kernel gives a SIGTERM sent to the process to a thread that
    // does not block it, here the sleeping one.
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        // The children start with the default action, as the programs do
        // on the board (a shell in the background ignores SIGINT).
        const sighandler_t before = signal(sig, SIG_DFL);
        fresh_dir("/config/mt");
        const std::string big(64 * 1024, 'y');
        ASSERT_TRUE(kos::write_file_atomic("/config/mt/status.ini", big));
        bool started = false;
        kill_repeatedly(sig == SIGTERM ? 300 : 100, sig, [&] {
            if (!started) {
                started = true;
                std::thread([] {
                    for (;;) pause();
                }).detach();
            }
            kos::write_file_atomic("/config/mt/status.ini", big);
        });
        EXPECT_EQ(count_leftovers("/config/mt", "status.ini"), 0) << strsignal(sig);
        std::string text;
        ASSERT_TRUE(kos::read_file("/config/mt/status.ini", text));
        EXPECT_EQ(text, big);
        signal(sig, before);
    }
}

TEST(AtomicWrite, ASignalHeldBackStillEndsTheProcessAfterTheWrite) {
    fresh_dir("/config/end");
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::thread([] {
            for (;;) pause();
        }).detach();
        // The signal reaches the sleeping thread during the write.
        const std::string big(4 << 20, 'z');
        std::thread([] {
            usleep(1000);
            kill(getpid(), SIGTERM);
        }).detach();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < until) kos::write_file_atomic("/config/end/file", big);
        _exit(3);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(count_leftovers("/config/end", "file"), 0);
    // A handler the program installed itself is left in place.
    static volatile sig_atomic_t seen = 0;
    struct sigaction own {};
    own.sa_handler = [](int) { seen = 1; };
    struct sigaction old {};
    ASSERT_EQ(0, sigaction(SIGUSR2, &own, &old));
    ASSERT_TRUE(kos::write_file_atomic("/config/end/file", "a"));
    struct sigaction now {};
    ASSERT_EQ(0, sigaction(SIGUSR2, nullptr, &now));
    EXPECT_EQ(now.sa_handler, own.sa_handler);
    raise(SIGUSR2);
    EXPECT_EQ(seen, 1);
    sigaction(SIGUSR2, &old, nullptr);
}

TEST(AtomicWrite, AChildForkedDuringAWriteEndsOnItsSignals) {
    // A thread writes without pause; children forked meanwhile (no exec)
    // must not keep the writer's held signals.
    fresh_dir("/config/fork");
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        const std::string big(256 * 1024, 'f');
        std::thread([&] {
            for (;;) kos::write_file_atomic("/config/fork/file", big);
        }).detach();
        int lost = 0;
        for (int i = 0; i < 40; i++) {
            const pid_t child = fork();
            if (child == 0) {
                for (;;) pause();
            }
            kill(child, SIGTERM);
            int status = 0;
            int w = 0;
            while (waitpid(child, &status, WNOHANG) == 0 && w++ < 200) usleep(10000);
            if (w > 200) {
                lost++;
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
            }
        }
        _exit(lost == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(Leftovers, KilledWritersLeaveNothingOnceTheOwnerWritesAgain) {
    // The INI files on their flash volumes and a count file: killed writers
    // (kill -9, which nothing can hold back) leave temporary files; the
    // next program that writes them clears them with its first write.
    fresh_dir("/config/cnt2");
    static char cnt[] = "/config/cnt2/err_cnt";
    struct File {
        const char *dir, *base;
        std::function<void()> write;
    };
    int n = 0;
    const File files[] = {
        {"/miners", "status.ini",
         [&] { kmx_write_key_to_ini("times_1", "times_1:ip", std::to_string(n++).c_str(), "/miners/status.ini"); }},
        {"/events", "events.ini",
         [&] { kmx_write_events_record_to_ini(3, "lock", "0", std::to_string(n++).c_str()); }},
        {"/config/cnt2", "err_cnt", [&] { kmx_cnt_inc(n++ % 8, cnt); }},
    };
    for (const File &f : files) {
        const std::string path = std::string(f.dir) + "/" + f.base;
        kill_repeatedly(60, SIGKILL, f.write);
        // One that is certain, whatever the kills hit.
        ASSERT_TRUE(kos::write_file_atomic((path + ".tmpAbC123").c_str(), "left"));
        const int left = count_leftovers(f.dir, f.base);
        EXPECT_GT(left, 0) << path;
        log_capture_clear();
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {  // the owner's next start: its first write
            f.write();
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(count_leftovers(f.dir, f.base), 0) << path;
        std::string text;
        EXPECT_TRUE(kos::read_file(path.c_str(), text) && !text.empty()) << path;
    }
}

TEST(CountFiles, AKilledWriterNeverEmptiesTheCounters) {
    fresh_dir("/config/cnt");
    static char path[] = "/config/cnt/err_cnt";
    int start[8] = {11, 12, 13, 14, 15, 16, 17, 18};
    set_cnt_array(start, path);
    std::string text;
    ASSERT_TRUE(kos::read_file(path, text));
    EXPECT_EQ(text, "11 12 13 14 15 16 17 18");  // blanks between, no newline
    int n = 0;
    kill_repeatedly(200, SIGKILL, [&] {
        int arr[8] = {21, 22, 23, 24, 25, 26, 27, n++};
        set_cnt_array(arr, path);
    });
    int got[8] = {};
    log_capture_clear();
    get_cnt_array(got, path);
    EXPECT_FALSE(log_has_part("chain num != KMX_CONFIG_MAX_CHAIN_NUM")) << "count file damaged";
    EXPECT_NE(got[0], 0);
    EXPECT_EQ(got[6], got[0] == 11 ? 17 : 27);
    // What a kill -9 left is cleared by the next owner; the counters stay.
    kos::remove_write_leftovers(path);
    EXPECT_EQ(count_leftovers("/config/cnt", "err_cnt"), 0);
    ASSERT_TRUE(kos::read_file(path, text));
    EXPECT_FALSE(text.empty());
}

}  // namespace

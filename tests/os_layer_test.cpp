// The os layer's own contract with the emulation above it and its pauses.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "os/ioctl_dev.h"
#include "os/os.h"
#include "os/wakeup.h"
#include "os/watchdog.h"

namespace {

std::string read(const std::string &path) {
    std::string s;
    kos::read_file(path.c_str(), s);
    return s;
}

TEST(OsPause, FewMicrosecondsSpinLongerWaitsSleep) {
    // Below the kernel's default timer slack a sleep costs more than the
    // pause itself.
    EXPECT_EQ(kos::kSpinBelowUs, 50u);
    EXPECT_TRUE(kos::pause_spins(0));
    EXPECT_TRUE(kos::pause_spins(1));
    EXPECT_TRUE(kos::pause_spins(kos::kSpinBelowUs - 1));
    EXPECT_FALSE(kos::pause_spins(kos::kSpinBelowUs));
    EXPECT_FALSE(kos::pause_spins(1000));
}

TEST(OsPause, SpinningPauseStillWaitsItsMachineTime) {
    const uint64_t t0 = kos::mono_us();
    for (int i = 0; i < 100; i++) kos::sleep_us(10);
    // The machine clock runs scale times faster, so the machine time passed
    // is at least the sum of the pauses whatever the scale.
    EXPECT_GE(kos::mono_us() - t0, 1000u);
}

// Waits for a peer shrink with the clock, but a scaled wait never drops
// below a second of real time: a peer on a loaded host cannot answer in the
// 15 ms that three board seconds become at scale 200.
TEST(OsClock, PeerBudgetShrinksWithTheClockDownToASecond) {
    const double before = kos::time_scale();
    kos::set_time_scale(1);
    EXPECT_EQ(kos::peer_budget_ms(3000), 3000);
    EXPECT_EQ(kos::peer_budget_ms(400), 400);
    kos::set_time_scale(2);
    EXPECT_EQ(kos::peer_budget_ms(3000), 1500);
    EXPECT_EQ(kos::peer_budget_ms(1999), 1000);
    kos::set_time_scale(200);
    EXPECT_EQ(kos::peer_budget_ms(3000), 1000);
    EXPECT_EQ(kos::peer_budget_ms(10000), 1000);
    EXPECT_EQ(kos::peer_budget_ms(400000), 2000);
    EXPECT_EQ(kos::peer_budget_ms(400), 400);
    kos::set_time_scale(before);
}

// A test clock: the test's own sleeps move it at once by what they ask;
// another thread's sleep ends once the clock has reached its end.
TEST(OsClock, TestClockMovesWithTheTestsSleepsAndWakesOtherThreads) {
    kos::TestClock clock(5000000);
    EXPECT_EQ(kos::mono_us(), 5000000u);
    kos::sleep_s(3600);
    kos::sleep_us(1);  // a spinning pause moves it too
    EXPECT_EQ(kos::mono_us(), 5000000u + 3600000001u);
    EXPECT_FALSE(clock.wait_sleepers(1, 0)) << "no other thread sleeps";
    uint64_t woke = 0;
    std::thread worker([&woke] {
        kos::sleep_ms(10);
        woke = kos::mono_us();
        kos::sleep_ms(10);
    });
    ASSERT_TRUE(clock.wait_sleepers(1));
    const uint64_t t0 = clock.now_us();
    clock.advance_us(9999);
    ASSERT_TRUE(clock.wait_sleepers(1));
    EXPECT_EQ(woke, 0u) << "woke before its time";
    kos::sleep_us(1);  // the test's own sleep wakes it as well
    ASSERT_TRUE(clock.wait_sleepers(1));  // in its second sleep
    EXPECT_EQ(woke, t0 + 10000);
    clock.advance_us(10000);
    worker.join();
}

// A wait the test never ends (no advance, no wake-up) fails the run, naming
// the wait, once its bound of the host's time has passed: no hang until the
// runner's own time-out.
TEST(OsClockDeathTest, AWaitNothingEndsFailsNamingIt) {
    EXPECT_DEATH(
        {
            kos::TestClock clock(5000000, 1);
            std::thread worker([] { kos::sleep_ms(10); });
            worker.join();
        },
        "test clock: a thread waited 1 s of the host's time for the clock to reach 5010000 us \\(it stands at "
        "5000000 us\\): the test never moved it there");
    EXPECT_DEATH(
        {
            kos::TestClock clock(7000000, 1);
            kos::Wakeup wakeup;  // its wait blocks on the test's own thread too
            wakeup.wait_us(3);
        },
        "test clock: a thread waited 1 s of the host's time for the clock to reach 7000003 us or a wake-up \\(it "
        "stands at 7000000 us\\)");
}

// A TERM that comes while a wait sleeps in the kernel (its wait channel
// set) cuts that wait short, whichever thread takes the signal; the
// program then ends by it, killed by TERM. A wait the signal did not cut
// would sleep on for the rest of 1000000 s, and the alarm of two minutes
// of the host's time would end the program instead.
TEST(EndSignals, CutAWaitShortThenEndTheProgram) {
    EXPECT_EXIT(
        {
            alarm(120);
            kos::set_time_scale(1);
            kos::catch_end_signals();
            const std::string wchan = "/proc/self/task/" + std::to_string(gettid()) + "/wchan";
            std::thread sender([&wchan] {
                for (std::string w = read(wchan); w.empty() || w == "0"; w = read(wchan)) usleep(1000);
                kill(getpid(), SIGTERM);
            });
            const bool whole = kos::sleep_s_unless_ended(1000000);
            sender.join();
            if (whole || kos::end_signal() != SIGTERM || kos::sleep_s_unless_ended(1000000)) _exit(1);
            kos::release_end_signals();
            _exit(2);
        },
        testing::KilledBySignal(SIGTERM), "");
    // A step that ends the program with a status of its own (a platform
    // start that cannot go on) after a signal came ends it by the signal.
    EXPECT_EXIT(
        {
            kos::catch_end_signals();
            raise(SIGHUP);
            kos::terminate(0);
        },
        testing::KilledBySignal(SIGHUP), "");
}

TEST(OsEmulation, InstalledFromAboveWithTheMachineClock) {
    ASSERT_TRUE(kos::emulated());
    const kos::Emulation *e = kos::emulation();
    ASSERT_NE(e, nullptr);
    EXPECT_NE(e->register_devices, nullptr);
    const char *scale = getenv("KMX_TIME_SCALE");
    const double want = scale && *scale ? strtod(scale, nullptr) : 1.0;
    EXPECT_DOUBLE_EQ(kos::time_scale(), want);
    EXPECT_DOUBLE_EQ(e->time_scale(), want);
}

// Nothing below src/ names the emulation: it plugs in through os/emulation.h.
TEST(OsEmulation, LibrarySourcesNeverIncludeTheEmulation) {
    const std::string root = std::string(KMX_SOURCE_DIR) + "/src";
    std::string bad;
    std::function<void(const std::string &)> walk = [&](const std::string &dir) {
        DIR *d = opendir(dir.c_str());
        ASSERT_NE(d, nullptr) << dir;
        while (dirent *ent = readdir(d)) {
            const std::string name = ent->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = dir + "/" + name;
            if (ent->d_type == DT_DIR) {
                walk(path);
                continue;
            }
            std::ifstream in(path);
            std::string line;
            while (std::getline(in, line))
                if (line.rfind("#include", 0) == 0 && line.find("sim/") != std::string::npos) bad += path + ": " + line + "\n";
        }
        closedir(d);
    };
    walk(root);
    EXPECT_EQ(bad, "");
}

// The board self-test's calls and the daemon's device-node calls reach one
// card: one holder at a time, machine-wide, and one log.
TEST(OsWatchdog, OneCardForEveryUser) {
    // At the host's pace: the card runs from the open on, and the fork
    // between the open and the first request may take a while on a loaded
    // host (seconds under an emulated CPU).
    const double before = kos::time_scale();
    kos::set_time_scale(1);
    const std::string log = kos::sim_dir() + "/wdt.log";
    unlink(log.c_str());
    const int fd = kos::wdt_open("/dev/watchdog");
    ASSERT_GE(fd, 0) << strerror(errno);
    EXPECT_EQ(kos::dev_open("/dev/watchdog", O_RDWR), -1);
    EXPECT_EQ(errno, EBUSY);
    // Another process of the machine finds it busy too.
    const pid_t pid = fork();
    if (pid == 0) _exit(kos::wdt_open("/dev/watchdog") < 0 && errno == EBUSY ? 0 : 1);
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(kos::wdt_set_options(fd, 2), 0);
    EXPECT_EQ(kos::wdt_set_timeout(fd, 90), 0);
    EXPECT_TRUE(kos::wdt_feed(fd));
    EXPECT_EQ(kos::wdt_set_options(fd, 1), 0);
    kos::wdt_close(fd);
    const std::string text = read(log);
    EXPECT_EQ(text.substr(0, text.find("keepalive")), "open\nenable\ntimeout 90\n") << text;
    EXPECT_NE(text.find("\nkeepalive +"), std::string::npos) << text;
    EXPECT_NE(text.find("\ndisable\nclose\n"), std::string::npos) << text;
    // Free again once closed.
    const int again = kos::wdt_open("/dev/watchdog");
    EXPECT_GE(again, 0);
    kos::wdt_close(again);
    kos::set_time_scale(before);
}

}  // namespace

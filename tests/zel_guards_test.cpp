// The daemon's button sampler and handler, its file checks and the backup
// guard's lock, in-process: the button and LEDs are a fake GPIO table, the
// shell a recording fake.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include "daemon.h"
#include "minerCloud/kmx_cloud.h"
#include "module/kmx_ops_internal.h"
#include "os/os.h"
#include "support/conf_holder.h"
#include "support/fake_shell.h"
#include "support/lock_wait.h"
#include "support/log_capture.h"

namespace {

std::atomic<int> g_button{1};  // 0 while pressed
std::vector<std::pair<char, int>> g_leds;  // ('g'|'r', mode)
std::mutex g_leds_lock;

int fake_button() { return g_button; }
void fake_green(int mode) {
    std::lock_guard<std::mutex> g(g_leds_lock);
    g_leds.emplace_back('g', mode);
}
void fake_red(int mode) {
    std::lock_guard<std::mutex> g(g_leds_lock);
    g_leds.emplace_back('r', mode);
}

class Button : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = *kops::gpio_table();
        reset();
    }
    void reset() {
        kops::gpio_table()->get_button = fake_button;
        kops::gpio_table()->set_green_led = fake_green;
        kops::gpio_table()->set_red_led = fake_red;
        g_leds.clear();
        g_button = 1;
        zelmon::key_press_cnt = 0;
        zelmon::key_state_flag = false;
        zelmon::led_state_flag = true;
        fake_shell().reset();
        // What the handler's actions run; each test looks at which ran.
        fake_shell().answer("cat /config/network/25-wired.network", "yes\n");
        fake_shell().answer("route", "");
        fake_shell().answer("cat /etc/resolv.conf", "");
        fake_shell().answer("/sbin/factory_reset.sh", "");
        fake_shell().answer("sync", "");
        fake_shell().answer("systemctl restart systemd-networkd", "");
        kos::write_file_atomic("/config/network/25-wired.network", "DHCP=yes\n");
    }
    void TearDown() override { *kops::gpio_table() = saved_; }

    // A press of `ticks` samples, then the sample that sees the release.
    static void press(int ticks) {
        g_button = 0;
        for (int i = 0; i < ticks; ++i) zelmon::key_tick();
        g_button = 1;
        zelmon::key_tick();
    }
    static bool ran(const std::string &prefix) {
        for (const std::string &c : fake_shell().commands())
            if (c.rfind(prefix, 0) == 0) return true;
        return false;
    }
    KMX_GPIO_T saved_{};
};

TEST_F(Button, PressLengthPicksTheAction) {
    ASSERT_EQ(0, system("mkdir -p /config/network"));
    struct Case {
        int ticks;
        bool reset, mode_switch;
    } cases[] = {{1, false, false}, {220, false, false}, {221, true, false}, {770, true, false}, {771, false, true}};
    for (const Case &c : cases) {
        reset();
        press(c.ticks);
        ASSERT_TRUE(zelmon::key_state_flag) << c.ticks;
        ASSERT_EQ(zelmon::key_press_cnt, c.ticks);
        zelmon::handle_press(zelmon::key_press_cnt);
        EXPECT_EQ(ran("/sbin/factory_reset.sh"), c.reset) << c.ticks;
        EXPECT_EQ(ran("systemctl restart systemd-networkd"), c.mode_switch) << c.ticks;
    }
}

// The mode switch rewrites the network file under the settings lock: while
// another program holds it, the switch waits and its file comes after
// that program's.
TEST_F(Button, ModeSwitchWaitsForAnotherProgramsLock) {
    ASSERT_EQ(0, system("mkdir -p /config/network"));
    const char *const net = "/config/network/25-wired.network";
    ConfHolder other(net, "[Match]\nName=eth1\n");
    ASSERT_TRUE(other.held());
    LockWaiter press([] { zelmon::handle_press(771); });
    EXPECT_TRUE(press.reached_lock());
    EXPECT_EQ(other.release(), 0);
    press.join();
    std::string text;
    kos::read_file(net, text);
    EXPECT_EQ(text.rfind("[Match]\nName=eth0\n[Network]\n", 0), 0u) << text;
}

TEST_F(Button, PressLightsBothLedsOnceAndPausesTheModeLed) {
    g_button = 0;
    for (int i = 0; i < 50; ++i) zelmon::key_tick();
    EXPECT_FALSE(zelmon::led_state_flag);
    std::vector<std::pair<char, int>> want{{'r', zelmon::kLedLit}, {'g', zelmon::kLedLit}};
    EXPECT_EQ(g_leds, want);
    EXPECT_FALSE(zelmon::key_state_flag);
    g_button = 1;
    zelmon::key_tick();
    EXPECT_TRUE(zelmon::key_state_flag);
    EXPECT_EQ(zelmon::key_press_cnt, 50);
}

TEST_F(Button, HeldTooLongEndsAtOneThousandAndOne) {
    g_button = 0;
    for (int i = 0; i < 1001; ++i) zelmon::key_tick();
    EXPECT_FALSE(zelmon::key_state_flag);
    zelmon::key_tick();  // over 1000: ended although still held
    EXPECT_TRUE(zelmon::key_state_flag);
    EXPECT_EQ(zelmon::key_press_cnt, 1001);
}

TEST_F(Button, APressWhileOneWaitsAddsToIt) {
    press(100);
    press(150);
    EXPECT_EQ(zelmon::key_press_cnt, 250);  // the factory-reset band
    EXPECT_TRUE(zelmon::key_state_flag);
}

TEST(BroadcastMessage, KeysInOrderOptionalOnesOnlyWhenSet) {
    EXPECT_EQ(zelmon::broadcast_message("1.2.3.4", "AA:BB:CC:DD:EE:FF", "n5", "d", "255.0.0.0", "", "8.8.8.8", "", false),
              "{\"ip\":\"1.2.3.4\",\"mac\":\"AA:BB:CC:DD:EE:FF\",\"type\":\"n5\",\"dna\":\"d\",\"netmask\":\"255.0.0.0\","
              "\"dns1\":\"8.8.8.8\",\"netmode\":\"staic\"}");
    EXPECT_EQ(zelmon::broadcast_message("", "", "", "", "", "", "", "", true),
              "{\"ip\":\"\",\"mac\":\"\",\"type\":\"\",\"dna\":\"\",\"netmode\":\"dhcp\"}");
}

TEST(BroadcastMessage, StaysValidJsonAndWithinTheReceiversBuffer) {
    // Resolver data is not ours to trust: quotes are escaped, and a message
    // that would not fit loses optional keys instead of being cut.
    const std::string dns(120, 'x');
    const std::string msg =
        zelmon::broadcast_message("1.2.3.4", "AA:BB:CC:DD:EE:FF", "n5", "a\"b", "255.0.0.0", "gw", dns.c_str(),
                                  dns.c_str(), true);
    EXPECT_LE(msg.size(), 255u);
    EXPECT_NE(msg.find("\"dna\":\"a\\\"b\""), std::string::npos) << msg;
    EXPECT_NE(msg.find("\"gateway\":\"gw\""), std::string::npos) << msg;
    EXPECT_EQ(msg.find("dns2"), std::string::npos) << msg;
    EXPECT_EQ(msg.substr(msg.size() - 18), ",\"netmode\":\"dhcp\"}") << msg;
}

TEST(FileChecks, NetworkFile) {
    auto check = [](const char *text) {
        kos::write_file_atomic("/tmp/net", text);
        return zelmon::check_net_file("/tmp/net");
    };
    EXPECT_TRUE(check("[Network]\nDHCP=yes\n"));
    EXPECT_TRUE(check("[Network]\nDHCP=no\n"));  // any mention of DHCP will do
    EXPECT_TRUE(check("Address=1.2.3.4/24\nGateway=1.2.3.1\nDNS=1.2.3.1\n"));
    EXPECT_FALSE(check("Address=1.2.3.4/24\nGateway=1.2.3.1\n"));
    EXPECT_FALSE(check(""));
    EXPECT_FALSE(zelmon::check_net_file("/tmp/no-such-network-file"));
    EXPECT_FALSE(zelmon::check_net_file(nullptr));
}

TEST(FileChecks, MinerConfigMustBeAnObject) {
    auto check = [](const char *text) {
        kos::write_file_atomic("/tmp/conf", text);
        return zelmon::check_json_file("/tmp/conf");
    };
    EXPECT_TRUE(check("{\"pools\":[]}"));
    EXPECT_FALSE(check("[]"));  // would wipe a good backup
    EXPECT_FALSE(check("{\"pools\":"));
    EXPECT_FALSE(check(""));
    EXPECT_FALSE(zelmon::check_json_file("/tmp/no-such-conf"));
    EXPECT_FALSE(zelmon::check_json_file(nullptr));
}

// The Ethernet guard restores the network file from the DHCP default; when
// that copy fails, its note must not claim it was made.
TEST(NetGuard, CopyNoteOnlyAfterACopy) {
    ASSERT_EQ(0, system("mkdir -p /config/network /etc/systemd/network"));
    fake_shell().reset();
    fake_shell().answer("systemctl restart systemd-networkd", "");
    fake_shell().answer("ifconfig eth0", "");
    const std::string note = "cp -f /etc/systemd/network/dhcp.network  /config/network/25-wired.network !";
    for (bool have_default : {false, true}) {
        kos::write_file_atomic("/config/network/25-wired.network", "[Network]\n");
        if (have_default)
            kos::write_file_atomic("/etc/systemd/network/dhcp.network", "[Match]\nName=eth0\n[Network]\nDHCP=yes\n");
        else
            unlink("/etc/systemd/network/dhcp.network");
        log_capture_clear();
        bool done = true;
        zelmon::check_net_once(&done);
        EXPECT_FALSE(done);
        std::string now;
        kos::read_file("/config/network/25-wired.network", now);
        EXPECT_EQ(log_has_part(note), have_default) << have_default;
        EXPECT_EQ(now.find("eth0") != std::string::npos, have_default) << now;
        EXPECT_EQ(log_has_part("cannot read /etc/systemd/network/dhcp.network"), !have_default);
        EXPECT_TRUE(log_has_part("ifconfig eth0 up !"));
    }
}

// A writer in another program holding the settings lock is never undone by
// the guard: it checks what the writer left, not what it saw half-way.
TEST(BackupGuard, WaitsForAnotherProgramsLock) {
    ASSERT_EQ(0, system("mkdir -p /config && rm -f /config/cgminer.conf.bak"));
    kos::write_file_atomic("/config/cgminer.conf", "{\"pools\":");  // mid-edit
    kos::write_file_atomic("/config/cgminer.conf.bak", "{\"old\":1}");
    ConfHolder other("/config/cgminer.conf", "{\"new\":1}");
    ASSERT_TRUE(other.held());
    LockWaiter guard(zelmon::cgconf_bak);
    EXPECT_TRUE(guard.reached_lock());
    EXPECT_EQ(other.release(), 0);
    guard.join();
    std::string conf, bak;
    kos::read_file("/config/cgminer.conf", conf);
    kos::read_file("/config/cgminer.conf.bak", bak);
    EXPECT_EQ(conf, "{\"new\":1}");
    EXPECT_EQ(bak, "{\"new\":1}");
}

}  // namespace

// The board's button and the network-mode LED. A 20 ms sampler measures how
// long the button is held; the handler acts on a finished press by its
// length: a short one broadcasts the machine's address, a medium one restores
// factory settings, a long one switches eth0 between DHCP and a fixed
// address. The green LED blinks while the port uses DHCP, stays lit when it
// has a fixed address.
#include <arpa/inet.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <jansson.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon.h"
#include "minerCloud/kmx_cloud.h"
#include "misc/kmx_conf_lock_internal.h"
#include "misc/kmx_misc.h"
#include "misc/kmx_report.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"

namespace zelmon {

// Atomic: the handler and the LED thread look at them without the lock.
std::atomic<int> key_press_cnt{0};
std::atomic<bool> key_state_flag{false};
std::atomic<bool> led_state_flag{true};
std::atomic<bool> s_dhcp_mode{true};
pthread_mutex_t key_press_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr const char *kIface = "eth0";
constexpr const char *kNetworkFile = "/config/network/25-wired.network";
constexpr int kBroadcastMax = 220;
constexpr int kResetMax = 770;
constexpr int kForcedEnd = 1000;  // about 20 s: the sampler ends the press itself
constexpr int kLongestCheckS = 60;  // a press is carried out within a minute at most

bool s_green = false;  // last value written by the toggle

void green_toggle() {
    s_green = !s_green;
    // The toggle alternates between dark (state true) and lit.
    kmx_set_green_led(s_green ? kLedDark : kLedLit);
}

void blink(int times) {
    for (int i = 0; i < times; ++i) {
        green_toggle();
        kos::sleep_ms(250);
    }
}

void both_dark() {
    kmx_set_red_led(kLedDark);
    kmx_set_green_led(kLedDark);
}

bool iface_addr(int fd, unsigned long request, char *out, size_t size) {
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", kIface);
    if (ioctl(fd, request, &ifr) != 0) return false;
    const auto *sin = reinterpret_cast<const sockaddr_in *>(&ifr.ifr_addr);
    return inet_ntop(AF_INET, &sin->sin_addr, out, socklen_t(size)) != nullptr;
}

// The DNA text from sysfs ends in a newline that must not reach the message.
void strip_trailing_space(char *s) {
    size_t n = strlen(s);
    while (n > 0 && isspace(static_cast<unsigned char>(s[n - 1]))) s[--n] = '\0';
}

void address_broadcast() {
    kmx_logf(5, "send udp boardcast for ip address \n");
    both_dark();
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    target.sin_port = htons(8001);

    char ip[40] = "", netmask[40] = "";
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        perror("socket");
    } else {
        if (!iface_addr(fd, SIOCGIFADDR, ip, sizeof ip) || !iface_addr(fd, SIOCGIFNETMASK, netmask, sizeof netmask))
            kmx_logf(5, ":No Such Device %s\n", kIface);
        close(fd);
    }

    // Without a hardware address there is nothing to announce; the daemon
    // goes on (it also feeds the watchdog and serves the LEDs).
    char mac[32] = "";
    fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        perror("socket");
        kmx_logf(5, "%s  %d  no socket for the hardware address, broadcast abandoned\n", __func__, __LINE__);
        return;
    }
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", kIface);
    if (ioctl(fd, SIOCGIFHWADDR, &ifr) != 0) {
        perror("ioctl");
        close(fd);
        kmx_logf(5, "%s  %d  no hardware address for %s, broadcast abandoned\n", __func__, __LINE__, kIface);
        return;
    }
    close(fd);
    const auto *hw = reinterpret_cast<const unsigned char *>(ifr.ifr_hwaddr.sa_data);
    snprintf(mac, sizeof mac, "%02X:%02X:%02X:%02X:%02X:%02X", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);

    char type[16] = "", dna[64] = "", gateway[40] = "", dns1[40] = "", dns2[40] = "";
    kmx_get_miner_type(type, sizeof type);
    kmx_get_dna(dna);
    dna[sizeof dna - 1] = '\0';
    strip_trailing_space(dna);
    const bool dhcp = kmx_get_dhcp_mode();
    kmx_get_gateway(const_cast<char *>(kIface), gateway);
    kmx_get_dns_server(dns1, dns2);

    const std::string msg = broadcast_message(ip, mac, type, dna, netmask, gateway, dns1, dns2, dhcp);
    send_a_udp_pkg(&target, msg.c_str());
    target.sin_port = htons(14235);
    char text[100];
    snprintf(text, sizeof text, "%s,%s", ip, mac);
    send_a_udp_pkg(&target, text);
    blink(2);
}

void factory_reset() {
    kmx_logf(5, "reset to default  \n");
    both_dark();
    blink(4);
    kos::sleep_s(1);
    kmx_logf(5, "%s,%s.\n", "revert_default_conf", "/sbin/factory_reset.sh");
    {
        // The reset script replaces /config/cgminer.conf and the network
        // file: it runs under their lock, never beside a writer in flight
        // whose rename would undo it. Refused, the reset does not run.
        kmisc::ConfLock lock("revert_default_conf");
        if (!lock.held()) return;
        kos::shell_status("/sbin/factory_reset.sh");
    }
    for (int i = 0; i < 3; ++i) run_shell("sync");
    s_dhcp_mode = kmx_get_dhcp_mode();
}

}  // namespace

std::string broadcast_message(const char *ip, const char *mac, const char *type, const char *dna, const char *netmask,
                              const char *gateway, const char *dns1, const char *dns2, bool dhcp) {
    // Receivers read at most 255 characters: optional keys give way, last
    // first, rather than the object being cut.
    const char *optional_keys[] = {"netmask", "gateway", "dns1", "dns2"};
    const char *optional_vals[] = {netmask, gateway, dns1, dns2};
    std::string out;
    for (int keep = 4; keep >= 0; --keep) {
        json_t *o = json_object();
        json_object_set_new(o, "ip", json_string(ip));
        json_object_set_new(o, "mac", json_string(mac));
        json_object_set_new(o, "type", json_string(type));
        json_object_set_new(o, "dna", json_string(dna));
        for (int i = 0; i < keep; ++i)
            if (optional_vals[i] && optional_vals[i][0])
                json_object_set_new(o, optional_keys[i], json_string(optional_vals[i]));
        // "staic" is what receivers of this message know.
        json_object_set_new(o, "netmode", json_string(dhcp ? "dhcp" : "staic"));
        char *text = json_dumps(o, JSON_COMPACT | JSON_PRESERVE_ORDER);
        json_decref(o);
        out = text ? text : "";
        free(text);
        if (out.size() <= 255) break;
    }
    return out;
}

void send_a_udp_pkg(sockaddr_in *target_addr, const char *msg) {
    kmx_logf(5, "%s:%s\n", __func__, msg);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        kmx_logf(5, "socket fail\n");
        return;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    char addr[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &target_addr->sin_addr, addr, sizeof addr);
    kmx_logf(5, "sendto %s:%u with:%s\n", addr, unsigned(ntohs(target_addr->sin_port)), msg);
    if (sendto(fd, msg, strlen(msg), 0, reinterpret_cast<sockaddr *>(target_addr), sizeof *target_addr) < 0)
        kmx_logf(5, "sendto fail\n");
    close(fd);
}

bool change_net_mode() {
    kmx_logf(5, "%s:", __func__);
    const bool to_dhcp = !kmx_get_dhcp_mode();
    const char *text;
    if (to_dhcp) {
        kmx_logf(5, "static ip ===> dhcp.\n");
        text = "[Match]\nName=eth0\n[Network]\nDHCP=yes\n[DHCP]\nClientIdentifier=mac\n";
    } else {
        kmx_logf(5, "dhcp ===> static ip.\n");
        text = "[Match]\nName=eth0\n[Network]\nAddress=192.168.1.254/24\nGateway=192.168.1.1\nDNS=192.168.1.1\n"
               "DNS=192.168.1.1\n";
    }
    bool ok;
    {
        // Replaced whole and under the lock the backup guard checks under:
        // it must never see (and "repair") half a file.
        kmisc::ConfLock lock(__func__);
        ok = lock.held() && kos::write_file_atomic(kNetworkFile, text);
    }
    if (!ok) {
        kmx_logf(5, "fopen %s fail.\n", kNetworkFile);
        return false;
    }
    s_dhcp_mode = to_dhcp;
    run_shell("systemctl restart systemd-networkd\n");
    for (int i = 0; i < 3; ++i) run_shell("sync");
    return true;
}

void handle_press(int ticks) {
    if (ticks <= 0) return;
    if (ticks <= kBroadcastMax) {
        address_broadcast();
    } else if (ticks <= kResetMax) {
        factory_reset();
    } else {
        kmx_logf(5, "switch network mode!\n");
        both_dark();
        change_net_mode();
        blink(8);
    }
}

void key_tick() {
    pthread_mutex_lock(&key_press_lock);
    int button = 1;  // released, also when the sampler ends the press itself
    bool pressed = false;
    if (key_press_cnt <= kForcedEnd || key_state_flag) {
        button = kmx_get_button();
        pressed = button == 0;
    } else {
        kmx_logf(5, "key_press_cnt(>850): %d\n", key_press_cnt.load());
    }
    if (pressed) {
        if (key_press_cnt == 0 && !key_state_flag) {
            led_state_flag = false;
            kmx_set_red_led(kLedLit);
            kmx_set_green_led(kLedLit);
        }
        key_press_cnt++;
    } else if (key_press_cnt > 0 && !key_state_flag) {
        key_state_flag = true;
        kmx_logf(5, "key_press_cnt: %d,state:%d\n", key_press_cnt.load(), button);
    }
    pthread_mutex_unlock(&key_press_lock);
}

void *thread_key_press_cnt(void *) {
    for (;;) {
        key_tick();
        kos::sleep_ms(20);
    }
}

void *thread_button_monitor(void *interval) {
    int seconds = interval ? *static_cast<int *>(interval) : 1;
    kmx_logf(5, "thread_button_monitor start:%d.\n", seconds);
    if (seconds < 1) {
        // 0 (or a non-number on the command line) would poll without pause.
        kmx_logf(5, "button check interval %d raised to 1 s\n", seconds);
        seconds = 1;
    } else if (seconds > kLongestCheckS) {
        // A press would wait that long to be carried out: the button off.
        kmx_logf(5, "button check interval %d lowered to %d s\n", seconds, kLongestCheckS);
        seconds = kLongestCheckS;
    }
    for (;;) {
        if (key_state_flag && key_press_cnt) {
            pthread_mutex_lock(&key_press_lock);
            const int n = key_press_cnt;
            key_state_flag = false;
            handle_press(n);
            key_press_cnt = 0;
            led_state_flag = true;
            pthread_mutex_unlock(&key_press_lock);
        }
        kos::sleep_s(unsigned(seconds));
    }
}

void *thread_net_mode_flag(void *) {
    // The mode the port was configured with, not "DHCP" until the first
    // switch: a machine with a fixed address must not blink at boot.
    s_dhcp_mode = kmx_get_dhcp_mode();
    bool last_dhcp = false;  // last mode seen starts as static
    for (;;) {
        if (led_state_flag) {
            const bool dhcp = s_dhcp_mode;
            if (dhcp != last_dhcp) {
                kmx_logf(5, dhcp ? "net mode: (dhcp)\n" : "net mode: (static)\n");
                last_dhcp = dhcp;
            }
            if (dhcp)
                green_toggle();
            else
                kmx_set_green_led(kLedLit);
        }
        kos::sleep_s(2);
    }
}

}  // namespace zelmon

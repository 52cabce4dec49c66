// zel-monitor's own pieces: start-up steps, the threads it runs and the
// helpers they share. Names that the library also defines stay in the
// zelmon namespace so nothing clashes at link time.
#pragma once

#include <atomic>
#include <cstddef>
#include <pthread.h>
#include <string>

struct sockaddr_in;

namespace zelmon {

// The board LEDs follow the library's front functions: any non-zero mode
// lights an LED, 0 darkens it.
constexpr int kLedLit = 1;
constexpr int kLedDark = 0;

// Creates a detached thread named `name` (at most 15 characters: what ps,
// top and /proc/PID/task/*/comm show); on failure logs `fail_text` at
// level 5.
using ThreadBody = void *(*)(void *);
bool start_detached(ThreadBody body, void *arg, const char *name, const char *fail_text);

// Runs one command through the library's shell helper, output ignored.
void run_shell(const char *cmd);

// ---- start-up steps (startup.cpp) ----------------------------------------
// Reconciles the machine type in /etc/hwrevision with U-Boot's miner_type
// through /etc/map.conf. The paths are parameters so tests can point them
// elsewhere; the daemon passes the board's own.
void reconcile_hwrevision(const char *hwrevision_path, const char *map_path);
// True when the board kind named in /etc/hwrevision is the SoC board.
// `readable` is false when the file could not be read.
bool board_is_soc(const char *hwrevision_path, bool *readable);
// Runs a pending supply upgrade found in `dir` (rebooting afterwards).
void run_pending_psu_upgrade(const char *dir);

// ---- single instance and leftovers (instance.cpp) ---------------------------
constexpr const char *kInstanceLock = "/run/zel-monitor.lock";
// Locks `path` for this process; -1 (with a message on standard error and in
// the log) when another daemon holds it or it cannot be taken.
int take_instance_lock(const char *path);
// Removes temporary files an interrupted replace left beside the files the
// daemon owns, before any thread writes them.
void remove_owned_leftovers();

// ---- LED server (led_server.cpp) -------------------------------------------
struct LedRequest {
    bool ok = false;  // reply "true"
    int led = -1;     // mode for kmx_set_red_led, -1 when unchanged
    // Why a malformed request is refused: its error line without the
    // newline, the request's own bytes in it escaped; empty otherwise.
    std::string refusal;
};
// Decides the answer to one request text (not necessarily NUL-terminated);
// refusals are left to the caller to tell.
LedRequest led_parse_request(const char *text, size_t len);
// One accepted connection: read the request, act, reply, close.
void led_serve_client(int client_fd);
void *thread_socket_server(void *);

// ---- button and network-mode LED (button.cpp) -------------------------------
// Press state shared by the sampler, the handler and the mode LED.
extern std::atomic<int> key_press_cnt;
extern std::atomic<bool> key_state_flag;
extern std::atomic<bool> led_state_flag;
extern std::atomic<bool> s_dhcp_mode;
extern pthread_mutex_t key_press_lock;
// One 20 ms sample of the button, and the action for a finished press of
// `ticks` samples (both also called directly by tests).
void key_tick();
void handle_press(int ticks);
// The address broadcast's JSON text, keys in the order receivers expect.
std::string broadcast_message(const char *ip, const char *mac, const char *type, const char *dna, const char *netmask,
                              const char *gateway, const char *dns1, const char *dns2, bool dhcp);
void send_a_udp_pkg(struct sockaddr_in *target_addr, const char *msg);
// Switches eth0 between DHCP and the fixed address; false when the network
// file could not be replaced.
bool change_net_mode();

// ---- network guards (net_guard.cpp) -----------------------------------------
bool check_net_file(const char *file_path);
bool check_json_file(const char *file_path);
void cgconf_bak();
void network_bak();
// One look of the Ethernet guard; `done` once the port is configured and up.
void check_net_once(bool *done);

// ---- watchdog, status checks, update log (watchdog.cpp, status.cpp,
// update_log.cpp) --------------------------------------------------------------
int wdt_ioctl(int fd, unsigned cmd, unsigned arg);
void update_system_status();
bool kmx_check_process_exist(const char *process_name);
bool kmx_check_free_mem(int threshold);
bool kmx_check_web_good();
void update_log_record(const char *file_name, const char *log, int len);

// ---- thread bodies, in the order main starts them ---------------------------
// Not on the SoC board (status.cpp, watchdog.cpp, update_log.cpp).
void *thread_system_status_monitor(void *);
void *thread_feed_watchdog(void *);
void *thread_record_swudate_log(void *);
// Statistics history and report sender (stats.cpp).
void *thread_get_stats(void *);
void *thread_send_stats(void *);
// Button, network-mode LED and network guards (button.cpp, net_guard.cpp);
// thread_button_monitor takes the address of the check interval.
void *thread_key_press_cnt(void *);
void *thread_button_monitor(void *interval);
void *thread_net_mode_flag(void *);
void *thread_check_net(void *);
void *thread_file_bak(void *);

}  // namespace zelmon

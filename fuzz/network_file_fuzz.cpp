// The network file /config/network/25-wired.network as the daemon's guards
// read it (format check, backup keeping, the Ethernet guard) and as the
// library's DHCP-mode getter reads what its command printed from it.
//
// Input: the network file's text, a NUL, then its backup's text. After the
// backup guard the network file must pass the format check (a good backup
// or the default takes the place of a bad file), and the backup must equal
// it; the DHCP mode must be read without leaving its buffer.
#include <sys/prctl.h>

#include <cstdint>
#include <string>

#include "daemon.h"
#include "fuzz_support.h"
#include "misc/kmx_report.h"

namespace {

const char *const kNet = "/config/network/25-wired.network";
const char *const kBak = "/config/network/25-wired.network.bak";
const char *const kDefault = "/etc/systemd/network/dhcp.network";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::setup_machine();
    mkdir("/etc/systemd", 0755);
    mkdir("/etc/systemd/network", 0755);
    fuzz::write_or_die(kDefault, "[Match]\nName=eth0\n[Network]\nDHCP=yes\n");
    // The guards wait up to 3 s an input (a bad file confirmed a second
    // later, the network restarted, the default put in place of a file
    // without eth0): 15 ms at the machine's time scale, most of a run. The
    // waits are no part of what is read: here they last microseconds, and
    // without the kernel's 50 us of timer slack on each.
    kos::set_time_scale(1e6);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const auto [net, bak] = fuzz::split_at_nul(data, size);
    fuzz::write_or_die(kNet, net);
    fuzz::write_or_die(kBak, bak);
    const bool net_ok = zelmon::check_net_file(kNet);
    zelmon::network_bak();
    std::string after, after_bak;
    if (!kos::read_file(kNet, after) || !kos::read_file(kBak, after_bak)) fuzz::fail("network file", "gone");
    if (!zelmon::check_net_file(kNet)) fuzz::fail("network file left failing its check", after);
    if (net_ok && after != net) fuzz::fail("a good network file was replaced", after);
    if (after != after_bak) fuzz::fail("backup differs from the network file", after_bak);

    bool done = false;
    zelmon::check_net_once(&done);

    // What the DHCP-mode command prints: the value after "DHCP=".
    fuzz::shell().answers = {{"25-wired.network", net}};
    kmx_get_dhcp_mode();
    fuzz::shell().answers.clear();
    fuzz::shell().take();
    return 0;
}

// kmx-cloud-driver: sends status reports the way the daemon's sender does.
//
//   kmx-cloud-driver [--led] [--reports N]
//
// Each report: read /config/dtu.conf, seed the server in use on the first
// success, fill two chains' statistics and build and send the report.
// --led first brings up the hub's LED lines (platform 4) so that the LED
// commands have a back-end. Prints "report N: ok|skipped" per report.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "drv/hub.h"
#include "misc/kmx_dtu.h"
#include "misc/kmx_report.h"
#include "module/kmx_ops.h"
#include "platform/kmx_platform.h"

int main(int argc, char **argv) {
    int reports = 1;
    bool led = false;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "--led")) led = true;
        if (!strcmp(argv[i], "--reports") && i + 1 < argc) reports = atoi(argv[++i]);
    }
    if (led) {
        g_platform = 4;
        hub_init();
        init_kmx_gpio();
    }
    dtu_server_config server;
    memset(&server, 0, sizeof server);
    bool seeded = false;
    for (int r = 0; r < reports; r++) {
        dtu_config cfg;
        memset(&cfg, 0, sizeof cfg);
        bool ok = kmx_get_dtu_cfg_from_file(&cfg);
        if (ok && !seeded) {
            snprintf(server.usedIp, sizeof server.usedIp, "%s", cfg.usedIp);
            server.usedPort = cfg.usedPort;
            seeded = true;
        }
        cfg.usedServer = &server;
        chain_status chains[9];
        memset(chains, 0, sizeof chains);
        for (int c : {0, 2}) {
            chains[c].valid = true;
            chains[c].chain_id = c;
            chains[c].tmp_hi = 70 + c;
            chains[c].tmp_av = 60 + c;
            chains[c].hash = 1234.5 + c;
            chains[c].runtime = 3600.7;
            chains[c].fan_duty = 55;
            chains[c].accCnt = 10;
            chains[c].pll = 600;
        }
        if (ok) kmx_make_one_packet(&cfg, chains, 0);
        printf("report %d: %s\n", r + 1, ok ? "ok" : "skipped");
        fflush(stdout);
    }
    return 0;
}

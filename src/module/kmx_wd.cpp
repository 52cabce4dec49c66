#include "module/kmx_wd.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include "misc/kmx_errcode.h"
#include "module/kmx_chain.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"

namespace {

// -1 until the queue is opened: nothing is sent to a queue id that belongs
// to somebody else.
std::atomic<int> s_msq_id{-1};
std::atomic<key_t> s_msq_key{-1};
int s_wd_shutdown_state[8];
const char *const WD_STATE_FILE = "/tmp/watchdog";

}  // namespace

// The key the queue was opened with; before that, the key it will have.
extern "C" key_t kmx_wd_get_msq_key(void) {
    const key_t key = s_msq_key.load();
    return key != -1 ? key : ftok("/bin/watchdog", 'w');
}

extern "C" bool kmx_wd_load_state(void) {
    FILE *fp = fopen(WD_STATE_FILE, "r+");
    if (!fp) {
        kmx_logf(3, "watchdog state file not found, load NORMAL state for all chains!");
        return true;
    }
    int v[8] = {0};
    // A short or damaged file leaves the slots it does not name normal.
    (void)fscanf(fp, "%d %d %d %d %d %d %d %d", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    memcpy(s_wd_shutdown_state, v, sizeof v);
    fclose(fp);
    return true;
}

extern "C" bool kmx_wd_save_state(void) {
    const int *s = s_wd_shutdown_state;
    char line[128];
    snprintf(line, sizeof line, "%d %d %d %d %d %d %d %d\n", s[0], s[1], s[2], s[3], s[4], s[5], s[6], s[7]);
    if (!kos::write_file_atomic(WD_STATE_FILE, line)) {
        kmx_logf(5, "create watchdog state file failed!");
        return false;
    }
    return true;
}

extern "C" void kmx_wd_client_init(void) {
    kmx_wd_load_state();
    key_t key = ftok("/bin/watchdog", 'w');
    if (key == -1) {
        kmx_logf(5, "ftok error");
        kos::terminate(1);
    }
    s_msq_key.store(key);
    kmx_logf(3, "<Message Queue> client key: %d", int(key));
    int id = msgget(key, IPC_CREAT | 0777);
    if (id < 0) {
        kmx_logf(5, "<Message Queue> msgget error!");
        kos::terminate(1);
    }
    s_msq_id.store(id);
    kmx_logf(3, "<Message Queue> msq id: %d", id);
    kmx_logf(3, "<Message Queue> pid: %d", int(getpid()));
}

extern "C" void kmx_wd_send_msg(long mtype, wd_msg_data *mdata) {
    const int id = s_msq_id.load();
    if (id < 0 || !mdata) return;
    wd_msg msg;
    msg.mtype = mtype;
    memcpy(&msg.data, mdata, sizeof msg.data);
    msgsnd(id, &msg, sizeof msg.data, IPC_NOWAIT);
    kmx_logf(1, "<Message Queue> chaind%d: send(%llu)", mdata->chain_id, (unsigned long long)mdata->last_update);
}

extern "C" int kmx_wd_get_state(int chain_id) {
    if (chain_id < 0 || chain_id > 7) return 0;
    return s_wd_shutdown_state[chain_id];
}

extern "C" void kmx_wd_chain_shutdown(int chain_id, int reason) {
    if (chain_id < 0 || chain_id > 7) return;
    s_wd_shutdown_state[chain_id] = reason;
    kmx_wd_save_state();
    if (reason == 1 || reason == 2) {
        char msg[32];
        snprintf(msg, sizeof msg, "%s", reason == 1 ? "temp not update" : "overheat");
        kmx_set_errcode(ERRCODE_WATCHDOG, msg, true, chain_id, nullptr, 0);
        kmx_save_errcode();
    }
    g_poweron_flag = false;
    kmx_chain_power_down(uint8_t(chain_id));
}

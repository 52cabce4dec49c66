// Stand-in for the outside watchdog program. Installed as /bin/watchdog in
// the emulated machine (the queue key is derived from that path), it takes
// the chain temperature (257) and power-down (258) messages off the queue
// and appends each as "TYPE HEX" (the 24 body bytes) to
// $KMX_SIM_DIR/watchdog.log.
//
//   watchdog           receive forever
//   watchdog --drain   take what is queued now, then exit
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/msg.h>

namespace {

struct Message {
    long mtype;
    unsigned char body[24];
};

std::string log_path() {
    const char *dir = getenv("KMX_SIM_DIR");
    return std::string(dir && *dir ? dir : "/run/sim") + "/watchdog.log";
}

}  // namespace

int main(int argc, char **argv) {
    const bool drain = argc > 1 && strcmp(argv[1], "--drain") == 0;
    key_t key = ftok("/bin/watchdog", 'w');
    if (key == -1) {
        perror("watchdog: ftok");
        return 1;
    }
    int q = msgget(key, IPC_CREAT | 0777);
    if (q < 0) {
        perror("watchdog: msgget");
        return 1;
    }
    const std::string path = log_path();
    for (;;) {
        Message m;
        // Lowest type first among 1..258; anything below 257 is not ours
        // and is dropped.
        ssize_t n = msgrcv(q, &m, sizeof m.body, -258, drain ? IPC_NOWAIT : 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (drain && errno == ENOMSG) return 0;
            perror("watchdog: msgrcv");
            return 1;
        }
        if (m.mtype != 257 && m.mtype != 258) continue;
        char line[80];
        int len = snprintf(line, sizeof line, "%ld ", m.mtype);
        for (ssize_t i = 0; i < ssize_t(sizeof m.body); i++)
            len += snprintf(line + len, sizeof line - size_t(len), "%02x", i < n ? m.body[i] : 0);
        line[len++] = '\n';
        FILE *fp = fopen(path.c_str(), "a");
        if (!fp) {
            perror("watchdog: log");
            return 1;
        }
        fwrite(line, 1, size_t(len), fp);
        fclose(fp);
    }
}

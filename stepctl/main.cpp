// stepctl: runs the factory tuning steps. For each step it waits for the
// running miner's verdict in /tmp/errcode, switches the work mode in
// /config/cgminer.conf and restarts the miner; progress goes to
// /tmp/tuning_step.dat for the factory tools.
#include <cJSON.h>
#include <jansson.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/tool_args.h"
#include "misc/kmx_conf_lock_internal.h"
#include "module/kmx_log.h"
#include "os/os.h"

namespace {

constexpr int kMaxSteps = 10;
constexpr int kAttempts = 600;
constexpr int kTimeoutCode = 101;
constexpr int kCodeSuccess = 0;
constexpr int kCodeContinue = 25;     // accepted as success
constexpr int kCodeNotFinished = 30;  // keep waiting
const char *const kModeKeys[] = {"N5efficient", "N5balance", "N5factory", "N5performance"};
const char kConf[] = "/config/cgminer.conf";
const char kErrcode[] = "/tmp/errcode";
const char kStatusFile[] = "/tmp/tuning_step.dat";

int s_errcode = 0;

void stepctl_write_status(int prog_flag, int step) {
    cJSON *o = cJSON_CreateObject();
    cJSON_AddNumberToObject(o, "prog_flag", prog_flag);
    cJSON_AddNumberToObject(o, "step", step);
    cJSON_AddNumberToObject(o, "errorcode", s_errcode);
    char *text = cJSON_Print(o);
    if (text) {
        printf("%s\n", text);
        if (!kos::write_file_atomic(kStatusFile, text))
            kmx_logf(3, "%s,%d:write %s failed: %s", "stepctl", __LINE__, kStatusFile, strerror(errno));
        cJSON_free(text);
    }
    cJSON_Delete(o);
}

void stepctl_prepare_file(const char *path) {
    for (int i = 0; i < 10; i++) {
        if (FILE *fp = fopen(path, "w+")) {
            fclose(fp);
            return;
        }
        kmx_logf(3, "open file %s failed!: %s", path, strerror(errno));
    }
}

void stepctl_stop_tmp_clean() {
    kmx_logf(3, "Stop clean tmp timer!");
    kos::shell_status("systemctl stop systemd-tmpfiles-clean.timer");
}

void prepare_run() {
    stepctl_stop_tmp_clean();
    stepctl_prepare_file("/tmp/fac_mp");
    stepctl_prepare_file("/tmp/cold.dat");
}

int step_code(const char *token) {
    if (strcmp(token, "e") == 0) return 0;
    if (strcmp(token, "b") == 0) return 1;
    if (strcmp(token, "f") == 0) return 2;
    if (strcmp(token, "p") == 0) return 3;
    return -1;
}

// Letters separated by single blanks; a token that is a newline alone ends
// the list, anything else unknown is skipped.
std::vector<int> parse_steps(char *line) {
    std::vector<int> steps;
    char *save = nullptr;
    for (char *t = strtok_r(line, " ", &save); t; t = strtok_r(nullptr, " ", &save)) {
        if (strcmp(t, "\n") == 0) break;
        const int code = step_code(t);
        if (code < 0) continue;
        steps.push_back(code);
        if (int(steps.size()) == kMaxSteps) {
            kmx_logf(3, "steps exceed max!");
            break;
        }
    }
    return steps;
}

// The miner's code from the first line of /tmp/errcode. False while there is
// no result yet: no file, or a first line that is not one whole decimal
// number with only white space around it (empty, half-written, "0x1f",
// "0abc": a number's prefix is never taken for the code). Never read as a
// success.
bool read_errcode(int &code) {
    std::string text;
    if (!kos::read_file(kErrcode, text, 64)) return false;
    const std::string line = text.substr(0, text.find('\n'));
    const char *p = line.c_str();
    char *end = nullptr;
    errno = 0;
    const long v = strtol(p, &end, 10);
    if (end == p || errno != 0 || v < INT_MIN || v > INT_MAX) return false;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\v' || *end == '\f') end++;
    if (end != p + line.size()) return false;
    code = int(v);
    return true;
}

// The miner's verdict on the running step: true for success.
bool wait_result() {
    int left = kAttempts;
    bool decided = false;  // a success or a failure was read
    bool ok = false;
    while (left > 0) {
        left--;
        int code = 0;
        if (!read_errcode(code)) {
            kos::sleep_s(2);
            continue;
        }
        s_errcode = code;
        if (code == kCodeSuccess) {
            kmx_logf(3, "Miner Run Successfully!\n");
            ok = decided = true;
            break;
        }
        if (code == kCodeContinue) {
            kmx_logf(3, "Error code is 25! Continue testing\n");
            ok = decided = true;
            break;
        }
        kmx_logf(3, "Error code:%d!\n", code);
        if (code != kCodeNotFinished) {
            decided = true;
            break;
        }
        kos::sleep_s(2);
    }
    // No verdict in the whole wait, whether the file never came or kept
    // saying "not finished": a time-out.
    if (!decided) s_errcode = kTimeoutCode;
    kmx_logf(3, "timeout_cnt:%d", left);
    return ok;
}

void drop_key(json_t *conf, const char *key) {
    if (json_object_get(conf, key)) {
        json_object_del(conf, key);
        kmx_logf(3, "remove %s!", key);
    } else {
        kmx_logf(3, "%s is not existed!", key);
    }
}

// False when the step's mode could not be read or written: the miner would
// run the next step in the old mode.
bool switch_mode(int mode) {
    // Read, changed and replaced under the lock every program that rewrites
    // the file holds, so that no other change made meanwhile is undone.
    kmisc::ConfLock lock("stepctl");
    if (!lock.held()) return false;
    // A file that does not load fails the step as an unwritten one does:
    // the miner would run the next step in a mode nobody set.
    json_error_t err;
    json_t *conf = json_load_file(kConf, 0, &err);
    if (!conf || !json_is_object(conf)) {
        kmx_logf(3, "%s,%d:load %s failed: %s", "stepctl", __LINE__, kConf,
                 conf ? "not a JSON object" : klog::Outside(err.text).c_str());
        json_decref(conf);
        return false;  // no mode written: the step fails
    }
    drop_key(conf, "N5noauto");
    drop_key(conf, "BistTune");
    int current = 1;
    if (json_is_true(json_object_get(conf, "N5factory"))) {
        current = 2;
        kmx_logf(3, "Original Mode is factory!\n");
    }
    if (json_is_true(json_object_get(conf, "N5efficient"))) {
        current = 0;
        kmx_logf(3, "Original  Mode is efficient!\n");
    }
    if (json_is_true(json_object_get(conf, "N5performance"))) {
        current = 3;
        kmx_logf(3, "Original Mode is performance!\n");
    }
    if (current == mode) {
        kmx_logf(3, "mode is the same!\n");
    } else {
        kmx_logf(3, "change the mode in cgminer.conf!\n");
        if (json_object_del(conf, kModeKeys[current]) != 0) kmx_logf(3, "remove %s error", kModeKeys[current]);
        // Any other mode key goes too (a false one, or a second true one):
        // the miner must find exactly the step's mode.
        for (const char *key : kModeKeys) json_object_del(conf, key);
        json_object_set_new(conf, kModeKeys[mode], json_true());
        // The miner's configuration is replaced whole, never truncated in
        // place: a power cut leaves the old or the new file.
        char *text = json_dumps(conf, JSON_INDENT(4));
        if (!text || !kos::write_file_atomic(kConf, text)) {
            kmx_logf(3, "%s,%d:write %s failed: %s", "stepctl", __LINE__, kConf,
                     text ? strerror(errno) : "cannot print the settings");
            free(text);
            json_decref(conf);
            return false;
        }
        free(text);
    }
    json_decref(conf);
    return true;
}

void restart_miner() {
    kmx_logf(3, "stop cg...\n");
    kos::shell_status("systemctl stop cgminer");
    kos::sleep_s(3);
    for (int i = 0; i < 60; i++) {
        if (kos::shell_status("ps -ef | grep /bin/cgminer | grep -v grep") != 0) {
            kmx_logf(3, "cg is not existed!\n");
            break;
        }
        kmx_logf(3, "cg is existed!\n");
        kos::sleep_s(1);
    }
    kmx_logf(3, "remove error code file!\n");
    kos::shell_status("rm -f /tmp/errcode");
    kmx_logf(3, "start cg...\n");
    kos::shell_status("systemctl start cgminer");
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        kmx_logf_user(4, "Parameter is NULL!");
        return 0;
    }
    // The first argument is a number the callers pass (1) and the run does
    // not use; anything else in its place ("--help", a steps file given
    // alone) is a mistaken call, refused before the clean-up timer is
    // stopped or a file written.
    int first;
    if (!tool_args::read_numbers(argv, 1, 1, &first, "number steps_file")) return 0;
    std::vector<int> steps;
    if (argc >= 3) {
        FILE *fp = fopen(argv[2], "r");
        char line[1024] = {};
        // A directory opens but does not read: as invalid as a missing file.
        if (fp && !fgets(line, sizeof line, fp)) {
            if (ferror(fp)) {
                fclose(fp);
                fp = nullptr;
            }
            line[0] = '\0';
        }
        if (!fp) {
            kmx_logf_user(3, "step_num invalid:%d", -1);
            return 0;
        }
        fclose(fp);
        kmx_logf(3, "tuning step:%s", klog::Outside::line(line).c_str());
        steps = parse_steps(line);
        if (steps.empty()) {
            kmx_logf(3, "step number is 0!");
            prepare_run();
            stepctl_write_status(2, 0);
            return 0;
        }
        kmx_logf(3, "step_num:%d", int(steps.size()));
    }
    prepare_run();
    stepctl_write_status(1, 0);
    for (size_t i = 0; i < steps.size(); i++) {
        kmx_logf(3, "steps[%d]:%d\n", int(i), steps[i]);
        // A failed step (the miner's verdict, or its mode not written) ends
        // the run with the step's number.
        if (!wait_result() || !switch_mode(steps[i])) {
            kmx_logf(3, "program ends with error!\n");
            stepctl_write_status(3, int(i) + 1);
            return 0;
        }
        restart_miner();
    }
    kmx_logf(3, "program ends with pass!\n");
    stepctl_write_status(2, int(steps.size()));
    return 0;
}

// The link to the management server: one report frame per connection, then
// the server's reply frames, each checked before its command is carried out.
#include "minerCloud/kmx_cloud.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <lz4.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "misc/kmx_misc.h"
#include "module/kmx_log.h"
#include "module/kmx_ops.h"
#include "os/os.h"

const char *cmd_string[50] = {"Reserved",     "gSetPool",     "gRebootMiner",  "gResetFactory", "gResetDhcp",
                                         "gLockMiner",   "gUnlockMiner", "gMinerUpload",  "gUpgradeFw",    "gChangeRunMode",
                                         "gLightUpMiner", "gTurnOffMiner", "gSetIp",      "gKeepAlive"};

namespace {

const int HEAD_LEN = 12;       // head, total, flag
const int FRAME_EXTRA = 15;    // head + total + flag + check + tail
const int RECV_BUF = 4096;     // largest reply total accepted is RECV_BUF - 1
const int RECV_AREA = 4120;

int s_fail_cnt = 0;

void put_be64(unsigned char *p, uint64_t v) {
    for (int i = 7; i >= 0; i--) {
        p[i] = uint8_t(v & 0xff);
        v >>= 8;
    }
}

const char *cmd_name(int cmd) {
    if (cmd < 0 || cmd >= 50 || !cmd_string[cmd]) return "unknown";
    return cmd_string[cmd];
}

void kmx_switch_report_server(dtu_config *cfg) {
    dtu_server_config *srv = cfg->usedServer;
    // Address and port together: both servers may share an address.
    bool on_cloud = strcmp(srv->usedIp, cfg->ip) == 0 && srv->usedPort == cfg->port;
    const char *to_ip = on_cloud ? cfg->nucIp : cfg->ip;
    int to_port = on_cloud ? cfg->nucPort : cfg->port;
    if (!to_ip[0] || to_port <= 0) return;
    memset(srv->usedIp, 0, sizeof srv->usedIp);
    snprintf(srv->usedIp, sizeof srv->usedIp, "%s", to_ip);
    srv->usedPort = to_port;
    if (on_cloud)
        kmx_logf(5, "%s %d, switch from Cloud server [%s:%d] to Nuc server [%s:%d]\n", __func__, __LINE__, cfg->ip,
                 cfg->port, srv->usedIp, srv->usedPort);
    else
        kmx_logf(5, "%s %d, switch from Nuc server [%s:%d] to Cloud server [%s:%d]\n", __func__, __LINE__, cfg->nucIp,
                 cfg->nucPort, srv->usedIp, srv->usedPort);
    s_fail_cnt = 0;
}

void set_opt(int fd, int level, int name, const void *val, socklen_t len) {
    if (setsockopt(fd, level, name, val, len) != 0) kmx_logf(5, "%s  %d   %s!\n", __func__, __LINE__, strerror(errno));
}

}  // namespace

int kmx_report_socket() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        kmx_logf(5, "%s  %d   %s!\n", __func__, __LINE__, strerror(errno));
        return -1;
    }
    int sndbuf = 1048576, one = 1;
    struct linger lg = {1, 10};
    set_opt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    set_opt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    set_opt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    set_opt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

int kmx_cloud_fail_count() { return s_fail_cnt; }
void kmx_cloud_reset_fail_count() { s_fail_cnt = 0; }

extern "C" unsigned char kmx_check_xor(unsigned char *buf, unsigned long long len) {
    unsigned char sum = 0;
    for (unsigned long long i = 0; i < len; i++) sum = uint8_t(sum + buf[i]);
    return sum;
}

extern "C" unsigned calculate_checksum(unsigned char *buf, int len) {
    unsigned sum = 0;
    for (int i = 0; i < len; i++) sum += buf[i];
    return sum;
}

extern "C" unsigned long long htonll(unsigned long long host) {
    unsigned char b[8];
    put_be64(b, host);
    unsigned long long out;
    memcpy(&out, b, 8);
    return out;
}

extern "C" void hexdump(char *prefix, uint8_t *buff, unsigned long long len) {
    if (!buff || len == 0) return;
    std::string line;
    char tmp[64];
    snprintf(tmp, sizeof tmp, "%s: %llu bytes:", prefix ? prefix : "", len);
    line = tmp;
    for (unsigned long long i = 0; i < len; i++) {
        snprintf(tmp, sizeof tmp, "%.2X ", buff[i]);
        line += tmp;
        if ((i + 1) % 32 == 0) {
            kmx_logf(5, "%s", line.c_str());
            line = "\t";
        }
    }
    if (line != "\t") kmx_logf(5, "%s", line.c_str());
}

std::vector<unsigned char> kmx_cloud_frame(std::string_view payload, uint16_t flag) {
    // Sized for the payload: a large report (eight chains, long pool texts,
    // a full error message) never runs past a fixed buffer.
    const uint64_t total = payload.size() + FRAME_EXTRA;
    std::vector<unsigned char> f(total, 0);
    f[0] = 0x55;
    f[1] = 0xAA;
    put_be64(&f[2], total);
    f[10] = uint8_t(flag >> 8);
    f[11] = uint8_t(flag);
    memcpy(&f[HEAD_LEN], payload.data(), payload.size());
    f[total - 2] = 0xAA;
    f[total - 1] = 0x55;
    f[total - 3] = kmx_check_xor(f.data(), total);
    return f;
}

extern "C" int readn(int fd, void *buf, int count) {
    if (count <= 0) return 0;
    int n = int(recv(fd, buf, size_t(count), MSG_WAITALL));
    if (n < 0) {
        if (errno == EINTR)
            kmx_logf(5, "%s  %d  \xb1\xbb\xd0\xc5\xba\xc5\xd6\xd0\xb6\xcf !", __func__, __LINE__);
        else if (errno == EFAULT)
            kmx_logf(5, "%s  %d  \xb2\xce\xca\xfd\xd3\xd0\xb4\xed\xce\xf3 !", __func__, __LINE__);
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            kmx_logf(5, "%s  %d  recv timeout !", __func__, __LINE__);
    } else if (n == 0) {
        kmx_logf(1, "%s  %d  server close the client or server offline !", __func__, __LINE__);
    }
    return n;
}

extern "C" int writen(int fd, void *buf, int count) {
    const char *p = static_cast<const char *>(buf);
    int left = count;
    while (left > 0) {
        ssize_t n = send(fd, p, size_t(left), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        left -= int(n);
        p += n;
    }
    return count;
}

extern "C" void keep_writing_to_file(int fd, const unsigned char *buf, unsigned long long *pnbytes) {
    unsigned long long done = 0, want = *pnbytes;
    while (done < want) {
        // MSG_NOSIGNAL: a peer that closed must not end the process.
        ssize_t n = send(fd, buf + done, size_t(want - done), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            kmx_logf(5, "%s  %d   %s!\n", __func__, __LINE__, strerror(errno));
            break;
        }
        done += (unsigned long long)n;
    }
    *pnbytes = done;
}

// Commands carried out for a checked reply (kmx_cloud_cmd.cpp).
void kmx_cloud_run_cmd(int cmd, cJSON *root);

namespace {

enum class Num { missing, not_int, ok };

// A number item that is exactly an int: 7.9 is not 7, 1e10 is no int at
// all, and "9" is a text. Those near misses are logged here; only a missing
// item is left to the caller's "is null" line.
Num json_int(cJSON *root, const char *key, int *out) {
    cJSON *it = cJSON_GetObjectItemCaseSensitive(root, key);
    if (!it) return Num::missing;
    if (!cJSON_IsNumber(it)) {
        kmx_logf(5, "%s  %d  %s is not a number !", __func__, __LINE__, key);
        return Num::not_int;
    }
    double v = it->valuedouble;
    if (!std::isfinite(v) || v < -2147483648.0 || v > 2147483647.0 || v != std::trunc(v)) {
        kmx_logf(5, "%s  %d  %s:%.17g is not an integer !", __func__, __LINE__, key, v);
        return Num::not_int;
    }
    *out = int(v);
    return Num::ok;
}

// Whether a text of the JSON `text` holds an escaped NUL ("\u0000"): the
// parser keeps only what comes before it, so "192.0.2.10\u0000x" would pass
// for "192.0.2.10".
bool json_has_nul_text(const char *text) {
    bool in_text = false;
    for (const char *p = text; *p; ++p) {
        if (!in_text) {
            in_text = *p == '"';
        } else if (*p == '"') {
            in_text = false;
        } else if (*p == '\\' && p[1]) {
            if (p[1] == 'u' && strncmp(p + 2, "0000", 4) == 0) return true;
            ++p;  // the escaped character
        }
    }
    return false;
}

// Identity fields: strings that fit the 30-byte local buffers.
const char *json_ident(cJSON *root, const char *key) {
    cJSON *it = cJSON_GetObjectItemCaseSensitive(root, key);
    if (!cJSON_IsString(it) || !it->valuestring || strlen(it->valuestring) > 29) return nullptr;
    return it->valuestring;
}

// One reply: false ends the loop.
bool one_reply(int fd, dtu_config *cfg, unsigned char *area) {
    memset(area, 0, RECV_AREA);
    int n = readn(fd, area, 2);
    if (n < 0) {
        kmx_logf(5, "%s  %d read socket failed !", __func__, __LINE__);
        return false;
    }
    if (n < 2) {
        kmx_logf(1, "%s  %d  server close the client !", __func__, __LINE__);
        return false;
    }
    if (area[0] != 0x55 || area[1] != 0xAA) {
        char head[8];
        snprintf(head, sizeof head, "%.2X%.2X", area[0], area[1]);
        kmx_logf(5, "%s frameHead:%s error!\n", __func__, head);
        return false;
    }
    hexdump(const_cast<char *>("head:"), area, 2);
    n = readn(fd, area + 2, 8);
    if (n < 8) {
        printf(n < 0 ? "%s  %d read socket failed !\n" : "%s  %d  server close the client !\n", __func__, __LINE__);
        return false;
    }
    hexdump(const_cast<char *>("len:"), area + 2, 8);
    uint64_t total = 0;
    for (int i = 2; i < 10; i++) total = total << 8 | area[i];
    kmx_logf(5, "\ntotal_len:%llu;0x%llx\n", (unsigned long long)total, (unsigned long long)total);
    // Refused before any body read: too long for the buffer, or shorter
    // than a frame with an empty payload.
    if ((total >> 32) != 0 || total > uint64_t(RECV_BUF - 1)) {
        kmx_logf(5, "%s  %d  need to read %llu bytes ,but buf_len is %d !", __func__, __LINE__,
                 (unsigned long long)total, RECV_BUF);
        return false;
    }
    if (total < uint64_t(FRAME_EXTRA)) {
        kmx_logf(5, "%s  %d  frame of %llu bytes is shorter than %d !", __func__, __LINE__,
                 (unsigned long long)total, FRAME_EXTRA);
        return false;
    }
    const int body = int(total) - 10;
    n = readn(fd, area + 10, body);
    if (n < 0) {
        kmx_logf(5, "%s  %d read socket failed !", __func__, __LINE__);
        return false;
    }
    if (n < body) {
        kmx_logf(5, "%s  %d  server close the client !", __func__, __LINE__);
        return false;
    }
    hexdump(const_cast<char *>("flag&data&sum&tail:"), area + 10, uint64_t(body));
    const unsigned char recv_sum = area[total - 3];
    unsigned char sum = uint8_t(kmx_check_xor(area, total) - recv_sum);
    if (sum != recv_sum) {
        kmx_logf(5, "%s  %d  checksum error:recv_csum:0x%x!", __func__, __LINE__, recv_sum);
        return false;
    }
    const unsigned flag = unsigned(area[10]) << 8 | area[11];
    const unsigned enc = (flag >> 3) & 7, comp = (flag >> 6) & 7;
    kmx_logf(5, "%s  %d  use encryption_type:%d !", __func__, __LINE__, enc);
    if (enc > 3) kmx_logf(5, "%s  %d  not surrport encryption_type:%d !", __func__, __LINE__, enc);
    kmx_logf(5, "%s  %d  use compress_type:%d !", __func__, __LINE__, comp);
    area[total - 3] = '\0';
    const char *payload = reinterpret_cast<char *>(area + HEAD_LEN);
    cJSON *root = cJSON_Parse(payload);
    if (!root) {
        kmx_logf(5, "%s  %d  reply is not JSON !", __func__, __LINE__);
        return false;
    }
    // A text cut at a NUL is not the text sent: neither an identity nor a
    // pool may match or be taken by its first part.
    if (json_has_nul_text(payload)) {
        kmx_logf(5, "%s  %d  reply holds a text with a NUL character !", __func__, __LINE__);
        cJSON_Delete(root);
        return false;
    }
    bool ok = false;
    int plant = 0, src = 0, dst = 0, cmd = 0;
    char local_ip[30] = "", local_mac[30] = "";
    unsigned char tmp[32] = "";
    if (kmx_get_ip(tmp)) snprintf(local_ip, sizeof local_ip, "%s", reinterpret_cast<char *>(tmp));
    memset(tmp, 0, sizeof tmp);
    if (kmx_get_mac(tmp)) snprintf(local_mac, sizeof local_mac, "%s", reinterpret_cast<char *>(tmp));
    const char *ip = nullptr, *mac = nullptr;
    Num num;
    if ((num = json_int(root, "plantId", &plant)) != Num::ok) {
        if (num == Num::missing) kmx_logf(5, "%s  %d  locID is null!", __func__, __LINE__);
    } else if (plant != cfg->plantId) {
        kmx_logf(5, "%s  %d  plantId not match ! local:%d;remote:%d", __func__, __LINE__, cfg->plantId, plant);
    } else if (!(ip = json_ident(root, "ip"))) {
        kmx_logf(5, "%s  %d  ip is null!", __func__, __LINE__);
    } else if (!local_ip[0] || strcmp(ip, local_ip) != 0) {
        kmx_logf(5, "%s  %d  ip not match ! local:%s;remote:%s", __func__, __LINE__, local_ip,
                 klog::Outside(ip).c_str());
    } else if (!(mac = json_ident(root, "mac"))) {
        kmx_logf(5, "%s  %d  mac is null!", __func__, __LINE__);
    } else if (!local_mac[0] || strcmp(mac, local_mac) != 0) {
        kmx_logf(5, "%s  %d  mac not match ! local:%s;remote:%s", __func__, __LINE__, local_mac,
                 klog::Outside(mac).c_str());
    } else if ((num = json_int(root, "src_id", &src)) != Num::ok) {
        if (num == Num::missing) kmx_logf(5, "%s  %d  src_id is null!", __func__, __LINE__);
    } else if ((num = json_int(root, "dst_id", &dst)) != Num::ok) {
        if (num == Num::missing) kmx_logf(5, "%s  %d  dst_id is null!", __func__, __LINE__);
    } else if (dst != 1) {
        kmx_logf(5, "%s  %d  dst_id:%d is not the device !", __func__, __LINE__, dst);
    } else if ((num = json_int(root, "cmd", &cmd)) != Num::ok) {
        if (num == Num::missing) kmx_logf(5, "%s  %d  cmd is null!", __func__, __LINE__);
    } else {
        ok = true;
    }
    if (ok) {
        kmx_logf(5, "the cmd is %s from %d !", cmd_name(cmd), src);
        kmx_cloud_run_cmd(cmd, root);
    }
    cJSON_Delete(root);
    return ok;
}

}  // namespace

extern "C" void do_server(int fd, dtu_config *dtu_cfg) {
    if (!dtu_cfg) return;
    static_assert(RECV_AREA > RECV_BUF);
    std::vector<unsigned char> area(RECV_AREA);
    while (one_reply(fd, dtu_cfg, area.data())) {
    }
}

extern "C" bool kmx_send_cloud(const unsigned char *buf, dtu_config *dtu_cfg) {
    if (!buf || !dtu_cfg || !dtu_cfg->usedServer) return false;
    const char *text = reinterpret_cast<const char *>(buf);
    std::vector<unsigned char> frame;
    if (dtu_cfg->compressed) {
        // LZ4 block of the text with its NUL; compression type 1 (flag bits 6-8).
        int src = int(strlen(text)) + 1;
        std::vector<char> out(size_t(LZ4_compressBound(src)));
        int n = LZ4_compress_default(text, out.data(), src, int(out.size()));
        if (n <= 0) {
            kmx_logf(5, "%s  %d  compress data failed !\n", __func__, __LINE__);
            return false;
        }
        kmx_logf(5, "compressed data successfully !s_size:%d;d_size:%d\n", src, n);
        frame = kmx_cloud_frame(std::string_view(out.data(), size_t(n)), 1u << 6);
    } else {
        frame = kmx_cloud_frame(text, 0);
    }

    int fd = kmx_report_socket();
    if (fd < 0) return false;

    dtu_server_config *srv = dtu_cfg->usedServer;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(srv->usedPort));
    bool addr_ok = inet_pton(AF_INET, srv->usedIp, &addr.sin_addr) == 1 && srv->usedPort > 0 && srv->usedPort < 65536;
    if (!addr_ok) errno = EINVAL;
    if (!addr_ok || connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        int e = errno;
        s_fail_cnt++;
        kmx_logf(5, "%s %d, server:[%s:%d] connect failed, cnt=%d, errno %d, %s\n", __func__, __LINE__, srv->usedIp,
                 srv->usedPort, s_fail_cnt, e, strerror(e));
        close(fd);
        if (s_fail_cnt >= 10) kmx_switch_report_server(dtu_cfg);
        return false;
    }
    s_fail_cnt = 0;
    // Three seconds of the board's clock for each read of the reply.
    const uint64_t ms = uint64_t(kos::peer_budget_ms(3000.0));
    struct timeval tv = {time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
    set_opt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    unsigned long long want = frame.size(), sent = want;
    keep_writing_to_file(fd, frame.data(), &sent);
    if (sent < want) kmx_logf(5, "%s  %d  write:%llu  need_write:%llu    !\n", __func__, __LINE__, sent, want);
    kos::sleep_s(5);
    do_server(fd, dtu_cfg);
    close(fd);
    return true;
}

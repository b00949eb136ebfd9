// Report spool: message files other programs (the calculation engine) drop
// into <dir>/spool, published in name order. A QoS 1 file stays until the
// broker's PUBACK, so a report survives a broker that dies mid-way.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "common/log.h"
#include "mq_bridge.h"
#include "mq_codec.h"

// Largest spool file taken: first line plus a payload of up to 8191 bytes.
constexpr size_t MQ_SPOOL_FILE_MAX = 8191;

static std::string spool_dir(const mq_bridge *b) {
    return b->cfg.dir + "/spool";
}

std::vector<std::string> mq_spool_pick(const mq_bridge *b, const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d) return names;
    while (struct dirent *e = readdir(d)) {
        size_t n = strlen(e->d_name);
        if (n <= 4 || strcmp(e->d_name + n - 4, ".msg") != 0) continue;
        bool waiting = false;
        for (const auto &kv : b->spool_inflight)
            waiting = waiting || kv.second == e->d_name;
        if (!waiting) names.push_back(e->d_name);
    }
    closedir(d);
    // Sorting all names first: the oldest reports go first whatever order
    // the directory lists them in.
    std::sort(names.begin(), names.end());
    if (names.size() > (size_t)MQ_SPOOL_SCAN_MAX) names.resize(MQ_SPOOL_SCAN_MAX);
    return names;
}

// Reads a regular file without following links or blocking on a FIFO.
// 0, 1 when it is not a regular file, -1 when it cannot be read, 2 too big.
static int read_spool_file(const std::string &path, std::string *out) {
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP ? 1 : -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 1;
    }
    out->assign(MQ_SPOOL_FILE_MAX + 1, '\0');
    size_t got = 0;
    while (got < out->size()) {
        ssize_t n = read(fd, &(*out)[got], out->size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return -1;
        }
        if (n == 0) break;
        got += (size_t)n;
    }
    close(fd);
    if (got > MQ_SPOOL_FILE_MAX) return 2;
    out->resize(got);
    return 0;
}

static void spool_remove(mq_bridge *b, const std::string &name, const char *why, int64_t now) {
    unlink((spool_dir(b) + "/" + name).c_str());
    if (why && mq_ratelog_allow(&b->rl_spool, now))
        log_err("mqtt: spool %s — %s — видалено", name.c_str(), why);
}

void mq_spool_scan(mq_bridge *b, int64_t now) {
    if (!b->connected) return;
    std::string dir = spool_dir(b);
    int sent = 0;
    static uint8_t buf[MQ_SPOOL_CAP];
    for (const std::string &name : mq_spool_pick(b, dir)) {
        if (sent >= MQ_SPOOL_SEND_MAX || !b->connected) break;
        std::string text;
        int r = read_spool_file(dir + "/" + name, &text);
        if (r == 1) {
            if (mq_ratelog_allow(&b->rl_spool, now))
                log_err("mqtt: spool %s — не звичайний файл — пропущено", name.c_str());
            continue;
        }
        if (r < 0) continue;  // gone meanwhile
        if (r == 2) {
            spool_remove(b, name, "більше 8191 байт", now);
            continue;
        }
        size_t nl = text.find('\n');
        if (nl == std::string::npos) {
            spool_remove(b, name, "нема рядка топіка", now);
            continue;
        }
        std::string head = text.substr(0, nl);
        if (!head.empty() && head.back() == '\r') head.pop_back();
        int qos = 0, retain = 0;
        size_t tab = head.find('\t');
        std::string topic = head.substr(0, tab);
        if (tab != std::string::npos) {
            const char *q = head.c_str() + tab + 1;
            qos = atoi(q) != 0 ? 1 : 0;
            const char *t2 = strchr(q, '\t');
            if (t2) retain = atoi(t2 + 1) != 0 ? 1 : 0;
        }
        if (!mq_topic_name_ok(topic.c_str(), topic.size())) {
            spool_remove(b, name, ("недопустимий топік «" + topic + "»").c_str(), now);
            continue;
        }
        if (qos && b->spool_inflight.size() >= (size_t)MQ_SPOOL_INFLIGHT_MAX) break;
        uint16_t id = qos ? mq_next_id(b) : 0;
        int n = mq_enc_publish(buf, sizeof buf, topic.c_str(), text.data() + nl + 1,
                               text.size() - nl - 1, qos, retain, id);
        if (n < 0) {
            spool_remove(b, name, "не кодується", now);
            continue;
        }
        if (mq_tx(b, buf, (size_t)n, now) != 0) break;  // the file stays for the next connection
        sent++;
        if (qos) {
            b->spool_inflight[id] = name;
        } else {
            spool_remove(b, name, nullptr, now);
            b->report_sent++;
        }
    }
}

void mq_spool_acked(mq_bridge *b, uint16_t packet_id) {
    auto it = b->spool_inflight.find(packet_id);
    if (it == b->spool_inflight.end()) return;
    unlink((spool_dir(b) + "/" + it->second).c_str());
    b->report_sent++;
    b->spool_inflight.erase(it);
}

#include "alarm_ack.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/parse_util.h"

int alarm_ack_parse_line(const char *line, size_t len, alarm_ack_req *out) {
    if (len == 0 || len > ALARM_ACK_LINE_MAX) return -1;
    size_t i = 0;
    while (i < len && (line[i] == ' ' || line[i] == '\t'))
        i++;
    long long id = 0;
    size_t start = i;
    while (i < len && line[i] >= '0' && line[i] <= '9') {
        if (id > (LLONG_MAX - 9) / 10) return -1;
        id = id * 10 + (line[i] - '0');
        i++;
    }
    if (i == start || id <= 0 || i >= len || (line[i] != ' ' && line[i] != '\t')) return -1;
    while (i < len && (line[i] == ' ' || line[i] == '\t'))
        i++;
    size_t ip0 = i;
    while (i < len && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
        i++;
    size_t n = i - ip0;
    if (n == 0 || n >= sizeof out->ip) return -1;
    // A control byte (a NUL above all) would cut or garble the address the
    // acknowledgement is logged and checked under.
    for (size_t k = ip0; k < i; k++)
        if ((unsigned char)line[k] < 0x20 || line[k] == 0x7f) return -1;
    out->id = id;
    memcpy(out->ip, line + ip0, n);
    out->ip[n] = 0;
    return 0;
}

void alarm_ack_parse(const std::string &text, std::vector<alarm_ack_req> *out) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        alarm_ack_req r;
        if (alarm_ack_parse_line(text.data() + pos, nl - pos, &r) == 0) out->push_back(r);
        pos = nl + 1;
    }
}

int alarm_ack_append(const std::string &dir, long long id, const char *ip) {
    std::string path = dir + "/ack.req";
    char line[96];
    int n = snprintf(line, sizeof line, "%lld %.47s\n", id, ip && *ip ? ip : "-");
    // The taker may rename the file between our open and our lock: then the
    // descriptor names a file that is already read, so open the new one.
    for (int attempt = 0; attempt < 100; attempt++) {
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX) != 0) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        struct stat a, b;
        if (fstat(fd, &a) != 0 || stat(path.c_str(), &b) != 0 || a.st_ino != b.st_ino ||
            a.st_dev != b.st_dev) {
            close(fd);
            continue;
        }
        ssize_t w = write(fd, line, (size_t)n);
        int e = errno;
        close(fd);  // also releases the lock
        if (w == n) return 0;
        errno = w < 0 ? e : EIO;
        return -1;
    }
    errno = EAGAIN;
    return -1;
}

static std::string work_path(const std::string &dir) {
    return dir + "/ack.req.work";
}

int alarm_ack_take(const std::string &dir, std::vector<alarm_ack_req> *out) {
    out->clear();
    std::string work = work_path(dir), text;
    if (zq_read_file(work.c_str(), &text) == 0) {
        alarm_ack_parse(text, out);
        return 1;
    }
    std::string path = dir + "/ack.req";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    // Under the appenders' lock: no locked append is half done, and every
    // later one sees the file gone and creates a new one.
    flock(fd, LOCK_EX);
    int rc = rename(path.c_str(), work.c_str());
    close(fd);
    return rc == 0 ? 0 : -1;
}

void alarm_ack_done(const std::string &dir) {
    unlink(work_path(dir).c_str());
}

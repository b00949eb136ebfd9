// The test trend server's files: one directory per source, the pushed day
// files byte for byte. Every frame is checked whole before any byte is
// written, so a malformed frame leaves the copies as they were; offsets
// are checked against the stored copy as the records are applied.

#include "zqtrendsrv_store.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <vector>

#include "common/crc32.h"
#include "trend/trend_push.h"

namespace {

uint32_t le32(const uint8_t *p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

std::string file_of(const srv_store *s, const std::string &src, uint32_t date, int res) {
    char name[32];
    snprintf(name, sizeof name, "/%08u00.%s", date, push_kind_ext(res));
    return s->dir + "/" + src + name;
}

long long size_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : 0;
}

// Layout of a stored file: header size and row size, false without a whole
// valid header.
bool stored_layout(const std::string &path, long long *hs, uint32_t *row, uint32_t *slots) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    uint8_t h[24];
    bool ok = pread(fd, h, sizeof h, 0) == (ssize_t)sizeof h;
    close(fd);
    if (!ok) return false;
    *slots = le32(h + 12);
    *row = le32(h + 16);
    *hs = 64 + 160ll * *slots;
    return size_of(path) >= *hs;
}

// A version-2 header of the record's resolution and date.
const char *header_problem(const push_rec &r) {
    if (r.off != 0) return "header record not at offset 0";
    if (r.len < 64) return "header record shorter than 64 bytes";
    const uint8_t *h = r.data;
    uint32_t slots = le32(h + 12), row = le32(h + 16);
    if (memcmp(h, "ZQT2", 4) != 0 || h[4] != 2 || h[5] != 0) return "header: not a version-2 file";
    if (h[6] != "smh"[r.res]) return "header: kind letter does not match the resolution";
    if (slots < 1 || slots > 65536) return "header: slot count outside 1..65536";
    if (le32(h + 8) != 64 + 160 * slots) return "header: header size does not match the slots";
    if (r.len != 64 + 160 * slots) return "header record length is not the header size";
    if (row < 8 || row > (16u << 20) || row % 4) return "header: bad row size";
    if (le32(h + 24) != r.date) return "header: date differs from the record's date";
    return nullptr;
}

bool write_at(const std::string &path, long long off, const uint8_t *p, size_t n, bool trunc) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    size_t done = 0;
    while (ok && done < n) {
        ssize_t w = pwrite(fd, p + done, n - done, off + (long long)done);
        ok = w > 0;
        if (ok) done += (size_t)w;
    }
    if (ok && trunc) ok = ftruncate(fd, off + (long long)n) == 0;
    return close(fd) == 0 && ok;
}

void answer(srv_answer *a, int status, const std::string &body) {
    a->status = status;
    a->body = body;
}

void reject(srv_store *s, srv_answer *a, const std::string &why) {
    s->rejected++;
    s->last_error = why;
    answer(a, 400, "{\"error\":\"" + why + "\"}");
}

void conflict(srv_answer *a, long long have) {
    answer(a, 409, "{\"have\":" + std::to_string(have) + "}");
}

}  // namespace

bool srv_src_ok(const std::string &raw, std::string *src) {
    if (!push_pct_decode(raw, src) || src->empty() || src->size() > 63 || (*src)[0] == '.')
        return false;
    for (unsigned char c : *src)
        if (c < 0x20 || c == '/' || c == '\\' || c == 0x7F) return false;
    return true;
}

void srv_cursor(srv_store *s, const std::string &src, uint32_t date, srv_answer *a) {
    struct statvfs vf;
    unsigned long long free = 0, total = 0;
    if (statvfs(s->dir.c_str(), &vf) == 0) {
        free = (unsigned long long)vf.f_bavail * vf.f_frsize;
        total = (unsigned long long)vf.f_blocks * vf.f_frsize;
    }
    char b[256];
    snprintf(b, sizeof b,
             "{\"date\":%u,\"rps\":%lld,\"rpm\":%lld,\"rph\":%lld,\"free\":%llu,\"total\":%llu}",
             date, size_of(file_of(s, src, date, 0)), size_of(file_of(s, src, date, 1)),
             size_of(file_of(s, src, date, 2)), free, total);
    answer(a, 200, b);
}

void srv_hash(srv_store *s, const std::string &src, uint32_t date, const std::string &kind,
              long long len, srv_answer *a) {
    int res = kind == "rps" ? 0 : kind == "rpm" ? 1 : kind == "rph" ? 2 : -1;
    if (res < 0 || len < 0) return reject(s, a, "bad kind or len");
    std::string path = file_of(s, src, date, res);
    long long have = size_of(path);
    long long n = len < have ? len : have;
    uint32_t crc = 0xFFFFFFFFu;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<uint8_t> buf(1 << 20);
    for (long long off = 0; fd >= 0 && off < n;) {
        ssize_t r =
            pread(fd, buf.data(),
                  (size_t)(n - off < (long long)buf.size() ? n - off : (long long)buf.size()), off);
        if (r <= 0) break;
        crc = crc32_update(crc, buf.data(), (size_t)r);
        off += r;
    }
    if (fd >= 0) close(fd);
    char b[96];
    snprintf(b, sizeof b, "{\"crc\":\"%08x\",\"have\":%lld}", ~crc, have);
    answer(a, 200, b);
}

void srv_ingest(srv_store *s, const std::string &src, const uint8_t *p, size_t n, srv_answer *a) {
    push_parsed f;
    std::string why;
    if (!push_frame_parse(p, n, &f, &why)) return reject(s, a, why);
    if (f.recs.empty()) return reject(s, a, "frame without records");
    for (const push_rec &r : f.recs) {
        if (!push_ymd_valid(r.date)) return reject(s, a, "record date is not a calendar day");
        if (r.op == PUSH_OP_HEADER) {
            if (const char *e = header_problem(r)) return reject(s, a, e);
        } else if (r.op == PUSH_OP_SLOT) {
            if (r.len != 160 || r.off < 64 || (r.off - 64) % 160)
                return reject(s, a, "slot record not 160 bytes at a slot offset");
        } else if (r.len == 0) {
            return reject(s, a, "empty byte record");
        }
    }
    s->frames++;
    (f.compressed ? s->compressed : s->plain)++;
    mkdir((s->dir + "/" + src).c_str(), 0755);
    long long have = 0;
    for (const push_rec &r : f.recs) {
        std::string path = file_of(s, src, r.date, r.res);
        long long size = size_of(path), hs;
        uint32_t row, slots;
        bool layout = stored_layout(path, &hs, &row, &slots);
        if (r.op == PUSH_OP_HEADER) {
            uint32_t nslots = le32(r.data + 12), nrow = le32(r.data + 16);
            // Another layout over stored rows would make them unreadable.
            if (layout && size > hs && (nslots != slots || nrow != row)) return conflict(a, size);
            if (!write_at(path, 0, r.data, r.len, !layout)) return answer(a, 500, "{}");
        } else if (!layout) {
            return conflict(a, size);
        } else if (r.op == PUSH_OP_SLOT) {
            if ((r.off - 64) / 160 >= slots) return reject(s, a, "slot beyond the slot count");
            if (!write_at(path, (long long)r.off, r.data, r.len, false))
                return answer(a, 500, "{}");
        } else {
            if ((long long)r.off > size) return conflict(a, size);
            if ((long long)r.off < hs) return reject(s, a, "bytes inside the header");
            if (((long long)r.off + r.len - hs) % row)
                return reject(s, a, "bytes do not end on a row boundary");
            if (!write_at(path, (long long)r.off, r.data, r.len, false))
                return answer(a, 500, "{}");
            s->row_bytes += r.len;
        }
        s->records++;
        s->bytes += r.len;
        have = size_of(path);
    }
    answer(a, 200, "{\"have\":" + std::to_string(have) + "}");
}

bool srv_force_conflict(srv_store *s, const std::string &src, const uint8_t *p, size_t n,
                        long long below, srv_answer *a) {
    push_parsed f;
    std::string why;
    if (!push_frame_parse(p, n, &f, &why) || f.recs.empty()) return false;
    std::string path = file_of(s, src, f.recs[0].date, f.recs[0].res);
    long long size = size_of(path);
    long long cut = size > below ? size - below : 0;
    if (truncate(path.c_str(), cut) != 0 && errno != ENOENT) return false;
    conflict(a, cut);
    return true;
}

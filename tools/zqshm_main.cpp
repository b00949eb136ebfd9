// zqshm: inspects and pokes the real-time database from the command line,
// for engineers during commissioning and for integration tests.

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/shm.h"
#include "common/shm_report.h"
#include "common/version.h"

namespace {

const char kUsage[] =
    "usage: zqshm [--name N] dump [--json]\n"
    "       zqshm [--name N] set A<n>|D<n> VALUE     store a record (quality 1, time now)\n"
    "       zqshm [--name N] write A<n>|D<n> VALUE   post a write request into the slot\n"
    "       zqshm --help | --version\n"
    "\n"
    "The database is --name N, else $LOGIX_SHM_NAME when set and not empty,\n"
    "else /logix_drv. --name may stand anywhere on the line.\n"
    "\n"
    "dump --json prints one object:\n"
    "  {\"name\":S,\"version\":N,\"connected\":N,\"poll_count\":N,\"last_poll_ms\":N,\n"
    "   \"an_count\":N,\"di_count\":N,\"plc_count\":N,\"total_size\":N,\n"
    "   \"time\":{\"read_req\":N,\"read_done\":N,\"sync_req\":N,\"sync_done\":N,\"plc\":N,\n"
    "           \"rc\":N,\"plc_time_us\":N,\"host_time_us\":N,\"read_ms\":N},\n"
    "   \"plc\":[{\"index\":N,\"ip\":S,\"slot\":N,\"connected\":N,\"mode\":N,\"mode_name\":S,\n"
    "            \"minor_fault\":N,\"status\":N,\"product_code\":N,\"fw_major\":N,\n"
    "            \"fw_minor\":N,\"serial\":N,\"name\":S,\"proc\":S}, ...],\n"
    "   \"an\":[{\"index\":N,\"value\":X,\"quality\":N,\"ts_ms\":N,\"vtype\":N,\"vtype_name\":S,\n"
    "           \"pending\":N,\"write_value\":X}, ...],\n"
    "   \"di\":[ same keys as \"an\", value 0..255 ]}\n"
    "  one element per index from 0; X is a number or null when not finite.\n"
    "\n"
    "Exit status: 0 done, 1 database missing, refused or index out of range,\n"
    "2 bad command line.\n";

int usage_error(const char *fmt, const char *arg) {
    fprintf(stderr, "zqshm: ");
    fprintf(stderr, fmt, arg);
    fprintf(stderr, "\n(zqshm --help shows the usage)\n");
    return 2;
}

// "A12" / "d4" -> kind 'A'/'D' and index.
bool parse_tag(const char *s, char *kind, int64_t *index) {
    if (!s || !*s) return false;
    char k = char(toupper((unsigned char)s[0]));
    if (k != 'A' && k != 'D') return false;
    const char *p = s + 1;
    if (!*p) return false;
    int64_t v = 0;
    for (; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + (*p - '0');
        if (v > int64_t(UINT32_MAX)) return false;
    }
    *kind = k;
    *index = v;
    return true;
}

bool parse_double(const char *s, double *out) {
    if (!s || !*s) return false;
    errno = 0;
    char *end = nullptr;
    double v = strtod(s, &end);
    if (end == s || *end != '\0' || errno == ERANGE) return false;
    *out = v;
    return true;
}

// Text fields of the PLC blocks come from the controller: bounded by the
// field size, control bytes and broken UTF-8 shown as "?".
std::string clean_text(const char *s, size_t cap) {
    size_t n = strnlen(s, cap);
    const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
    std::string out;
    for (size_t i = 0; i < n; i++) {
        unsigned char c = u[i];
        if (c < 0x20 || c == 0x7F) {
            out.push_back('?');
        } else if (c < 0x80) {
            out.push_back(char(c));
        } else {
            size_t len = (c & 0xE0) == 0xC0   ? 2
                         : (c & 0xF0) == 0xE0 ? 3
                         : (c & 0xF8) == 0xF0 ? 4
                                              : 0;
            bool ok = len > 0 && i + len <= n && c >= 0xC2 && c <= 0xF4;
            for (size_t k = 1; ok && k < len; k++)
                ok = (u[i + k] & 0xC0) == 0x80;
            if (!ok) {
                out.push_back('?');
                continue;
            }
            out.append(s + i, len);
            i += len - 1;
        }
    }
    return out;
}

void json_str(const char *s, size_t cap) {
    putchar('"');
    for (char c : clean_text(s, cap)) {
        if (c == '"' || c == '\\') putchar('\\');
        putchar(c);
    }
    putchar('"');
}

// Shortest of %.15g / %.17g that reads back as the same double.
std::string num(double v) {
    char buf[40];
    snprintf(buf, sizeof buf, "%.15g", v);
    if (strtod(buf, nullptr) != v && std::isfinite(v)) snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

void json_num(double v) {
    fputs(std::isfinite(v) ? num(v).c_str() : "null", stdout);
}

void text_str(const char *s, size_t cap) {
    fputs(clean_text(s, cap).c_str(), stdout);
}

int dump(const ShmHandle &h, bool json) {
    const ShmHeader *hd = shm_header(&h);
    uint32_t an = shm_an_count(&h), di = shm_di_count(&h), plc = shm_plc_count(&h);
    if (json) {
        printf("{\"name\":");
        json_str(h.name, sizeof h.name);
        printf(",\"version\":%u,\"connected\":%u,\"poll_count\":%u,\"last_poll_ms\":%" PRId64
               ",\"an_count\":%u,\"di_count\":%u,\"plc_count\":%u,\"total_size\":%u",
               hd->version, hd->connected, hd->poll_count, hd->last_poll_ms, an, di, plc,
               hd->total_size);
        printf(
            ",\"time\":{\"read_req\":%u,\"read_done\":%u,\"sync_req\":%u,\"sync_done\":%u,"
            "\"plc\":%u,\"rc\":%d,\"plc_time_us\":%" PRId64 ",\"host_time_us\":%" PRId64
            ",\"read_ms\":%" PRId64 "}",
            hd->time_read_req, hd->time_read_done, hd->time_sync_req, hd->time_sync_done,
            hd->time_plc, hd->time_rc, hd->plc_time_us, hd->host_time_us, hd->time_read_ms);
        printf(",\"plc\":[");
        for (uint32_t k = 0; k < plc; k++) {
            const ShmPlcBlock *b = shm_plc(&h, k);
            printf("%s{\"index\":%u,\"ip\":", k ? "," : "", k);
            json_str(b->ip, sizeof b->ip);
            printf(
                ",\"slot\":%u,\"connected\":%u,\"mode\":%u,\"mode_name\":\"%s\","
                "\"minor_fault\":%u,\"status\":%u,\"product_code\":%u,\"fw_major\":%u,"
                "\"fw_minor\":%u,\"serial\":%u,\"name\":",
                b->slot, b->connected, b->mode, shm_mode_name(b->mode), b->minor_fault, b->status,
                b->product_code, b->fw_major, b->fw_minor, b->serial);
            json_str(b->name, sizeof b->name);
            printf(",\"proc\":");
            json_str(b->proc, sizeof b->proc);
            printf("}");
        }
        printf("],\"an\":[");
        for (uint32_t i = 0; i < an; i++) {
            const ShmAnalog *r = shm_analog(&h, i);
            const ShmWriteSlot *w = shm_an_write_slot(&h, i);
            uint8_t vt = *shm_an_vtype(&h, i);
            printf("%s{\"index\":%u,\"value\":", i ? "," : "", i);
            json_num(r->value);
            printf(",\"quality\":%u,\"ts_ms\":%" PRId64
                   ",\"vtype\":%u,\"vtype_name\":\"%s\",\"pending\":%u,\"write_value\":",
                   r->quality, r->ts_ms, vt, shm_vtype_name(vt), w->pending);
            json_num(w->value);
            printf("}");
        }
        printf("],\"di\":[");
        for (uint32_t i = 0; i < di; i++) {
            const ShmDiscrete *r = shm_discrete(&h, i);
            const ShmWriteSlot *w = shm_di_write_slot(&h, i);
            uint8_t vt = *shm_di_vtype(&h, i);
            printf("%s{\"index\":%u,\"value\":%u,\"quality\":%u,\"ts_ms\":%" PRId64
                   ",\"vtype\":%u,\"vtype_name\":\"%s\",\"pending\":%u,\"write_value\":",
                   i ? "," : "", i, r->value, r->quality, r->ts_ms, vt, shm_vtype_name(vt),
                   w->pending);
            json_num(w->value);
            printf("}");
        }
        printf("]}\n");
        return 0;
    }
    printf("SHM %s: version %u, %u bytes, AN=%u, DI=%u, PLC=%u\n", h.name, hd->version,
           hd->total_size, an, di, plc);
    printf("connected %u, poll_count %u, last_poll_ms %" PRId64 "\n", hd->connected, hd->poll_count,
           hd->last_poll_ms);
    printf("clock: read %u/%u, sync %u/%u, plc %u, rc %d, plc_time_us %" PRId64
           ", host_time_us %" PRId64 ", read_ms %" PRId64 "\n",
           hd->time_read_req, hd->time_read_done, hd->time_sync_req, hd->time_sync_done,
           hd->time_plc, hd->time_rc, hd->plc_time_us, hd->host_time_us, hd->time_read_ms);
    for (uint32_t k = 0; k < plc; k++) {
        const ShmPlcBlock *b = shm_plc(&h, k);
        printf("PLC %u: ip ", k);
        text_str(b->ip, sizeof b->ip);
        printf(
            " slot %u, connected %u, mode %s, minor_fault %u, status 0x%04X, product %u, "
            "fw %u.%u, serial %u, name ",
            b->slot, b->connected, shm_mode_name(b->mode), b->minor_fault, b->status,
            b->product_code, b->fw_major, b->fw_minor, b->serial);
        text_str(b->name, sizeof b->name);
        printf(", proc ");
        text_str(b->proc, sizeof b->proc);
        printf("\n");
    }
    for (uint32_t i = 0; i < an; i++) {
        const ShmAnalog *r = shm_analog(&h, i);
        const ShmWriteSlot *w = shm_an_write_slot(&h, i);
        printf("A%u = %s q=%u ts=%" PRId64 " type=%s", i, num(r->value).c_str(), r->quality,
               r->ts_ms, shm_vtype_name(*shm_an_vtype(&h, i)));
        if (w->pending) printf(" write pending %s", num(w->value).c_str());
        printf("\n");
    }
    for (uint32_t i = 0; i < di; i++) {
        const ShmDiscrete *r = shm_discrete(&h, i);
        const ShmWriteSlot *w = shm_di_write_slot(&h, i);
        printf("D%u = %u q=%u ts=%" PRId64 " type=%s", i, r->value, r->quality, r->ts_ms,
               shm_vtype_name(*shm_di_vtype(&h, i)));
        if (w->pending) printf(" write pending %s", num(w->value).c_str());
        printf("\n");
    }
    return 0;
}

int open_db(ShmHandle *h, const std::string &name, bool writable) {
    if (shm_handle_open(h, name.c_str(), writable) == 0) return 0;
    int err = errno;
    shm_report_open_failure(h, SHM_MSG_SERVER);
    errno = err;
    switch (h->status) {
        case SHM_ERR_MISSING:
            fprintf(stderr, "zqshm: SHM %s does not exist\n", name.c_str());
            break;
        case SHM_ERR_MISMATCH:
            // shm_report_open_failure has printed the mismatch message.
            break;
        case SHM_ERR_ARG:
            fprintf(stderr,
                    "zqshm: bad SHM name \"%s\" (one \"/\" then a name, at most %zu "
                    "characters)\n",
                    name.c_str(), SHM_NAME_MAX);
            break;
        case SHM_ERR_SYS:
            fprintf(stderr, "zqshm: %s(%s): %s\n", h->err_what, name.c_str(), strerror(errno));
            break;
        default:
            fprintf(stderr, "zqshm: SHM %s is not usable (header does not fit the object)\n",
                    name.c_str());
            break;
    }
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    // Only stamp inside a project directory: an engineer runs the tool anywhere.
    if (access("./run", W_OK) == 0) zq_version_write_run("zqshm");

    std::string name;
    bool have_name = false, json = false;
    const char *args[4];
    int nargs = 0;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        } else if (strcmp(a, "--name") == 0) {
            if (i + 1 >= argc) return usage_error("%s needs a value", a);
            name = argv[++i];
            have_name = true;
        } else if (strncmp(a, "--name=", 7) == 0) {
            name = a + 7;
            have_name = true;
        } else if (strcmp(a, "--json") == 0) {
            json = true;
        } else if (a[0] == '-' && a[1] == '-') {
            return usage_error("unknown option %s", a);
        } else {
            if (nargs == 3) return usage_error("unexpected argument %s", a);
            args[nargs++] = a;
        }
    }
    if (nargs == 0) return usage_error("%s", "no command given");
    if (!have_name) name = shm_resolve_name(nullptr);

    const char *cmd = args[0];
    ShmHandle h;
    if (strcmp(cmd, "dump") == 0) {
        if (nargs != 1) return usage_error("%s", "dump takes no arguments");
        if (open_db(&h, name, false) != 0) return 1;
        int rc = dump(h, json);
        shm_handle_close(&h);
        return rc;
    }
    bool set = strcmp(cmd, "set") == 0;
    if (!set && strcmp(cmd, "write") != 0) return usage_error("unknown command %s", cmd);
    if (json) return usage_error("--json belongs to dump, not %s", cmd);
    if (nargs != 3) return usage_error("%s needs a channel and a value, e.g. A12 3.5", cmd);
    char kind;
    int64_t index;
    if (!parse_tag(args[1], &kind, &index))
        return usage_error("bad channel \"%s\" (A<number> or D<number>)", args[1]);
    double v;
    if (!parse_double(args[2], &v)) return usage_error("bad value \"%s\"", args[2]);
    if (set && kind == 'D' && !(v >= 0 && v <= 255 && v == std::floor(v)))
        return usage_error("discrete value \"%s\" must be a whole number 0..255", args[2]);

    if (open_db(&h, name, true) != 0) return 1;
    uint32_t count = kind == 'A' ? shm_an_count(&h) : shm_di_count(&h);
    if (index >= int64_t(count)) {
        fprintf(stderr, "zqshm: %c%" PRId64 " is out of range (SHM %s has %u %s channels)\n", kind,
                index, h.name, count, kind == 'A' ? "analog" : "discrete");
        shm_handle_close(&h);
        return 1;
    }
    if (set) {
        if (kind == 'A')
            shm_update_analog(&h, index, 1, shm_now_ms(), v);
        else
            shm_update_discrete(&h, index, uint8_t(v), 1, shm_now_ms());
    } else {
        // A discrete request carries 1.0 for any non-zero (or NaN) value.
        if (kind == 'D') v = (v != 0 || std::isnan(v)) ? 1.0 : 0.0;
        shm_post_write(kind == 'A' ? shm_an_write_slot(&h, index) : shm_di_write_slot(&h, index),
                       v);
    }
    shm_handle_close(&h);
    return 0;
}

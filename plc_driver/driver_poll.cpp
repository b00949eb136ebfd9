#include "driver_poll.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "common/log.h"
#include "driver_internal.h"

std::atomic<int> g_running{1};

// Defined below the passes that use them.
static int read_single_fallback(eip_session *s, logix_group *g, int idx, ShmHandle *db, int64_t ts);
static void plc_status_conn(logix_conn *conn, int up);

namespace {

// Monotonic time at which fresh data last arrived on this thread's
// connection (watchdog).
thread_local int64_t t_fresh_ms = 0;

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t mono_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void sleep_ms(int64_t ms) {
    if (ms <= 0) return;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    nanosleep(&ts, nullptr);
}

// Sleeps up to ms in 10 ms slices, returning early when the driver stops.
void sleep_while_running(int64_t ms) {
    int64_t end = mono_ms() + ms;
    for (int64_t now = mono_ms(); now < end && g_running.load(); now = mono_ms())
        sleep_ms(std::min<int64_t>(10, end - now));
}

}  // namespace

void driver_store_value(ShmHandle *db, const logix_item &it, double v, uint8_t q, int64_t ts) {
    if (it.is_discrete)
        shm_update_discrete(db, it.channel, driver_to_discrete(v), q, ts);
    else
        shm_update_analog(db, it.channel, q, ts, v);
}

void driver_store_vtype(ShmHandle *db, const logix_item &it, uint8_t code) {
    if (it.is_discrete)
        shm_set_di_vtype(db, it.channel, code);
    else
        shm_set_an_vtype(db, it.channel, code);
}

void driver_mark_fresh() {
    t_fresh_ms = mono_ms();
}

namespace {

void store_value(ShmHandle *db, const logix_item &it, double v, uint8_t q, int64_t ts) {
    driver_store_value(db, it, v, q, ts);
}

void store_vtype(ShmHandle *db, const logix_item &it, uint8_t code) {
    driver_store_vtype(db, it, code);
}

bool type_supported(uint16_t type) {
    return type != 0 && cip_type_size(type) > 0;
}

bool is_bitstring_type(uint16_t t) {
    return t == CIP_TYPE_BOOL || t == CIP_TYPE_BYTE || t == CIP_TYPE_WORD || t == CIP_TYPE_DWORD ||
           t == CIP_TYPE_LWORD;
}

void hex_bytes(const uint8_t *b, size_t n, char *out, size_t cap) {
    size_t pos = 0;
    out[0] = '\0';
    for (size_t i = 0; i < n && pos + 4 <= cap; ++i)
        pos += snprintf(out + pos, cap - pos, i ? " %02X" : "%02X", b[i]);
}

struct poll_ctx {
    logix_conn *conn = nullptr;
    eip_session *s = nullptr;
    ShmHandle *db = nullptr;
    bool connected = false;
    bool first_attempt_done = false;
    int64_t last_attempt_ms = 0;
    bool attempted = false;
    bool unreachable_logged = false;
    uint8_t baseline[LOGIX_ATTR_BLOCK] = {};
    bool baseline_valid = false;
    int64_t last_attr_check_ms = 0;
    int error_passes = 0;
    int64_t activity_ms = 0;
    int64_t due[LOGIX_MAX_GROUPS_PER_CONN] = {};
    int64_t watchdog_ms = 15000;
    // Cycle statistics over a 5-minute window.
    int64_t st_count = 0, st_sum = 0, st_min = 1 << 30, st_max = 0, st_window = 0;
    std::unique_ptr<int[]> cand;  // candidate list for individual reads
    // Large connection: on while the main session holds one; the sessions
    // that carry requests in parallel (links[0] is the main one).
    bool large = false;
    bool large_refused_logged = false;
    bool large_skip = false;  // the controller dropped the link on a Large Forward Open
    eip_session *links[LOGIX_LINKS_MAX] = {};
    int n_links = 0;
    bool ever_connected = false;
};

// Requests and errors so far over the main session and the extra links.
void session_totals(const poll_ctx &c, uint64_t *requests, uint64_t *errors) {
    uint64_t r = c.conn->session.requests, e = c.conn->session.errors;
    for (int i = 0; i < LOGIX_LINKS_MAX - 1; ++i) {
        r += c.conn->extra[i].requests;
        e += c.conn->extra[i].errors;
    }
    *requests = r;
    *errors = e;
}

void publish_errors(poll_ctx &c) {
    uint64_t r, e;
    session_totals(c, &r, &e);
    c.conn->stats.errors.store(e, std::memory_order_relaxed);
}

// Non-blocking TCP probe of the controller port: true when it accepts.
bool probe_host(const char *ip) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(LOGIX_PORT);
    if (inet_pton(AF_INET, ip, &sa.sin_addr) != 1) return false;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = false;
    int rc = connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    if (rc == 0) {
        ok = true;
    } else if (errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 2000) == 1) {
            int err = 0;
            socklen_t len = sizeof err;
            ok = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
    }
    close(fd);
    return ok;
}

void mark_all_bad(poll_ctx &c) {
    int64_t ts = shm_now_ms();
    for (int gi = 0; gi < c.conn->group_count; ++gi) {
        logix_group *g = c.conn->groups[gi];
        for (int i = 0; i < g->item_count; ++i)
            store_value(c.db, g->items[i], 0, 0, ts);
    }
}

void close_extra_links(poll_ctx &c) {
    for (int i = 0; i < c.conn->extra_count; ++i) {
        cip_forward_close(&c.conn->extra[i]);
        eip_disconnect(&c.conn->extra[i]);
    }
    c.conn->extra_count = 0;
    c.n_links = 0;
    c.large = false;
}

// Opens the connection: a Large Forward Open when the groups ask for one,
// falling back to the classic Forward Open when the controller refuses it.
// false when the session was lost on the way.
bool open_cip_connection(poll_ctx &c) {
    logix_conn *conn = c.conn;
    c.large = false;
    if (conn->conn_size > CIP_CONN_SIZE_DEFAULT && !c.large_skip) {
        uint8_t status = 0;
        int rc = cip_large_forward_open(c.s, static_cast<uint16_t>(conn->conn_size), &status);
        if (rc == 0) {
            c.large = true;
            log_msg("Connected Messaging (Large ForwardOpen, %d байт) активовано", conn->conn_size);
            return true;
        }
        if (rc < 0) {
            // Some controllers drop the session on a service they do not
            // know: reconnect and use the classic connection from now on.
            log_msg(
                "Large ForwardOpen без відповіді — переконект зі звичайним з'єднанням 500 байт");
            c.large_skip = true;
            return false;
        }
        if (!c.large_refused_logged)
            log_msg(
                "Large ForwardOpen відхилено (CIP 0x%02X) — звичайне з'єднання 500 байт, "
                "пакети по 28 тегів",
                status);
        c.large_refused_logged = true;
    }
    if (cip_forward_open(c.s) == 0)
        log_msg("Connected Messaging (ForwardOpen) активовано");
    else
        log_msg("ForwardOpen не вдалося — використовується Unconnected Send");
    return true;
}

// Further sessions beside the main one, each with its own large connection.
void open_extra_links(poll_ctx &c) {
    logix_conn *conn = c.conn;
    c.links[0] = c.s;
    c.n_links = 1;
    conn->extra_count = 0;
    if (!c.large) return;
    for (int i = 0; i < LOGIX_LINKS_MAX - 1; ++i) {
        eip_session *x = &conn->extra[i];
        if (eip_connect(x, conn->ip, LOGIX_PORT, static_cast<uint32_t>(conn->slot)) != 0) break;
        if (cip_large_forward_open(x, static_cast<uint16_t>(conn->conn_size)) != 0) {
            eip_disconnect(x);
            break;
        }
        conn->extra_count = i + 1;
        c.links[c.n_links++] = x;
    }
    log_msg("Паралельних з'єднань з ПЛК: %d (по одному запиту в дорозі на кожному)", c.n_links);
}

void drop_connection(poll_ctx &c) {
    close_extra_links(c);
    cip_forward_close(c.s);
    eip_disconnect(c.s);
    for (int gi = 0; gi < c.conn->group_count; ++gi) {
        logix_group *g = c.conn->groups[gi];
        for (int s = 0; s < g->array_segment_count; ++s)
            g->array_segments[s].found = false;
    }
    mark_all_bad(c);
    plc_status_conn(c.conn, 0);
    c.baseline_valid = false;
    c.error_passes = 0;
    c.connected = false;
}

// Clock handshake for this connection. While disconnected the request is
// answered at once with -1 so the requester need not wait for its time-out.
int service_clock(poll_ctx &c, bool online) {
    ShmHeader *h = shm_header(c.db);
    if (!h) return 0;
    if (shm_load_acquire(&h->time_plc) != static_cast<uint32_t>(c.conn->index)) return 0;
    const logix_config *cfg = c.conn->config;
    bool lost = false;
    uint32_t req = 0;
    if (shm_time_pending(c.db, false, &req)) {
        int64_t us = 0;
        int rc = online ? cip_read_plc_time(c.s, &us) : -1;
        h->time_rc = rc;
        if (rc == 0) {
            h->plc_time_us = us;
            h->host_time_us = logix_host_wall_us(cfg);
            h->time_read_ms = shm_now_ms();
        }
        shm_time_complete(c.db, false, req);
        log_msg("PLC time read: rc=%d us=%lld", rc, static_cast<long long>(us));
        if (online && rc < 0) lost = true;
    }
    if (!lost && shm_time_pending(c.db, true, &req)) {
        int64_t target = logix_host_wall_us(cfg);
        int rc = online ? cip_write_plc_time(c.s, target) : -1;
        int64_t read_us = 0;
        bool have_read = false;
        int64_t host_after = 0;
        auto read_back = [&]() {
            int64_t us = 0;
            int r = cip_read_plc_time(c.s, &us);
            if (r == 0) {
                read_us = us;
                host_after = logix_host_wall_us(cfg);
                have_read = true;
            }
            return r;
        };
        if (rc == 0) rc = read_back();
        if (rc == 0 && std::llabs(read_us - target) > 1000000) {
            // The clock landed off (slow link, controller delay): write the
            // target corrected by the observed error once.
            rc = cip_write_plc_time(c.s, target - (read_us - target));
            if (rc == 0) rc = read_back();
        }
        // time_rc tells the outcome of the last operation of the sequence.
        h->time_rc = rc;
        if (have_read) {
            h->plc_time_us = read_us;
            h->host_time_us = host_after;
            h->time_read_ms = shm_now_ms();
        }
        shm_time_complete(c.db, true, req);
        log_msg("PLC time sync: rc=%d target_us=%lld", rc, static_cast<long long>(target));
        if (online && rc < 0) lost = true;
    }
    return lost ? -1 : 0;
}

// Requests left pending while the link was down are stale: cancel them
// rather than carry out an operator's old command hours later.
void cancel_stale_writes(poll_ctx &c) {
    for (int gi = 0; gi < c.conn->group_count; ++gi) {
        logix_group *g = c.conn->groups[gi];
        for (int i = 0; i < g->item_count; ++i) {
            const logix_item &it = g->items[i];
            ShmWriteSlot *slot = it.is_discrete ? shm_di_write_slot(c.db, it.channel)
                                                : shm_an_write_slot(c.db, it.channel);
            double v = 0;
            if (!slot || !shm_write_pending(slot) || !shm_take_write(slot, &v)) continue;
            log_msg("[%s] запит запису %c%d = %g очікував без зв'язку з ПЛК — скасовано", g->name,
                    it.is_discrete ? 'D' : 'A', it.channel, v);
            log_write_ev("[%s] Помилка запису %c%d", g->name, it.is_discrete ? 'D' : 'A',
                         it.channel);
        }
    }
}

void fill_identity(poll_ctx &c, const uint8_t *b, size_t n, bool full) {
    ShmPlcBlock *blk = shm_plc(c.db, c.conn->index);
    if (!blk) return;
    uint16_t status = eip_get16(b + 8);
    blk->status = status;
    driver_status_mode(status, &blk->mode, &blk->minor_fault);
    if (!full) return;
    blk->product_code = eip_get16(b + 4);
    blk->fw_major = b[6];
    blk->fw_minor = b[7];
    blk->serial = eip_get32(b + 10);
    size_t len = b[14];
    if (len <= 47 && 15 + len <= n) {
        memcpy(blk->proc, b + 15, len);
        blk->proc[len] = '\0';
    }
}

// One connect attempt (or one probing turn). Returns true once polling may start.
bool connect_step(poll_ctx &c) {
    logix_conn *conn = c.conn;
    int64_t now = mono_ms();
    if (!c.first_attempt_done) {
        c.first_attempt_done = true;
        c.attempted = true;
        c.last_attempt_ms = now;
        if (eip_connect(c.s, conn->ip, LOGIX_PORT, conn->slot) != 0) {
            log_msg("Підключення до %s не вдалося", conn->ip);
            sleep_ms(100);
            return false;
        }
    } else {
        if (c.attempted && now - c.last_attempt_ms < 3000) {
            service_clock(c, false);
            sleep_ms(100);
            return false;
        }
        c.attempted = true;
        c.last_attempt_ms = now;
        if (!probe_host(conn->ip)) {
            if (!c.unreachable_logged) log_msg("Хост %s недоступний, очікую...", conn->ip);
            c.unreachable_logged = true;
            sleep_ms(100);
            return false;
        }
        if (eip_connect(c.s, conn->ip, LOGIX_PORT, conn->slot) != 0) {
            sleep_ms(100);
            return false;
        }
    }
    c.unreachable_logged = false;

    if (!open_cip_connection(c)) {
        drop_connection(c);
        return false;
    }

    log_msg("Запит атрибутів контролера для ініціалізації...");
    uint8_t attrs[LOGIX_ATTR_BLOCK];
    size_t alen = 0;
    int rc = cip_read_controller_attrs(c.s, attrs, sizeof attrs, &alen);
    if (rc < 0) {
        // The stream may be out of step after a failed transaction.
        log_msg("З'єднання втрачено (атрибути контролера)");
        drop_connection(c);
        return false;
    }
    if (rc == 0 && alen == LOGIX_ATTR_BLOCK) {
        char hex[LOGIX_ATTR_BLOCK * 3 + 1];
        hex_bytes(attrs, alen, hex, sizeof hex);
        log_msg("Початкові атрибути контролера: %s", hex);
        memcpy(c.baseline, attrs, sizeof attrs);
        c.baseline_valid = true;
    } else {
        log_err("Не вдалося прочитати атрибути контролера (rc=%d)", rc);
        c.baseline_valid = false;
    }
    c.last_attr_check_ms = mono_ms();

    for (int gi = 0; gi < conn->group_count; ++gi) {
        logix_group *g = conn->groups[gi];
        for (int i = 0; i < g->item_count; ++i)
            g->items[i].not_found = false;
        for (int s = 0; s < g->general_segment_count; ++s) {
            g->general_segments[s].type = 0;
            g->general_segments[s].disabled = false;
        }
    }

    log_msg("Отримання параметрів тегів контролера...");
    std::unique_ptr<cip_symbol[]> syms(new (std::nothrow) cip_symbol[LOGIX_MAX_SYMBOLS]);
    int nsym = 0;
    bool have_syms = false;
    if (syms) {
        rc = cip_get_symbols(c.s, syms.get(), LOGIX_MAX_SYMBOLS, &nsym);
        if (rc == 0) {
            have_syms = true;
            log_msg("Отримано тегів контролера: %d", nsym);
            if (nsym >= LOGIX_MAX_SYMBOLS)
                log_err("Список тегів контролера обрізано до %d — можливі хибні «не знайдено»",
                        LOGIX_MAX_SYMBOLS);
        }
    }
    if (!have_syms) log_err("Не вдалося отримати список тегів — валідація масивів по інстанції");

    int ready_an = 0, ready_di = 0;
    for (int gi = 0; gi < conn->group_count; ++gi) {
        logix_group *g = conn->groups[gi];
        for (int s = 0; s < g->array_segment_count; ++s) {
            array_segment &seg = g->array_segments[s];
            bool found = false;
            if (have_syms) {
                for (int k = 0; k < nsym; ++k) {
                    if (strcmp(syms[k].name, seg.name) == 0) {
                        found = true;
                        uint16_t t = cip_sym_to_type(syms[k].type);
                        if (type_supported(t)) seg.type = t;
                        break;
                    }
                }
            } else {
                found = cip_find_tag_instance(c.s, seg.name) != 0;
            }
            seg.found = found;
            if (found) {
                log_msg("[%s] масив '%s[%d..%d]' OK", g->name, seg.name, seg.lowest, seg.highest);
                int n = seg.highest - seg.lowest + 1;
                (seg.is_discrete ? ready_di : ready_an) += n;
            } else {
                log_err("[%s] тег '%s' не знайдено в ПЛК", g->name, seg.name);
            }
        }
        for (int i = 0; i < g->item_count; ++i) {
            const logix_item &it = g->items[i];
            if (!it.is_array_elem) (it.is_discrete ? ready_di : ready_an) += 1;
        }
    }
    syms.reset();
    log_msg("Групування тегів...");
    log_msg("Кількість параметрів готових до опитування: аналогів=%d, дискретів=%d, загалом=%d",
            ready_an, ready_di, ready_an + ready_di);
    if (ready_an + ready_di == 0) {
        log_err("Жодного тега не знайдено в ПЛК — можливо рестарт/ініціалізація; переконект");
        sleep_while_running(1000);
        drop_connection(c);
        return false;
    }

    t_fresh_ms = mono_ms();
    c.connected = true;
    if (c.ever_connected) conn->stats.reconnects.fetch_add(1, std::memory_order_relaxed);
    c.ever_connected = true;
    plc_status_conn(conn, 1);
    uint8_t id[128];
    size_t idlen = 0;
    rc = cip_read_identity(c.s, id, sizeof id, &idlen);
    if (rc < 0) {
        log_msg("З'єднання втрачено (Identity)");
        drop_connection(c);
        return false;
    }
    if (rc == 0 && idlen > 14) fill_identity(c, id, idlen, true);
    uint8_t ctl[256];
    size_t clen = 0;
    rc = cip_get_attributes_all(c.s, 0x64, 1, ctl, sizeof ctl, &clen);
    if (rc < 0) {
        log_msg("З'єднання втрачено (Identity)");
        drop_connection(c);
        return false;
    }
    ShmPlcBlock *blk = shm_plc(c.db, conn->index);
    if (rc == 0 && clen > 1 && blk) {
        size_t nlen = eip_get16(ctl);
        if (nlen <= 47 && 2 + nlen <= clen) {
            memcpy(blk->name, ctl + 2, nlen);
            blk->name[nlen] = '\0';
        }
    }

    open_extra_links(c);
    cancel_stale_writes(c);
    int64_t t = mono_ms();
    for (int gi = 0; gi < conn->group_count; ++gi)
        c.due[gi] = t;
    log_msg("Підключено. Початок опитування...");
    c.error_passes = 0;
    c.activity_ms = t;
    return true;
}

}  // namespace

int driver_segment_width(logix_group *g, array_segment &seg) {
    int n = seg.highest - seg.lowest + 1;
    if (n > LOGIX_MAX_SEGMENT_ELEMS) {
        if (!seg.too_wide_logged)
            log_err(
                "[%s] сегмент %s[%d..%d] ширше %d елементів — теги вище %s[%d] НЕ опитуються "
                "(розбийте на різні базові масиви)",
                g->name, seg.name, seg.lowest, seg.highest, LOGIX_MAX_SEGMENT_ELEMS, seg.name,
                seg.lowest + LOGIX_MAX_SEGMENT_ELEMS - 1);
        seg.too_wide_logged = true;
        n = LOGIX_MAX_SEGMENT_ELEMS;
    }
    return n;
}

int driver_general_width(logix_group *g, general_segment &seg) {
    int n = seg.highest - seg.lowest + 1;
    if (n > LOGIX_MAX_SEGMENT_ELEMS) {
        if (!seg.too_wide_logged)
            log_err("[%s] груповий масив '%s' [%d..%d] ширше %d елементів — хвіст не опитується",
                    g->name, seg.name, seg.lowest, seg.highest, LOGIX_MAX_SEGMENT_ELEMS);
        seg.too_wide_logged = true;
        n = LOGIX_MAX_SEGMENT_ELEMS;
    }
    return n;
}

int driver_probe_discrete(eip_session *s, logix_group *g, array_segment &seg) {
    if (!seg.is_discrete || seg.type != 0) return 0;
    // No type from the symbol list: ask the array once. Read as bits, a
    // numeric array would be refused on every pass and reconnect forever.
    // The element is word-aligned so that a BOOL array answers its word.
    double v = 0;
    uint16_t type = 0;
    int got = 0;
    int rc =
        cip_read_real(s, seg.name, static_cast<uint32_t>(seg.lowest) & ~31u, 1, &v, &type, &got);
    if (rc < 0) {
        log_msg("[%s] З'єднання втрачено (масив %s)", g->name, seg.name);
        return -1;
    }
    if (rc == 0 && type_supported(type)) seg.type = type;
    return 0;
}

void driver_report_missing(logix_group *g, logix_item &it, int status, uint16_t type) {
    if (it.not_found) return;
    it.not_found = true;
    if (status == -1 && type != 0 && cip_type_size(type) == 0)
        log_err("[%s] тег '%s': тип 0x%04X не підтримується драйвером", g->name, it.text, type);
    else if (status == -1)
        log_err("[%s] тег '%s' не знайдено в ПЛК", g->name, it.text);
    else
        log_err("[%s] тег '%s' не знайдено в ПЛК (CIP 0x%02X)", g->name, it.text, status);
}

int driver_item_candidates(const logix_group *g, int *cand) {
    int nc = 0;
    for (int i = 0; i < g->item_count; ++i) {
        const logix_item &it = g->items[i];
        if (it.is_array_elem || it.not_found || it.duplicate_of >= 0) continue;
        if (it.general_segment >= 0) {
            // Members past the group read's 600-element window are read on
            // their own, so that they never keep a stale value marked good.
            const general_segment &seg = g->general_segments[it.general_segment];
            if (seg.type != 0 && !seg.disabled && it.general_index < LOGIX_MAX_SEGMENT_ELEMS)
                continue;
        }
        cand[nc++] = i;
    }
    return nc;
}

bool driver_is_bit_segment(const array_segment &seg) {
    return seg.is_discrete &&
           (seg.type == 0 || seg.type == CIP_TYPE_BOOL || seg.type == CIP_TYPE_DWORD);
}

void driver_apply_bits(logix_group *g, const array_segment &seg, const uint8_t *bits, int n,
                       bool ok, ShmHandle *db, int64_t ts) {
    for (int i = seg.first_item; i >= 0; i = g->items[i].next_in_seg) {
        logix_item &it = g->items[i];
        int off = it.array_index - seg.lowest;
        if (off < 0 || off >= n) continue;
        it.type = CIP_TYPE_BOOL;
        store_vtype(db, it, SHM_VT_BOOL);
        store_value(db, it, ok ? bits[off] : 0, ok ? 1 : 0, ts);
    }
    if (ok) t_fresh_ms = mono_ms();
}

void driver_apply_array(logix_group *g, const array_segment &seg, const double *vals, int n,
                        bool failed, ShmHandle *db, int64_t ts) {
    uint8_t q = failed ? 0 : 1;
    for (int i = seg.first_item; i >= 0; i = g->items[i].next_in_seg) {
        logix_item &it = g->items[i];
        int off = it.array_index - seg.lowest;
        if (off < 0 || off >= n) continue;
        if (seg.type) {
            it.type = seg.type;
            store_vtype(db, it, static_cast<uint8_t>(seg.type & 0xFF));
        }
        store_value(db, it, vals[off], q, ts);
    }
    if (!failed) t_fresh_ms = mono_ms();
}

void driver_array_unsupported(logix_group *g, array_segment &seg, uint16_t type, ShmHandle *db,
                              int64_t ts) {
    // A structure or string array listed by mistake: it can never be
    // decoded, so stop polling it until the next connect instead of
    // counting errors towards a reconnect.
    log_err("[%s] масив '%s': тип 0x%04X не підтримується — не опитується", g->name, seg.name,
            type);
    seg.found = false;
    for (int i = seg.first_item; i >= 0; i = g->items[i].next_in_seg)
        store_value(db, g->items[i], 0, 0, ts);
}

int driver_read_single(eip_session *s, logix_group *g, int idx, ShmHandle *db, int64_t ts) {
    return read_single_fallback(s, g, idx, db, ts);
}

namespace {

// Reads one array segment. -1 on transport failure; *refused when the
// controller refused a read.
int poll_array_segment(poll_ctx &c, logix_group *g, int si, int64_t ts, bool *refused) {
    array_segment &seg = g->array_segments[si];
    if (!seg.found) return 0;
    int n = driver_segment_width(g, seg);
    if (driver_probe_discrete(c.s, g, seg) < 0) return -1;
    if (driver_is_bit_segment(seg)) {
        uint8_t bits[LOGIX_MAX_SEGMENT_ELEMS];
        int rc = cip_read_bool(c.s, seg.name, static_cast<uint32_t>(seg.lowest), n, bits);
        if (rc < 0) {
            log_msg("[%s] З'єднання втрачено (масив %s)", g->name, seg.name);
            return -1;
        }
        driver_apply_bits(g, seg, bits, n, rc == 0, c.db, ts);
        if (rc != 0) *refused = true;
        return 0;
    }

    double vals[LOGIX_MAX_SEGMENT_ELEMS];
    bool failed = false;
    for (int off = 0; off < n;) {
        int size = cip_type_size(seg.type);
        // Until a reply has taught the type, ask for a count that fits one
        // reply even for 8-byte elements.
        int chunk = size > 0 ? std::max(1, 480 / size) : 60;
        int cnt = std::min(chunk, n - off);
        uint16_t type = 0;
        int got = 0;
        int rc = cip_read_real(c.s, seg.name, static_cast<uint32_t>(seg.lowest + off), cnt,
                               vals + off, &type, &got);
        if (rc < 0) {
            log_msg("[%s] З'єднання втрачено (масив %s)", g->name, seg.name);
            return -1;
        }
        if (rc == 1 && type != 0 && cip_type_size(type) == 0) {
            // A structure or string array listed by mistake: it can never be
            // decoded, so stop polling it until the next connect instead of
            // counting errors towards a reconnect.
            driver_array_unsupported(g, seg, type, c.db, ts);
            return 0;
        }
        if (rc == 0) seg.type = type;
        if (rc != 0 || got < cnt) {
            failed = true;
            for (int k = (rc == 0 ? got : 0); k < cnt; ++k)
                vals[off + k] = 0;
        }
        off += cnt;
    }
    driver_apply_array(g, seg, vals, n, failed, c.db, ts);
    if (failed) *refused = true;
    return 0;
}

int poll_general_segment(poll_ctx &c, logix_group *g, int si, int64_t ts) {
    general_segment &seg = g->general_segments[si];
    if (seg.type == 0 || seg.disabled) return 0;
    int n = driver_general_width(g, seg);
    for (int off = 0; off < n;) {
        int size = cip_type_size(seg.type);
        if (size <= 0) return 0;
        int cnt = std::min(std::max(1, 480 / size), n - off);
        uint8_t path[CIP_PATH_MAX];
        memcpy(path, seg.base_path, seg.base_len);
        int plen = cip_path_append_elem(path, seg.base_len, sizeof path,
                                        static_cast<uint32_t>(seg.lowest + off));
        uint8_t buf[496];
        uint32_t esize = 0;
        uint16_t type = 0;
        int got = 0;
        int rc = plen < 0 ? 1
                          : cip_read_tag_count(c.s, path, plen, cnt, buf, sizeof buf, &esize, &type,
                                               &got);
        if (rc < 0) {
            log_msg("[%s] З'єднання втрачено (груповий масив)", g->name);
            return -1;
        }
        if (rc != 0 || esize == 0) {
            seg.disabled = true;
            log_err("[%s] ПЛК відхилив групове читання '%s' — повертаюсь до поодиноких читань",
                    g->name, seg.name);
            for (int m = seg.first_member; m >= 0; m = g->items[m].next_member)
                logix_fanout_bad(g, m, c.db, ts);
            return 0;
        }
        seg.type = type;
        for (int m = seg.first_member; m >= 0; m = g->items[m].next_member) {
            int idx = g->items[m].general_index;
            if (idx < off || idx >= off + cnt) continue;
            if (idx < off + got)
                logix_apply_with_duplicates(g, m, buf + static_cast<size_t>(idx - off) * esize,
                                            type, c.db, ts);
            else
                logix_fanout_bad(g, m, c.db, ts);  // the reply came back short
        }
        off += cnt;
    }
    return 0;
}

int poll_items(poll_ctx &c, logix_group *g, int64_t ts) {
    int *cand = c.cand.get();
    int nc = driver_item_candidates(g, cand);
    cip_multi_item mi[CIP_MSP_ITEMS_MAX];
    cip_multi_result mr[CIP_MSP_ITEMS_MAX];
    for (int pos = 0; pos < nc;) {
        int k = driver_batch_size(g, cand, nc, pos);
        if (k <= 1) {
            if (read_single_fallback(c.s, g, cand[pos], c.db, ts) < 0) return -1;
            pos += 1;
            continue;
        }
        for (int j = 0; j < k; ++j) {
            const logix_item &it = g->items[cand[pos + j]];
            mi[j].path = it.path;
            mi[j].path_len = static_cast<size_t>(it.path_len);
            mi[j].count = 1;
        }
        int rc = cip_read_multi(c.s, mi, k, mr);
        if (rc < 0) {
            log_msg("[%s] З'єднання втрачено (теги)", g->name);
            return -1;
        }
        if (rc == 1) {
            for (int j = 0; j < k; ++j)
                if (read_single_fallback(c.s, g, cand[pos + j], c.db, ts) < 0) return -1;
        } else {
            for (int j = 0; j < k; ++j) {
                int idx = cand[pos + j];
                if (mr[j].status == 0 && mr[j].size > 0) {
                    logix_apply_with_duplicates(g, idx, mr[j].value, mr[j].type, c.db, ts);
                } else {
                    driver_report_missing(g, g->items[idx], mr[j].status == 0 ? -1 : mr[j].status,
                                          mr[j].type);
                    logix_fanout_bad(g, idx, c.db, ts);
                }
            }
        }
        pos += k;
    }
    return 0;
}

void activate_general_segments(logix_group *g) {
    for (int s = 0; s < g->general_segment_count; ++s) {
        general_segment &seg = g->general_segments[s];
        if (seg.type != 0 || seg.disabled) continue;
        uint16_t t = 0;
        for (int m = seg.first_member; m >= 0; m = g->items[m].next_member) {
            if (type_supported(g->items[m].type)) {
                t = g->items[m].type;
                break;
            }
        }
        if (!t) continue;
        if (is_bitstring_type(t)) {
            seg.disabled = true;
            continue;
        }
        seg.type = t;
        log_msg("[%s] груповий масив '%s' [%d..%d]: %d тегів → 1 читання (тип 0x%02X)", g->name,
                seg.name, seg.lowest, seg.highest, seg.members, t);
    }
}

// One pass: checks, clock, due groups, sleep with write service.
// -1 when the connection must be dropped.
int run_pass(poll_ctx &c) {
    logix_conn *conn = c.conn;
    int64_t now = mono_ms();
    int inact = conn->config->inactivity_ms;
    if (inact > 0 && now - c.activity_ms > inact) {
        log_msg("Таймаут активності (%d мс)", inact);
        return -1;
    }
    if (now - t_fresh_ms > c.watchdog_ms) {
        log_msg("Watchdog: %lld мс без свіжих даних — переконект",
                static_cast<long long>(now - t_fresh_ms));
        return -1;
    }
    if (c.baseline_valid && now - c.last_attr_check_ms >= 5000) {
        c.last_attr_check_ms = now;
        uint8_t attrs[LOGIX_ATTR_BLOCK];
        size_t alen = 0;
        int rc = cip_read_controller_attrs(c.s, attrs, sizeof attrs, &alen);
        if (rc < 0) {
            log_msg("З'єднання втрачено (атрибути контролера)");
            return -1;
        }
        if (rc == 0 && alen == LOGIX_ATTR_BLOCK && memcmp(attrs, c.baseline, alen) != 0) {
            char hex[LOGIX_ATTR_BLOCK * 3 + 1];
            hex_bytes(attrs, alen, hex, sizeof hex);
            log_msg("Зміна атрибутів контролера: %s", hex);
            return -1;
        }
        uint8_t id[128];
        size_t idlen = 0;
        rc = cip_read_identity(c.s, id, sizeof id, &idlen);
        if (rc < 0) {
            log_msg("З'єднання втрачено (Identity)");
            return -1;
        }
        if (rc == 0 && idlen > 9) fill_identity(c, id, idlen, false);
    }
    if (service_clock(c, true) < 0) return -1;

    int64_t pass_start = mono_ms();
    int64_t pass_start_us = mono_us();
    int64_t ts = shm_now_ms();
    uint64_t req_before, err_before;
    session_totals(c, &req_before, &err_before);
    bool polled = false;
    bool refused = false;
    for (int gi = 0; gi < conn->group_count; ++gi) {
        if (pass_start < c.due[gi]) continue;
        logix_group *g = conn->groups[gi];
        polled = true;
        if (c.large) {
            if (driver_poll_group_large(c.links, c.n_links, g, c.db, ts, c.cand.get(), &refused) <
                0)
                return -1;
        } else {
            for (int s = 0; s < g->array_segment_count; ++s)
                if (poll_array_segment(c, g, s, ts, &refused) < 0) return -1;
            for (int s = 0; s < g->general_segment_count; ++s)
                if (poll_general_segment(c, g, s, ts) < 0) return -1;
            if (poll_items(c, g, ts) < 0) return -1;
        }
        activate_general_segments(g);
        if (driver_process_write_queue(c.s, g, c.db) < 0) return -1;
        shm_poll_done(c.db, shm_now_ms());
        c.due[gi] = pass_start + g->takt_ms;
    }
    if (refused) {
        if (++c.error_passes >= LOGIX_ERROR_PASS_LIMIT) {
            log_msg("Перевищено ліміт CIP-помилок (%d)", LOGIX_ERROR_PASS_LIMIT);
            return -1;
        }
    } else {
        c.error_passes = 0;
        c.activity_ms = mono_ms();
    }

    if (polled) {
        uint64_t req_after, err_after;
        session_totals(c, &req_after, &err_after);
        logix_conn_stats &st = conn->stats;
        st.last_requests.store(req_after - req_before, std::memory_order_relaxed);
        st.last_pass_us.store(mono_us() - pass_start_us, std::memory_order_relaxed);
        st.errors.store(err_after, std::memory_order_relaxed);
        st.passes.fetch_add(1, std::memory_order_relaxed);
        int64_t d = mono_ms() - pass_start;
        if (c.st_count == 0 && c.st_window == 0) c.st_window = pass_start;
        c.st_min = std::min(c.st_min, d);
        c.st_max = std::max(c.st_max, d);
        c.st_sum += d;
        c.st_count++;
        if (mono_ms() - c.st_window > 299999) {
            log_msg("Час циклу опитування: min=%lld avg=%lld max=%lld мс (вибірок=%d)",
                    static_cast<long long>(c.st_min), static_cast<long long>(c.st_sum / c.st_count),
                    static_cast<long long>(c.st_max), static_cast<int>(c.st_count));
            c.st_count = c.st_sum = c.st_max = 0;
            c.st_min = 1 << 30;
            c.st_window = mono_ms();
        }
    }

    int64_t wake = pass_start + 1000;
    for (int gi = 0; gi < conn->group_count; ++gi)
        wake = std::min(wake, c.due[gi]);
    for (int64_t t = mono_ms(); t < wake && g_running.load(); t = mono_ms()) {
        sleep_ms(std::min<int64_t>(10, wake - t));
        for (int gi = 0; gi < conn->group_count; ++gi)
            if (driver_process_write_queue(c.s, conn->groups[gi], c.db) < 0) return -1;
    }
    return 0;
}

}  // namespace

uint8_t driver_to_discrete(double v) {
    if (!(v > 0)) return 0;  // also NaN
    if (v >= 254.5) return 255;
    return static_cast<uint8_t>(std::floor(v + 0.5));
}

void driver_status_mode(uint16_t status, uint8_t *mode, uint8_t *minor_fault) {
    int x = (status >> 4) & 0xF;
    if (x == 5 || (status & 0x0C00) != 0)
        *mode = SHM_MODE_FAULT;
    else if (x == 6)
        *mode = SHM_MODE_RUN;
    else if (x == 7)
        *mode = SHM_MODE_PROGRAM;
    else
        *mode = SHM_MODE_UNKNOWN;
    *minor_fault = (status & 0x0300) != 0 ? 1 : 0;
}

int64_t driver_watchdog_ms(const logix_conn *conn) {
    int64_t takt = 0;
    for (int i = 0; i < conn->group_count; ++i)
        takt = std::max<int64_t>(takt, conn->groups[i]->takt_ms);
    return std::max<int64_t>(15000, 2 * takt + 5000);
}

int driver_batch_size(const logix_group *g, const int *cand, int count, int pos) {
    int req = 8, rep = 2, k = 0;
    for (int i = pos; i < count && k < CIP_MSP_ITEMS_MAX; ++i) {
        int len = g->items[cand[i]].path_len;
        if (k > 0 && (req + len + 6 > 460 || rep > 444)) break;
        req += len + 6;
        rep += 16;
        ++k;
    }
    return k;
}

int logix_apply_single(logix_item *it, const uint8_t *bytes, uint16_t type, ShmHandle *db,
                       int64_t ts) {
    int size = cip_type_size(type);
    if (size <= 0) {
        store_value(db, *it, 0, 0, ts);
        return 1;
    }
    if (it->is_discrete && it->bit_from < 0 && it->last_index >= 0 && type == CIP_TYPE_DWORD)
        it->bit_from = it->bit_to = it->last_index & 31;
    it->type = type;
    t_fresh_ms = mono_ms();
    bool bits = it->bit_from >= 0;
    store_vtype(db, *it, bits ? SHM_VT_BOOL : static_cast<uint8_t>(type & 0xFF));
    if (!bits) {
        store_value(db, *it, cip_decode_numeric(bytes, type), 1, ts);
        return 0;
    }
    uint64_t raw = 0;
    for (int i = 0; i < std::min(size, 8); ++i)
        raw |= static_cast<uint64_t>(bytes[i]) << (8 * i);
    int width = it->bit_to - it->bit_from + 1;
    uint64_t mask = width >= 32 ? 0xFFFFFFFFull : ((1ull << width) - 1);
    uint64_t v = (raw >> it->bit_from) & mask;
    if (it->is_discrete)
        shm_update_discrete(db, it->channel, static_cast<uint8_t>(std::min<uint64_t>(v, 255)), 1,
                            ts);
    else
        shm_update_analog(db, it->channel, 1, ts, static_cast<double>(v));
    return 0;
}

int logix_apply_with_duplicates(logix_group *g, int idx, const uint8_t *bytes, uint16_t type,
                                ShmHandle *db, int64_t ts) {
    int rc = logix_apply_single(&g->items[idx], bytes, type, db, ts);
    for (int d = g->items[idx].next_dup; d >= 0; d = g->items[d].next_dup)
        logix_apply_single(&g->items[d], bytes, type, db, ts);
    return rc;
}

void logix_fanout_bad(logix_group *g, int idx, ShmHandle *db, int64_t ts) {
    store_value(db, g->items[idx], 0, 0, ts);
    for (int d = g->items[idx].next_dup; d >= 0; d = g->items[d].next_dup)
        store_value(db, g->items[d], 0, 0, ts);
}

static int read_single_fallback(eip_session *s, logix_group *g, int idx, ShmHandle *db,
                                int64_t ts) {
    logix_item &it = g->items[idx];
    uint8_t val[8] = {};
    uint32_t size = 0;
    uint16_t type = 0;
    int rc = cip_read_tag_single(s, it.path, static_cast<size_t>(it.path_len), val, &size, &type);
    if (rc < 0) {
        log_msg("[%s] З'єднання втрачено (теги)", g->name);
        return -1;
    }
    if (rc != 0) {
        logix_fanout_bad(g, idx, db, ts);
        driver_report_missing(g, it, -1, type);
        return 1;
    }
    logix_apply_with_duplicates(g, idx, val, type, db, ts);
    return 0;
}

static void plc_status_conn(logix_conn *conn, int up) {
    conn->stats.connected.store(up, std::memory_order_relaxed);
    ShmHandle *db = &conn->database;
    if (!db->base || conn->index < 0 || static_cast<uint32_t>(conn->index) >= shm_plc_count(db))
        return;
    ShmPlcBlock *blk = shm_plc(db, conn->index);
    if (!blk) return;
    char ip[16] = {};
    memcpy(ip, conn->ip, strnlen(conn->ip, sizeof ip - 1));
    memcpy(blk->ip, ip, sizeof ip);
    blk->slot = static_cast<uint8_t>(conn->slot);
    blk->connected = up ? 1 : 0;
    if (!up) {
        blk->mode = 0;
        blk->minor_fault = 0;
    }
    uint32_t any = 0;
    for (uint32_t k = 0; k < shm_plc_count(db); ++k) {
        const ShmPlcBlock *b = shm_plc(db, k);
        if (b && b->connected) any = 1;
    }
    shm_set_connected(db, any);
}

int64_t logix_host_wall_us(const logix_config *c) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    int64_t now = static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
    time_t t = ts.tv_sec;
    tm lt{};
    localtime_r(&t, &lt);
    bool dst = c->dst_mode == 1 || (c->dst_mode == 2 && lt.tm_isdst > 0);
    if (c->tz_set)
        return now + (static_cast<int64_t>(c->tz_offset_min) * 60 + (dst ? 3600 : 0)) * 1000000;
    return now + static_cast<int64_t>(lt.tm_gmtoff) * 1000000;
}

void logix_poll_thread(logix_conn *conn) {
    log_set_prefix(conn->groups[0]->name);
    log_msg("Потік запущено. IP=%s, слот=%d, груп=%d", conn->ip, conn->slot, conn->group_count);
    plc_status_conn(conn, 0);
    int max_items = 1;
    for (int gi = 0; gi < conn->group_count; ++gi) {
        logix_group *g = conn->groups[gi];
        max_items = std::max(max_items, g->item_count);
        int singles = 0;
        for (int i = 0; i < g->item_count; ++i)
            if (!g->items[i].is_array_elem) ++singles;
        log_msg("[%s] масивів=%d, окремих=%d, тегів=%d, такт=%d мс", g->name,
                g->array_segment_count, singles, g->item_count, g->takt_ms);
        for (int s = 0; s < g->array_segment_count; ++s) {
            const array_segment &seg = g->array_segments[s];
            log_msg("[%s]   %s[%d..%d] (%s)", g->name, seg.name, seg.lowest, seg.highest,
                    seg.is_discrete ? "D" : "A");
        }
    }
    poll_ctx c;
    c.conn = conn;
    c.s = &conn->session;
    c.db = &conn->database;
    c.watchdog_ms = driver_watchdog_ms(conn);
    c.cand.reset(new int[max_items]);

    while (g_running.load()) {
        if (!c.connected) {
            connect_step(c);
            publish_errors(c);
            continue;
        }
        if (run_pass(c) < 0) {
            drop_connection(c);
            publish_errors(c);
        }
    }
    log_msg("Потік завершено. IP=%s", conn->ip);
    if (c.connected) {
        close_extra_links(c);
        cip_forward_close(c.s);
        eip_disconnect(c.s);
    }
    plc_status_conn(conn, 0);
}

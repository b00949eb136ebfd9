// zqserver process: command line, start-up, the worker threads that
// accept and answer connections, and the watch thread (database retry, metadata
// reload on SIGUSR1, page changes, autosync).

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "common/log.h"
#include "common/parse_util.h"
#include "common/signals.h"
#include "common/version.h"
#include "server/ctrllog.h"
#include "server/rt_health.h"
#include "server/rt_meta.h"
#include "server/rt_plc.h"
#include "server/srv_routes.h"
#include "trend/tz.h"

namespace {

// Connections served at once; further ones are closed without an answer so
// that a flood cannot create unbounded threads.
constexpr int SRV_MAX_CONNECTIONS = 128;
// Of those, at most this many from one client address.
constexpr int SRV_MAX_PER_ADDRESS = 64;

std::atomic<bool> g_running{true};
std::atomic<bool> g_meta_reload{false};
std::atomic<int> g_conns{0};
// Connections per client address, so that one misbehaving station cannot
// take every connection slot from the others.
std::mutex g_peer_mu;
std::map<uint32_t, int> g_peer_conns;

bool peer_take(uint32_t addr) {
    std::lock_guard<std::mutex> lk(g_peer_mu);
    int &n = g_peer_conns[addr];
    if (n >= SRV_MAX_PER_ADDRESS) return false;
    n++;
    return true;
}

void peer_release(uint32_t addr) {
    std::lock_guard<std::mutex> lk(g_peer_mu);
    auto it = g_peer_conns.find(addr);
    if (it != g_peer_conns.end() && --it->second <= 0) g_peer_conns.erase(it);
}

void on_stop(int) {
    g_running = false;
}
void on_usr1(int) {
    g_meta_reload = true;
}

struct conn_arg {
    int fd;
    sockaddr_in peer;
};

void serve_conn(const conn_arg &a, srv_state *st, http_request *req) {
    timeval rt{0, 300000}, wt{5, 0};
    setsockopt(a.fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt);
    setsockopt(a.fd, SOL_SOCKET, SO_SNDTIMEO, &wt, sizeof wt);
    // The client address is known before the body limit is decided.
    inet_ntop(AF_INET, &a.peer.sin_addr, req->client_ip, sizeof req->client_ip);
    if (http_read(a.fd, req, srv_body_limit, st) == 0) {
        srv_reply reply;
        srv_dispatch(st, req, &reply);
        rt_metrics_count_reply(&reply);
        reply.head_only = strcmp(req->method, "HEAD") == 0;
        srv_reply_write(a.fd, &reply);
    }
    // A worker keeps its request record; not the memory of a big upload.
    if (req->body.capacity() > 65536) std::string().swap(req->body);
    close(a.fd);
    peer_release(a.peer.sin_addr.s_addr);
    g_conns--;
}

// Connection workers outlive their connections and take them from the
// listening socket themselves: starting a thread for every request, and
// handing each connection from one thread to another, cost more than
// answering it. Whenever a worker takes a connection and none is left
// waiting, it starts another one, so a slow client holds up nobody else;
// the connection limit bounds their number, and those beyond a few spare
// ones leave after a quiet spell.
constexpr int SRV_SPARE_WORKERS = 4;
constexpr int SRV_WORKER_IDLE_S = 30;

struct conn_pool {
    int ls = -1;
    srv_state *st = nullptr;
    std::mutex mu;  // guards workers; the stop waits on cv for zero
    std::condition_variable cv;
    int workers = 0;
    std::atomic<int> waiting{0};   // blocked in accept
    std::atomic<int> starting{0};  // started, not yet accepting
};
conn_pool g_pool;

bool pool_spawn();

enum accept_result { ACCEPT_STOP, ACCEPT_SERVED, ACCEPT_IDLE };

// Takes one connection and serves it; `first` on a new worker's first call.
accept_result accept_serve(http_request *req, bool first) {
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    g_pool.waiting++;
    if (first) g_pool.starting--;  // counted as waiting from now on
    int fd = accept4(g_pool.ls, (sockaddr *)&peer, &pl, SOCK_CLOEXEC);
    int err = errno;
    g_pool.waiting--;
    if (fd < 0) {
        if (!g_running) return ACCEPT_STOP;
        if (err == EAGAIN || err == EWOULDBLOCK) return ACCEPT_IDLE;
        if (err != EINTR && err != ECONNABORTED) {
            perror("accept");
            usleep(10000);
        }
        return ACCEPT_SERVED;
    }
    if (g_pool.waiting == 0 && g_pool.starting == 0) pool_spawn();
    if (g_conns >= SRV_MAX_CONNECTIONS || !peer_take(peer.sin_addr.s_addr)) {
        close(fd);
        return ACCEPT_SERVED;
    }
    g_conns++;
    conn_arg a{fd, peer};
    if (req) {
        serve_conn(a, g_pool.st, req);
    } else {
        close(fd);
        peer_release(peer.sin_addr.s_addr);
        g_conns--;
    }
    return ACCEPT_SERVED;
}

void worker_thread() {
    std::unique_ptr<http_request> req(new (std::nothrow) http_request);
    bool first = true;
    while (g_running) {
        accept_result r = accept_serve(req.get(), first);
        first = false;
        if (r == ACCEPT_STOP) break;
        if (!req) req.reset(new (std::nothrow) http_request);
        if (r == ACCEPT_IDLE) {
            std::lock_guard<std::mutex> lk(g_pool.mu);
            if (g_pool.workers > SRV_SPARE_WORKERS) {
                g_pool.workers--;
                g_pool.cv.notify_all();
                return;
            }
        }
    }
    req.reset();
    std::lock_guard<std::mutex> lk(g_pool.mu);
    g_pool.workers--;
    g_pool.cv.notify_all();  // the stop waits for the last one
}

// One more worker, unless the connection limit is reached; false when
// no thread could be started.
bool pool_spawn() {
    std::lock_guard<std::mutex> lk(g_pool.mu);
    if (g_pool.workers > SRV_MAX_CONNECTIONS) return true;
    g_pool.starting++;
    try {
        std::thread(worker_thread).detach();
        g_pool.workers++;
        return true;
    } catch (...) {
        g_pool.starting--;
        return false;
    }
}

bool pool_start(int ls, srv_state *st) {
    g_pool.ls = ls;
    g_pool.st = st;
    // A worker's accept returns after this long without connections, so
    // that spare workers can leave.
    timeval idle{SRV_WORKER_IDLE_S, 0};
    setsockopt(ls, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    for (int i = 0; i < SRV_SPARE_WORKERS; i++)
        if (!pool_spawn()) return false;
    return true;
}

// Wakes the workers waiting in accept and lets the others finish their
// connections; true when all are gone within `ms`.
bool pool_stop(int ms) {
    shutdown(g_pool.ls, SHUT_RDWR);
    std::unique_lock<std::mutex> lk(g_pool.mu);
    return g_pool.cv.wait_for(lk, std::chrono::milliseconds(ms),
                              [] { return g_pool.workers == 0; });
}

// Newest .htm/.html below dir (at most 8 levels), names starting with a dot
// skipped.
void newest_html(const std::string &root, const std::string &rel, int level, time_t *best,
                 std::string *best_rel) {
    if (level > 8) return;
    std::string dir = rel.empty() ? root : root + "/" + rel;
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::string r = rel.empty() ? std::string(e->d_name) : rel + "/" + e->d_name;
        std::string full = root + "/" + r;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            newest_html(root, r, level + 1, best, best_rel);
        } else if (S_ISREG(st.st_mode) &&
                   (zq_ends_with(e->d_name, ".html") || zq_ends_with(e->d_name, ".htm"))) {
            if (st.st_mtime > *best) {
                *best = st.st_mtime;
                *best_rel = r;
            }
        }
    }
    closedir(d);
}

void watch_thread(srv_state *st) {
    time_t prev = 0;
    int pass = 0;
    while (g_running) {
        for (int i = 0; i < 10 && g_running; i++)
            usleep(100000);
        if (!g_running) break;
        if (g_meta_reload.exchange(false)) {
            meta_load(&st->meta, st->cfg.eng_base_a, st->cfg.eng_base_d);
            log_msg("meta reloaded (SIGUSR1)");
        }
        time_t best = 0;
        std::string rel;
        newest_html(st->cfg.wwwdir, "", 1, &best, &rel);
        if (best != 0) {
            if (prev != 0 && best != prev) log_msg("wwwdir changed: %s", rel.c_str());
            prev = best;
        }
        if (!st->db.ok) srv_db_open(st, true);
        rt_autosync_tick(st);
        // Panels convert local time with a fixed offset: follow the
        // daylight-saving changes within a minute.
        if (++pass % 60 == 0 && tz_refresh())
            log_msg("UTC offset now %+d min", tz_offset_sec() / 60);
    }
}

// Channel metadata, operator action log, database, autosync list; prints
// the database messages of the start-up sequence.
void start_runtime(srv_state *st) {
    meta_load(&st->meta, st->cfg.eng_base_a, st->cfg.eng_base_d);
    ctrllog_init(st->cfg.logcontrolpath, st->cfg.logcontrol != 0);
    printf("SHM name: %s\n", st->cfg.shm_name);
    if (srv_db_open(st, false)) {
        printf("SHM opened: %s\n", st->cfg.shm_name);
    } else {
        fprintf(stderr, "SHM not ready yet (%s) — will retry\n", st->cfg.shm_name);
    }
    fflush(stdout);
    rt_autosync_load(st);
}

int listen_on(int port) {
    int ls = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ls < 0) {
        perror("socket");
        return -1;
    }
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons((uint16_t)port);
    if (bind(ls, (sockaddr *)&addr, sizeof addr) != 0) {
        perror("bind");
        close(ls);
        return -1;
    }
    if (listen(ls, 128) != 0) {
        perror("listen");
        close(ls);
        return -1;
    }
    return ls;
}

}  // namespace

int main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    const char *conf = "zqserver.conf";
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "-c") == 0) conf = argv[++i];

    // Lives to the end of the process: detached workers use it.
    static srv_state st;
    srv_config_load(&st.cfg, conf);
    srv_live_init(&st);
    zq_version_write_run("zqserver");
    mkdir(st.cfg.logcontrolpath, 0775);
    log_init(st.cfg.logcontrolpath, "scada");
    tzset();
    tz_refresh();

    start_runtime(&st);

    int ls = listen_on(st.cfg.port);
    if (ls < 0) return 1;
    printf("zqserver listening on :%d  (wwwdir=%s)\n", st.cfg.port, st.cfg.wwwdir);
    fflush(stdout);
    log_msg("zqserver %s", zq_version_full());
    log_msg("zqserver started on port %d (wwwdir=%s)", st.cfg.port, st.cfg.wwwdir);

    zq_signals_install(on_stop, on_usr1, ZQ_SIG_IGNORE_PIPE);

    std::thread watch(watch_thread, &st);
    if (!pool_start(ls, &st)) {
        fprintf(stderr, "zqserver: cannot start worker threads\n");
        g_running = false;
    }
    // Signals may land on any thread: look at the running flag now and then.
    while (g_running)
        usleep(100000);
    log_msg("shutting down");
    st.running = false;
    watch.join();
    // Workers still use the database mapping; give them a moment.
    bool all_gone = pool_stop(3000);
    close(ls);
    if (all_gone) {
        srv_db_close(&st);
        ctrllog_close();
        return 0;
    }
    // A client still holds a thread: leave without running destructors
    // under its feet.
    fflush(nullptr);
    _exit(0);
}

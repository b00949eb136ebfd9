// zqserver process: command line, start-up, the accept loop with one
// thread per connection, and the watch thread (database retry, metadata
// reload on SIGUSR1, page changes, autosync).

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
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
    srv_state *st;
};

void conn_thread(conn_arg *a) {
    timeval rt{0, 300000}, st{5, 0};
    setsockopt(a->fd, SOL_SOCKET, SO_RCVTIMEO, &rt, sizeof rt);
    setsockopt(a->fd, SOL_SOCKET, SO_SNDTIMEO, &st, sizeof st);
    http_request *req = new (std::nothrow) http_request;
    if (req) {
        // The client address is known before the body limit is decided.
        inet_ntop(AF_INET, &a->peer.sin_addr, req->client_ip, sizeof req->client_ip);
        if (http_read(a->fd, req, srv_body_limit, a->st) == 0) {
            srv_reply reply;
            srv_dispatch(a->st, req, &reply);
            reply.head_only = strcmp(req->method, "HEAD") == 0;
            srv_reply_write(a->fd, &reply);
        }
        delete req;
    }
    close(a->fd);
    peer_release(a->peer.sin_addr.s_addr);
    delete a;
    g_conns--;
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

void accept_one(int ls, srv_state *st) {
    sockaddr_in peer{};
    socklen_t pl = sizeof peer;
    int fd = accept4(ls, (sockaddr *)&peer, &pl, SOCK_CLOEXEC);
    if (fd < 0) {
        if (errno == EINTR || errno == EAGAIN) return;
        perror("accept");
        usleep(10000);
        return;
    }
    if (g_conns >= SRV_MAX_CONNECTIONS || !peer_take(peer.sin_addr.s_addr)) {
        close(fd);
        return;
    }
    conn_arg *a;
    while (!(a = new (std::nothrow) conn_arg))
        usleep(1000);
    a->fd = fd;
    a->peer = peer;
    a->st = st;
    g_conns++;
    try {
        std::thread(conn_thread, a).detach();
    } catch (...) {
        close(fd);
        peer_release(peer.sin_addr.s_addr);
        delete a;
        g_conns--;
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (zq_version_arg(argc, argv)) return 0;
    const char *conf = "zqserver.conf";
    for (int i = 1; i + 1 < argc; i++)
        if (strcmp(argv[i], "-c") == 0) conf = argv[++i];

    // Lives to the end of the process: detached connection threads use it.
    static srv_state st;
    srv_config_load(&st.cfg, conf);
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
    while (g_running) {
        // Signals may land on any thread, so the loop wakes up on its own to
        // see the running flag.
        pollfd pfd{ls, POLLIN, 0};
        if (poll(&pfd, 1, 200) > 0) accept_one(ls, &st);
    }
    log_msg("shutting down");
    st.running = false;
    close(ls);
    watch.join();
    // Connection threads still use the database mapping; give them a moment.
    for (int i = 0; i < 300 && g_conns > 0; i++)
        usleep(10000);
    if (g_conns == 0) {
        srv_db_close(&st);
        ctrllog_close();
        return 0;
    }
    // A client still holds a thread: leave without running destructors
    // under its feet.
    fflush(nullptr);
    _exit(0);
}

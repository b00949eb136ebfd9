// TCP side of the simulator: listener, one thread per client, the
// encapsulation layer, run-time faults and the control file.

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "common/parse_util.h"
#include "plc_driver/cip.h"
#include "plcsim.h"

namespace {

int64_t mono_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::mutex g_log_lock;

bool send_all(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= (size_t)r;
    }
    return true;
}

// Receives exactly n bytes, waking every 100 ms to notice stop requests.
// 1 = done, 0 = peer closed or error, -1 = asked to stop.
int recv_all(int fd, uint8_t *p, size_t n, const std::atomic<int> *stop, sim_state *st,
             uint32_t drop_gen) {
    size_t got = 0;
    while (got < n) {
        if (stop->load() || st->drop_all_gen.load() != drop_gen) return -1;
        pollfd pfd{fd, POLLIN, 0};
        int r = poll(&pfd, 1, 100);
        if (r < 0 && errno != EINTR) return 0;
        if (r <= 0) continue;
        ssize_t k = recv(fd, p + got, n - got, 0);
        if (k == 0) return 0;
        if (k < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return 0;
        }
        got += (size_t)k;
    }
    return 1;
}

void put_identity_item(sim_state *st, uint8_t *out, size_t *n) {
    // CPF: item count 1, item 0x0C.
    const sim_config &cfg = st->cfg;
    uint8_t body[128];
    size_t k = 0;
    eip_put16(body + k, 1);  // encapsulation protocol version
    k += 2;
    // Socket address, big-endian fields.
    sockaddr_in sa{};
    inet_pton(AF_INET, cfg.addr.c_str(), &sa.sin_addr);
    body[k++] = 0;
    body[k++] = AF_INET;
    body[k++] = (uint8_t)(cfg.port >> 8);
    body[k++] = (uint8_t)cfg.port;
    memcpy(body + k, &sa.sin_addr, 4);
    k += 4;
    memset(body + k, 0, 8);
    k += 8;
    eip_put16(body + k, 1);
    eip_put16(body + k + 2, 0x0E);
    eip_put16(body + k + 4, cfg.product_code);
    body[k + 6] = cfg.rev_major;
    body[k + 7] = cfg.rev_minor;
    eip_put16(body + k + 8, cfg.status);
    eip_put32(body + k + 10, cfg.serial);
    k += 14;
    size_t nl = cfg.product.size() > 32 ? 32 : cfg.product.size();
    body[k++] = (uint8_t)nl;
    memcpy(body + k, cfg.product.data(), nl);
    k += nl;
    body[k++] = 3;  // state: operational
    eip_put16(out, 1);
    eip_put16(out + 2, EIP_ITEM_LIST_IDENTITY);
    eip_put16(out + 4, (uint16_t)k);
    memcpy(out + 6, body, k);
    *n = 6 + k;
}

struct client_ctx {
    sim_state *st;
    std::atomic<int> *stop;
    int fd;
    std::string peer;
};

void client_thread(client_ctx cc) {
    sim_state *st = cc.st;
    st->connections++;
    sim_log("client %s connected", cc.peer.c_str());
    sim_client cl;
    cl.peer = cc.peer;
    uint32_t session = 0;
    int requests = 0;
    uint32_t fault_gen = st->faults.generation.load();
    uint32_t drop_gen = st->drop_all_gen.load();
    static std::atomic<uint32_t> next_session{0x1000};
    std::vector<uint8_t> in(EIP_HEADER_SIZE + 65535);
    std::vector<uint8_t> out(EIP_HEADER_SIZE + 65535);
    const char *why = "closed the connection";

    for (;;) {
        uint8_t *h = in.data();
        int r = recv_all(cc.fd, h, EIP_HEADER_SIZE, cc.stop, st, drop_gen);
        if (r <= 0) {
            if (r < 0) why = "dropped";
            break;
        }
        uint16_t cmd = eip_get16(h);
        size_t len = eip_get16(h + 2);
        uint32_t handle = eip_get32(h + 4);
        if (len > 0 &&
            (r = recv_all(cc.fd, h + EIP_HEADER_SIZE, len, cc.stop, st, drop_gen)) <= 0) {
            if (r < 0) why = "dropped";
            break;
        }
        const uint8_t *d = h + EIP_HEADER_SIZE;

        if (st->faults.generation.load() != fault_gen) {
            fault_gen = st->faults.generation.load();
            requests = 0;
        }
        int drop = st->faults.drop_after.load();
        if (drop >= 0 && (cmd == EIP_CMD_SEND_RR_DATA || cmd == EIP_CMD_SEND_UNIT_DATA)) {
            if (requests >= drop) {
                why = "dropped by fault injection";
                break;
            }
            requests++;
        }
        int delay = st->faults.delay_ms.load();
        if (delay > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay));

        uint8_t *o = out.data();
        memcpy(o, h, EIP_HEADER_SIZE);  // command, handle, context and options echoed
        size_t olen = 0;
        uint32_t status = 0;
        bool reply = true;
        switch (cmd) {
            case EIP_CMD_NOP:
                reply = false;
                break;
            case EIP_CMD_REGISTER_SESSION:
                if (len != 4) {
                    status = EIP_STATUS_INVALID_LENGTH;
                } else if (eip_get16(d) != 1 || eip_get16(d + 2) != 0) {
                    status = EIP_STATUS_UNSUPPORTED_PROTOCOL;
                    memcpy(o + EIP_HEADER_SIZE, d, 4);
                    olen = 4;
                } else if (session != 0) {
                    status = EIP_STATUS_INVALID_COMMAND;
                } else {
                    session = next_session.fetch_add(0x11);
                    eip_put32(o + 4, session);
                    memcpy(o + EIP_HEADER_SIZE, d, 4);
                    olen = 4;
                    sim_log("client %s: session 0x%08X registered", cc.peer.c_str(), session);
                }
                break;
            case EIP_CMD_UNREGISTER_SESSION:
                why = "unregistered the session";
                goto done;
            case EIP_CMD_LIST_IDENTITY:
                put_identity_item(st, o + EIP_HEADER_SIZE, &olen);
                break;
            case EIP_CMD_LIST_SERVICES: {
                uint8_t *p = o + EIP_HEADER_SIZE;
                eip_put16(p, 1);
                eip_put16(p + 2, 0x0100);
                eip_put16(p + 4, 20);
                eip_put16(p + 6, 1);
                eip_put16(p + 8, 0x0120);
                memset(p + 10, 0, 16);
                memcpy(p + 10, "Communications", 14);
                olen = 26;
                break;
            }
            case EIP_CMD_SEND_RR_DATA:
            case EIP_CMD_SEND_UNIT_DATA: {
                if (session == 0 || handle != session) {
                    status = EIP_STATUS_INVALID_SESSION;
                    sim_log("refused %s from %s: session handle 0x%08X",
                            cmd == EIP_CMD_SEND_RR_DATA ? "SendRRData" : "SendUnitData",
                            cc.peer.c_str(), handle);
                    break;
                }
                // Common Packet Format: interface handle, timeout, two items.
                if (len < 8 || eip_get16(d + 6) != 2) {
                    status = EIP_STATUS_INCORRECT_DATA;
                    break;
                }
                size_t p1 = 8;
                if (p1 + 4 > len) {
                    status = EIP_STATUS_INCORRECT_DATA;
                    break;
                }
                uint16_t t1 = eip_get16(d + p1), l1 = eip_get16(d + p1 + 2);
                size_t p2 = p1 + 4 + l1;
                if (p2 + 4 > len) {
                    status = EIP_STATUS_INCORRECT_DATA;
                    break;
                }
                uint16_t t2 = eip_get16(d + p2), l2 = eip_get16(d + p2 + 2);
                if (p2 + 4 + l2 > len) {
                    status = EIP_STATUS_INVALID_LENGTH;
                    break;
                }
                const uint8_t *cip = d + p2 + 4;
                uint8_t *po = o + EIP_HEADER_SIZE;
                memset(po, 0, 8);
                eip_put16(po + 6, 2);
                if (cmd == EIP_CMD_SEND_RR_DATA) {
                    if (t1 != EIP_ITEM_NULL_ADDRESS || t2 != EIP_ITEM_UNCONNECTED_DATA) {
                        status = EIP_STATUS_INCORRECT_DATA;
                        break;
                    }
                    eip_put16(po + 8, EIP_ITEM_NULL_ADDRESS);
                    eip_put16(po + 10, 0);
                    eip_put16(po + 12, EIP_ITEM_UNCONNECTED_DATA);
                    size_t n = sim_cip_handle(st, &cl, cip, l2, po + 16, SIM_UCMM_REPLY_MAX, false);
                    eip_put16(po + 14, (uint16_t)n);
                    olen = 16 + n;
                } else {
                    if (t1 != EIP_ITEM_CONNECTED_ADDRESS || l1 != 4 ||
                        t2 != EIP_ITEM_CONNECTED_DATA || l2 < 2) {
                        status = EIP_STATUS_INCORRECT_DATA;
                        break;
                    }
                    uint32_t id = eip_get32(d + p1 + 4);
                    sim_conn *conn = nullptr;
                    for (auto &k : cl.conns)
                        if (k.ot_id == id) conn = &k;
                    if (conn == nullptr) {
                        status = EIP_STATUS_INCORRECT_DATA;
                        sim_log("refused SendUnitData from %s: unknown connection 0x%08X",
                                cc.peer.c_str(), id);
                        break;
                    }
                    uint16_t seq = eip_get16(cip);
                    eip_put16(po + 8, EIP_ITEM_CONNECTED_ADDRESS);
                    eip_put16(po + 10, 4);
                    eip_put32(po + 12, conn->to_id);
                    eip_put16(po + 16, EIP_ITEM_CONNECTED_DATA);
                    eip_put16(po + 20, seq);
                    size_t n;
                    if ((int32_t)seq == conn->last_seq && !conn->last_reply.empty()) {
                        // A repeated sequence count is a retransmission: answer it
                        // again without running the request twice.
                        n = conn->last_reply.size();
                        memcpy(po + 22, conn->last_reply.data(), n);
                    } else if (l2 > conn->ot_size) {
                        // Longer than the connection carries: the controller
                        // answers "too much data" and runs nothing.
                        uint8_t *r = po + 22;
                        r[0] = (uint8_t)((l2 > 2 ? cip[2] : 0) | 0x80);
                        r[1] = 0;
                        r[2] = CIP_STATUS_TOO_MUCH_DATA;
                        r[3] = 0;
                        n = 4;
                        sim_log("refused request of %u bytes on connection 0x%08X (size %u)",
                                (unsigned)(l2 - 2u), conn->ot_id, conn->ot_size);
                    } else {
                        size_t limit = conn->size > 2 ? conn->size - 2 : 0;
                        // The handler may drop this very connection (Forward Close
                        // sent connected), so copy what is needed first.
                        sim_conn copy = *conn;
                        n = sim_cip_handle(st, &cl, cip + 2, l2 - 2u, po + 22, limit, true);
                        for (auto &k : cl.conns) {
                            if (k.ot_id == copy.ot_id) {
                                k.last_seq = seq;
                                k.last_reply.assign(po + 22, po + 22 + n);
                            }
                        }
                    }
                    eip_put16(po + 18, (uint16_t)(n + 2));
                    olen = 22 + n;
                }
                break;
            }
            default:
                status = EIP_STATUS_INVALID_COMMAND;
                sim_log("refused command 0x%04X from %s: invalid command", cmd, cc.peer.c_str());
                break;
        }
        if (!reply) continue;
        eip_put16(o + 2, (uint16_t)olen);
        eip_put32(o + 8, status);
        if (!send_all(cc.fd, o, EIP_HEADER_SIZE + olen)) {
            why = "send failed";
            break;
        }
    }
done:
    close(cc.fd);
    st->connections--;
    sim_log("client %s %s", cc.peer.c_str(), why);
}

int open_listener(const sim_config &cfg) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)cfg.port);
    if (inet_pton(AF_INET, cfg.addr.c_str(), &a.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        int e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

void control_poll(sim_state *st) {
    if (st->cfg.control_path.empty()) return;
    std::string text;
    if (zq_read_file(st->cfg.control_path.c_str(), &text) != 0) return;
    std::istringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        std::string err;
        if (sim_control_apply(st, line.c_str(), &err) != 0) sim_log("control: %s", err.c_str());
    }
    // Consumed, like every request file; removed only now so that a writer
    // waiting for it to vanish knows the commands are in effect.
    unlink(st->cfg.control_path.c_str());
}

std::atomic<int> g_control_signal{0};

}  // namespace

void sim_log(const char *fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    time_t t = time(nullptr);
    tm lt;
    localtime_r(&t, &lt);
    std::lock_guard<std::mutex> g(g_log_lock);
    printf("[%02d:%02d:%02d] %s\n", lt.tm_hour, lt.tm_min, lt.tm_sec, buf);
    fflush(stdout);
}

int64_t sim_now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void sim_control_signal() {
    g_control_signal = 1;
}

int sim_control_apply(sim_state *st, const char *text, std::string *err) {
    std::istringstream in(text);
    std::string cmd;
    in >> cmd;
    if (cmd.empty() || cmd[0] == '#') return 0;
    auto bump = [&] { st->faults.generation++; };
    long v = 0;
    if (cmd == "drop_after" || cmd == "delay_ms" || cmd == "refuse_forward_open" ||
        cmd == "refuse_large_forward_open" || cmd == "zero_conn_ids" || cmd == "close_listen" ||
        cmd == "refuse_reads" || cmd == "refuse_multi" || cmd == "refuse_symbol_types" ||
        cmd == "clock_skew_ms" || cmd == "refuse_clock_set" || cmd == "trace_reads") {
        if (!(in >> v)) {
            *err = "'" + cmd + "' needs a number";
            return -1;
        }
    }
    if (cmd == "drop_after") {
        st->faults.drop_after = (int)v;
    } else if (cmd == "delay_ms") {
        st->faults.delay_ms = (int)(v < 0 ? 0 : v);
    } else if (cmd == "refuse_forward_open") {
        st->faults.refuse_forward_open = v != 0;
    } else if (cmd == "refuse_large_forward_open") {
        st->faults.refuse_large_forward_open = v != 0;
    } else if (cmd == "zero_conn_ids") {
        st->faults.zero_conn_ids = v != 0;
    } else if (cmd == "refuse_reads") {
        st->faults.refuse_reads = (int)(v < 0 || v > 0xFF ? 0 : v);
    } else if (cmd == "refuse_multi") {
        st->faults.refuse_multi = (int)(v < 0 || v > 0xFF ? 0 : v);
    } else if (cmd == "refuse_symbol_types") {
        st->faults.refuse_symbol_types = v != 0;
    } else if (cmd == "clock_skew_ms") {
        st->faults.clock_skew_ms = (int)v;
    } else if (cmd == "refuse_clock_set") {
        st->faults.clock_sets_left = (int)(v < 0 ? -1 : v);
    } else if (cmd == "trace_reads") {
        st->faults.trace_reads = v != 0;
    } else if (cmd == "close_listen") {
        st->listen_closed_until_ms = mono_ms() + (v < 0 ? 0 : v);
    } else if (cmd == "drop_all") {
        st->drop_all_gen++;
    } else if (cmd == "download") {
        std::lock_guard<std::mutex> g(st->lock);
        st->attr_change++;
    } else if (cmd == "clear") {
        st->faults.drop_after = -1;
        st->faults.delay_ms = 0;
        st->faults.refuse_forward_open = 0;
        st->faults.refuse_large_forward_open = 0;
        st->faults.zero_conn_ids = 0;
        st->faults.refuse_reads = 0;
        st->faults.refuse_multi = 0;
        st->faults.refuse_symbol_types = 0;
        st->faults.clock_skew_ms = 0;
        st->faults.clock_sets_left = -1;
    } else if (cmd == "set") {
        std::string target;
        double value;
        if (!(in >> target >> value)) {
            *err = "usage: set NAME[INDEX] VALUE";
            return -1;
        }
        uint32_t index = 0;
        size_t lb = target.find('[');
        if (lb != std::string::npos) {
            index = (uint32_t)strtoul(target.c_str() + lb + 1, nullptr, 10);
            target.resize(lb);
        }
        std::lock_guard<std::mutex> g(st->lock);
        sim_tag *t = sim_find_tag(st, target);
        if (t == nullptr) {
            *err = "set: no tag " + target;
            return -1;
        }
        if (sim_tag_set(t, index, value) != 0) {
            *err = "set: index out of range for " + target;
            return -1;
        }
        sim_log("control: %s", text);
        return 0;
    } else {
        *err = "unknown command '" + cmd + "'";
        return -1;
    }
    bump();
    sim_log("control: %s", text);
    return 0;
}

int sim_run(sim_state *st, std::atomic<int> *stop) {
    int lfd = open_listener(st->cfg);
    if (lfd < 0) {
        fprintf(stderr, "zqplcsim: cannot listen on %s:%d: %s\n", st->cfg.addr.c_str(),
                st->cfg.port, strerror(errno));
        return -1;
    }
    printf("listening on %s:%d\n", st->cfg.addr.c_str(), st->cfg.port);
    fflush(stdout);

    std::thread ticker([st, stop] {
        auto t0 = std::chrono::steady_clock::now();
        double last = 0;
        int64_t next_control = 0;
        while (!stop->load()) {
            double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
            {
                std::lock_guard<std::mutex> g(st->lock);
                sim_signals_step(&st->tags, t, t - last);
            }
            last = t;
            if (g_control_signal.exchange(0) || mono_ms() >= next_control) {
                control_poll(st);
                next_control = mono_ms() + 50;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    while (!stop->load()) {
        int64_t closed_until = st->listen_closed_until_ms.load();
        if (closed_until != 0) {
            if (lfd >= 0) {
                close(lfd);
                lfd = -1;
                sim_log("listening socket closed");
            }
            if (mono_ms() < closed_until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            st->listen_closed_until_ms.compare_exchange_strong(closed_until, 0);
            lfd = open_listener(st->cfg);
            if (lfd < 0) {
                sim_log("cannot listen again: %s", strerror(errno));
                st->listen_closed_until_ms = mono_ms() + 500;
                continue;
            }
            sim_log("listening on %s:%d again", st->cfg.addr.c_str(), st->cfg.port);
        }
        pollfd pfd{lfd, POLLIN, 0};
        int r = poll(&pfd, 1, 100);
        if (r <= 0) continue;
        sockaddr_in peer{};
        socklen_t pl = sizeof peer;
        int fd = accept(lfd, reinterpret_cast<sockaddr *>(&peer), &pl);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char ip[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
        std::string name = std::string(ip) + ":" + std::to_string(ntohs(peer.sin_port));
        std::thread(client_thread, client_ctx{st, stop, fd, name}).detach();
    }
    if (lfd >= 0) close(lfd);
    ticker.join();
    // Let client threads notice the stop (they poll every 100 ms).
    for (int i = 0; i < 50 && st->connections.load() > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return 0;
}

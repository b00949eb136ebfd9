#include "eip.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "common/log.h"

namespace {

constexpr int kConnectTimeoutMs = 3000;
constexpr int kIoTimeoutMs = 5000;

void close_quietly(int fd) {
    if (fd >= 0) close(fd);
}

int64_t mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Waits until fd is ready for `events` or the deadline passed. A signal
// (a handled one, or a stop and continue) only resumes the wait; once the
// deadline passed one last look is taken, since a process that was stopped
// finds the answer already waiting. -1 with errno ETIMEDOUT or the error.
int wait_ready(int fd, short events, int64_t deadline) {
    for (;;) {
        int64_t left = deadline - mono_ms();
        pollfd pfd{fd, events, 0};
        int r = poll(&pfd, 1, left > 0 ? (int)left : 0);
        if (r > 0) return 0;
        if (r == 0) {
            if (left > 0) continue;  // woke early: the clock says there is time left
            errno = ETIMEDOUT;
            return -1;
        }
        if (errno != EINTR) return -1;
    }
}

int read_all_until(int sock, uint8_t *p, size_t n, int64_t deadline) {
    size_t got = 0;
    while (got < n) {
        if (wait_ready(sock, POLLIN, deadline) != 0) return -1;
        ssize_t r = recv(sock, p + got, n - got, MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (r <= 0) {
            if (r == 0) errno = ECONNRESET;
            return -1;
        }
        got += (size_t)r;
    }
    return 0;
}

int send_all_until(int sock, const uint8_t *p, size_t n, int64_t deadline) {
    size_t sent = 0;
    while (sent < n) {
        if (wait_ready(sock, POLLOUT, deadline) != 0) return -1;
        ssize_t r = send(sock, p + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (r <= 0) {
            if (r == 0) errno = EPIPE;
            return -1;
        }
        sent += (size_t)r;
    }
    return 0;
}

}  // namespace

int eip_sock_read_all(int sock, void *buffer, size_t n) {
    return read_all_until(sock, static_cast<uint8_t *>(buffer), n, mono_ms() + kIoTimeoutMs);
}

namespace {

int send_request(eip_session *s, const uint8_t *request, size_t request_len, int64_t deadline) {
    s->requests++;
    if (send_all_until(s->sock, request, request_len, deadline) != 0) {
        s->errors++;
        log_err("EIP: помилка передачі: %s", strerror(errno));
        return -1;
    }
    return 0;
}

int recv_reply_inner(eip_session *s, uint8_t *reply, size_t *reply_len, int64_t deadline) {
    uint8_t header[EIP_HEADER_SIZE];
    if (read_all_until(s->sock, header, sizeof header, deadline) != 0) {
        log_err("EIP: помилка отримання заголовка: %s", strerror(errno));
        return -1;
    }
    uint32_t len = eip_get16(header + 2);
    if (EIP_HEADER_SIZE + len > *reply_len) {
        log_err("EIP: відповідь занадто велика: %u байт", len);
        return -1;
    }
    memcpy(reply, header, sizeof header);
    if (len > 0 && read_all_until(s->sock, reply + EIP_HEADER_SIZE, len, deadline) != 0) {
        log_err("EIP: помилка отримання даних: %s", strerror(errno));
        return -1;
    }
    uint32_t status = eip_get32(header + 8);
    if (status != 0) {
        log_err("EIP: статус помилки: 0x%08X", status);
        return -1;
    }
    *reply_len = EIP_HEADER_SIZE + len;
    return 0;
}

int recv_reply(eip_session *s, uint8_t *reply, size_t *reply_len, int64_t deadline) {
    int rc = recv_reply_inner(s, reply, reply_len, deadline);
    if (rc != 0) s->errors++;
    return rc;
}

}  // namespace

int eip_transact(eip_session *s, const uint8_t *request, size_t request_len, uint8_t *reply,
                 size_t *reply_len) {
    // One deadline for the whole exchange, however often a signal cuts in.
    int64_t deadline = mono_ms() + kIoTimeoutMs;
    if (send_request(s, request, request_len, deadline) != 0) return -1;
    return recv_reply(s, reply, reply_len, deadline);
}

int eip_connect(eip_session *s, const char *ip, int port, uint32_t slot) {
    *s = eip_session{};
    s->slot = slot;

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        log_err("socket: %s", strerror(errno));
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons((uint16_t)port);
    if (ip == nullptr || inet_pton(AF_INET, ip, &addr.sin_addr) != 1) {
        log_err("невірна IP-адреса: %s", ip ? ip : "");
        close_quietly(fd);
        return -1;
    }

    int flags = fcntl(fd, F_GETFL, 0);
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            log_err("підключення до %s:%d: %s", ip, port, strerror(errno));
            close_quietly(fd);
            return -1;
        }
        int r = wait_ready(fd, POLLOUT, mono_ms() + kConnectTimeoutMs);
        if (r != 0 && errno == ETIMEDOUT) {
            log_err("підключення до %s:%d: %s", ip, port, "timeout");
            close_quietly(fd);
            return -1;
        }
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        if (r != 0) {
            soerr = errno;
        } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl) != 0) {
            soerr = errno;
        }
        if (soerr != 0) {
            log_err("підключення до %s:%d: %s", ip, port, strerror(soerr));
            close_quietly(fd);
            return -1;
        }
    }
    fcntl(fd, F_SETFL, flags);
    s->sock = fd;

    uint8_t req[28];
    eip_put_header(req, EIP_CMD_REGISTER_SESSION, 4, 0);
    eip_put16(req + 24, 1);  // protocol version
    eip_put16(req + 26, 0);  // option flags
    uint8_t reply[28];
    size_t reply_len = sizeof reply;
    if (eip_transact(s, req, sizeof req, reply, &reply_len) != 0) {
        close_quietly(fd);
        s->sock = -1;
        return -1;
    }
    s->session_handle = eip_get32(reply + 4);
    log_msg("Ethernet/IP сесія зареєстрована!");
    return 0;
}

void eip_disconnect(eip_session *s) {
    if (s->sock < 0) return;
    uint8_t req[EIP_HEADER_SIZE];
    eip_put_header(req, EIP_CMD_UNREGISTER_SESSION, 0, s->session_handle);
    (void)send(s->sock, req, sizeof req, MSG_NOSIGNAL | MSG_DONTWAIT);
    close(s->sock);
    s->sock = -1;
    s->session_handle = 0;
    s->cip_connected = 0;
}

int eip_send_rrdata(eip_session *s, const uint8_t *cip, size_t cip_len, uint8_t *out,
                    size_t *out_len) {
    if (16 + cip_len > EIP_DATA_MAX) {
        log_err("rrdata: запит завеликий");
        return -1;
    }
    uint8_t req[EIP_HEADER_SIZE + EIP_DATA_MAX];
    eip_put_header(req, EIP_CMD_SEND_RR_DATA, (uint16_t)(16 + cip_len), s->session_handle);
    uint8_t *d = req + EIP_HEADER_SIZE;
    memset(d, 0, 16);
    eip_put16(d + 6, 2);
    eip_put16(d + 8, EIP_ITEM_NULL_ADDRESS);
    eip_put16(d + 12, EIP_ITEM_UNCONNECTED_DATA);
    eip_put16(d + 14, (uint16_t)cip_len);
    if (cip_len) memcpy(d + 16, cip, cip_len);

    uint8_t reply[EIP_REPLY_MAX];
    size_t n = sizeof reply;
    if (eip_transact(s, req, EIP_HEADER_SIZE + 16 + cip_len, reply, &n) != 0) return -1;
    if (n < 40) {
        log_err("rrdata: відповідь занадто коротка (%zu байт)", n);
        return -1;
    }
    uint16_t type = eip_get16(reply + 36);
    if (type != EIP_ITEM_UNCONNECTED_DATA) {
        log_err("rrdata: несподіваний тип елемента 0x%04X", type);
        return -1;
    }
    uint32_t item_len = eip_get16(reply + 38);
    if (item_len > *out_len) {
        log_err("rrdata: CIP-відповідь занадто велика: %u байт", item_len);
        return -1;
    }
    if (n < 40 + (size_t)item_len) {
        log_err("rrdata: Item2 виходить за межі отриманого (%u)", item_len);
        return -1;
    }
    if (item_len) memcpy(out, reply + 40, item_len);
    *out_len = item_len;
    return 0;
}

int eip_unitdata_send(eip_session *s, const uint8_t *cip, size_t cip_len) {
    s->seq = (uint16_t)(s->seq + 1);
    if (22 + cip_len > EIP_DATA_MAX) {
        log_err("unitdata: запит занадто великий");
        return -1;
    }
    uint8_t req[EIP_HEADER_SIZE + EIP_DATA_MAX];
    eip_put_header(req, EIP_CMD_SEND_UNIT_DATA, (uint16_t)(22 + cip_len), s->session_handle);
    uint8_t *d = req + EIP_HEADER_SIZE;
    memset(d, 0, 22);
    eip_put16(d + 6, 2);
    eip_put16(d + 8, EIP_ITEM_CONNECTED_ADDRESS);
    eip_put16(d + 10, 4);
    eip_put32(d + 12, s->to_conn_id);
    eip_put16(d + 16, EIP_ITEM_CONNECTED_DATA);
    eip_put16(d + 18, (uint16_t)(cip_len + 2));
    eip_put16(d + 20, s->seq);
    if (cip_len) memcpy(d + 22, cip, cip_len);
    return send_request(s, req, EIP_HEADER_SIZE + 22 + cip_len, mono_ms() + kIoTimeoutMs);
}

int eip_unitdata_recv(eip_session *s, uint8_t *out, size_t *out_len) {
    uint8_t reply[EIP_REPLY_MAX];
    size_t n = sizeof reply;
    if (recv_reply(s, reply, &n, mono_ms() + kIoTimeoutMs) != 0) return -1;
    if (n < 46) {
        log_err("unitdata: відповідь занадто коротка (%zu байт)", n);
        return -1;
    }
    uint16_t type = eip_get16(reply + 40);
    if (type != EIP_ITEM_CONNECTED_DATA) {
        log_err("unitdata: несподіваний тип елемента 0x%04X", type);
        return -1;
    }
    uint32_t item_len = eip_get16(reply + 42);
    if (item_len < 2) {
        log_err("unitdata: Item2 len занадто мала (%u)", item_len);
        return -1;
    }
    uint32_t data_len = item_len - 2;
    if (data_len > *out_len) {
        log_err("unitdata: CIP-відповідь занадто велика: %u байт", data_len);
        return -1;
    }
    if (n < 46 + (size_t)data_len) {
        log_err("unitdata: CIP-дані виходять за межі отриманого (%u)", data_len);
        return -1;
    }
    if (data_len) memcpy(out, reply + 46, data_len);
    *out_len = data_len;
    return 0;
}

int eip_send_unitdata(eip_session *s, const uint8_t *cip, size_t cip_len, uint8_t *out,
                      size_t *out_len) {
    if (eip_unitdata_send(s, cip, cip_len) != 0) return -1;
    return eip_unitdata_recv(s, out, out_len);
}

#include "mq_conn.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "common/log.h"

namespace {

void set_timeouts(int fd, int ms) {
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

std::string ssl_errors() {
    std::string out;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char b[256];
        ERR_error_string_n(e, b, sizeof b);
        if (!out.empty()) out += "; ";
        out += b;
    }
    return out;
}

}  // namespace

bool mq_is_ip_literal(const char *host) {
    unsigned char b[16];
    return inet_pton(AF_INET, host, b) == 1 || inet_pton(AF_INET6, host, b) == 1;
}

int mq_tcp_connect(const char *host, int port, std::string *err) {
    struct addrinfo hints = {}, *res = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    char ps[16];
    snprintf(ps, sizeof ps, "%d", port);
    int rc = getaddrinfo(host, ps, &hints, &res);
    if (rc != 0 || !res) {
        *err = std::string("resolve: ") + gai_strerror(rc);
        return -1;
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *err = std::string("socket: ") + strerror(errno);
        freeaddrinfo(res);
        return -1;
    }
    rc = connect(fd, res->ai_addr, res->ai_addrlen);
    freeaddrinfo(res);
    if (rc != 0 && errno != EINPROGRESS) {
        *err = std::string("connect: ") + strerror(errno);
        close(fd);
        return -1;
    }
    if (rc != 0) {
        struct pollfd p = {fd, POLLOUT, 0};
        int n;
        do {
            n = poll(&p, 1, MQ_CONNECT_TIMEOUT_MS);
        } while (n < 0 && errno == EINTR);
        int soerr = 0;
        socklen_t sl = sizeof soerr;
        if (n <= 0) {
            *err = "connect: timeout";
            close(fd);
            return -1;
        }
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &soerr, &sl);
        if (soerr) {
            *err = std::string("connect: ") + strerror(soerr);
            close(fd);
            return -1;
        }
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_timeouts(fd, MQ_IO_TIMEOUT_MS);
    return fd;
}

SSL_CTX *mq_tls_context(const char *ca_file, bool insecure) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        log_err("mqtt: SSL_CTX_new failed");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    bool loaded = false;
    if (ca_file && *ca_file) {
        loaded = SSL_CTX_load_verify_locations(ctx, ca_file, nullptr) == 1;
        if (!loaded) {
            ERR_clear_error();
            log_err("mqtt: ca_file «%s» не завантажився — системні CA", ca_file);
        }
    }
    if (!loaded) SSL_CTX_set_default_verify_paths(ctx);
    if (insecure) {
        log_err("mqtt: TLS БЕЗ перевірки сертифіката (tls_insecure=1)");
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    } else {
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    }
    return ctx;
}

void mq_tls_context_free(SSL_CTX *ctx) {
    if (ctx) SSL_CTX_free(ctx);
}

int mq_tls_start(mq_conn *c, SSL_CTX *ctx, const char *host, bool insecure, std::string *err) {
    ERR_clear_error();
    c->ssl = SSL_new(ctx);
    if (!c->ssl || SSL_set_fd(c->ssl, c->fd) != 1) {
        *err = "SSL_new: " + ssl_errors();
        return -1;
    }
    bool ip = mq_is_ip_literal(host);
    if (!ip) SSL_set_tlsext_host_name(c->ssl, host);
    if (!insecure) {
        X509_VERIFY_PARAM *vp = SSL_get0_param(c->ssl);
        int ok = ip ? X509_VERIFY_PARAM_set1_ip_asc(vp, host) : SSL_set1_host(c->ssl, host);
        if (ok != 1) {
            *err = "host check set-up: " + ssl_errors();
            return -1;
        }
    }
    // The socket time-outs bound the handshake: a peer that never answers
    // (a plain listener) fails it after MQ_IO_TIMEOUT_MS.
    int rc = SSL_connect(c->ssl);
    if (rc != 1) {
        std::string why = ssl_errors();
        long vr = SSL_get_verify_result(c->ssl);
        if (vr != X509_V_OK)
            why += std::string(why.empty() ? "" : "; ") + X509_verify_cert_error_string(vr);
        if (why.empty()) {
            int se = SSL_get_error(c->ssl, rc);
            why = se == SSL_ERROR_SYSCALL && errno
                      ? strerror(errno)
                      : "handshake failed (error " + std::to_string(se) + ")";
        }
        *err = why;
        return -1;
    }
    return 0;
}

std::string mq_tls_describe(const mq_conn *c) {
    if (!c->ssl) return "";
    const char *cipher = SSL_get_cipher_name(c->ssl);
    return std::string(SSL_get_version(c->ssl)) + ", шифр " + (cipher ? cipher : "?");
}

int mq_conn_send(mq_conn *c, const void *data, size_t len) {
    const char *p = (const char *)data;
    while (len > 0) {
        long n;
        if (c->ssl) {
            size_t chunk = len > 1 << 30 ? 1 << 30 : len;
            n = SSL_write(c->ssl, p, (int)chunk);
            if (n <= 0) {
                ERR_clear_error();
                return -1;
            }
        } else {
            n = send(c->fd, p, len, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return -1;
        }
        p += n;
        len -= (size_t)n;
    }
    return 0;
}

long mq_conn_recv(mq_conn *c, void *buf, size_t cap) {
    if (c->ssl) {
        int n = SSL_read(c->ssl, buf, cap > 1 << 30 ? 1 << 30 : (int)cap);
        if (n > 0) return n;
        int e = SSL_get_error(c->ssl, n);
        ERR_clear_error();
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -2;
        if (e == SSL_ERROR_ZERO_RETURN) return 0;
        if (e == SSL_ERROR_SYSCALL && errno == 0) return 0;
        return -1;
    }
    for (;;) {
        ssize_t n = recv(c->fd, buf, cap, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -2;
        return -1;
    }
}

bool mq_conn_wait(mq_conn *c, int timeout_ms) {
    if (c->ssl && SSL_pending(c->ssl) > 0) return true;
    struct pollfd p = {c->fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

void mq_conn_close(mq_conn *c) {
    if (c->ssl) {
        SSL_free(c->ssl);
        c->ssl = nullptr;
    }
    if (c->fd >= 0) close(c->fd);
    c->fd = -1;
}

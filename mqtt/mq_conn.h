#pragma once
// The byte stream to the broker: an IPv4 TCP socket, optionally wrapped in
// TLS. Every blocking call is bounded by socket time-outs, so a broker that
// stops reading or answering ends in an error rather than a frozen loop.
#include <stddef.h>

#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

// Bound on every blocking send, receive and the TLS handshake.
constexpr int MQ_IO_TIMEOUT_MS = 5000;
constexpr int MQ_CONNECT_TIMEOUT_MS = 3000;

struct mq_conn {
    int fd = -1;
    SSL *ssl = nullptr;
};

// Resolves host for IPv4 (as the rest of the stack, so "localhost" is
// 127.0.0.1) and connects within MQ_CONNECT_TIMEOUT_MS. The socket then
// blocks, with send and receive time-outs. fd or -1 with *err set.
int mq_tcp_connect(const char *host, int port, std::string *err);

// The client context, TLS 1.2 at least. With a ca_file that cannot be
// loaded, or without one, the system's default CA locations are used.
// insecure turns certificate checking off (with a warning in the log).
// nullptr when the library cannot make a context (logged).
SSL_CTX *mq_tls_context(const char *ca_file, bool insecure);
void mq_tls_context_free(SSL_CTX *ctx);

// Handshake on c->fd. The server's name (or IP address) is checked against
// its certificate unless insecure; SNI is sent for names, never for IP
// literals. 0, or -1 with *err set to the library's reason.
int mq_tls_start(mq_conn *c, SSL_CTX *ctx, const char *host, bool insecure, std::string *err);
// "TLSv1.3, шифр TLS_AES_256_GCM_SHA384" style description of the session.
std::string mq_tls_describe(const mq_conn *c);

// All bytes or -1 (peer gone, time-out).
int mq_conn_send(mq_conn *c, const void *data, size_t len);
// > 0 bytes read, 0 the peer closed, -1 an error, -2 nothing to read now.
long mq_conn_recv(mq_conn *c, void *buf, size_t cap);
// Waits up to timeout_ms for input; true when there is some (TLS data
// already decrypted counts).
bool mq_conn_wait(mq_conn *c, int timeout_ms);
void mq_conn_close(mq_conn *c);

// True for a dotted IPv4 literal (or an IPv6 one).
bool mq_is_ip_literal(const char *host);

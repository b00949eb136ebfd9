#include "tests/support/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <ctime>

#include "tests/support/wait.h"

namespace tsup {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    return a;
}

}  // namespace

// Below the kernel's ephemeral range (32768..60999): a port picked there can
// be taken meanwhile as the local end of another test's outgoing connection,
// and the server under test then fails to bind.
int free_port() {
    static std::atomic<unsigned> seq{0};
    unsigned seed = unsigned(getpid()) * 7919u + unsigned(time(nullptr));
    for (int attempt = 0; attempt < 500; attempt++) {
        unsigned n = seed + 104729u * (seq++);
        int port = 20000 + int(n % 12000u);
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) continue;
        sockaddr_in a = loopback(port);
        bool ok = bind(s, (sockaddr *)&a, sizeof a) == 0;
        close(s);
        if (ok) return port;
    }
    return 0;
}

int tcp_listen(int *port, int backlog) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a = loopback(*port);
    socklen_t l = sizeof a;
    if (bind(s, (sockaddr *)&a, sizeof a) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, (sockaddr *)&a, &l) != 0) {
        close(s);
        return -1;
    }
    *port = ntohs(a.sin_port);
    return s;
}

int tcp_connect(int port, const std::string &host) {
    sockaddr_in a = loopback(port);
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) return -1;
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    if (connect(s, (sockaddr *)&a, sizeof a) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool send_all(int fd, const void *data, size_t n) {
    const char *p = static_cast<const char *>(data);
    size_t off = 0;
    while (off < n) {
        ssize_t r = send(fd, p + off, n - off, MSG_NOSIGNAL);
        if (r <= 0) return false;
        off += size_t(r);
    }
    return true;
}

bool send_all(int fd, const std::string &data) {
    return send_all(fd, data.data(), data.size());
}

bool recv_n(int fd, void *out, size_t n, int timeout_ms) {
    char *p = static_cast<char *>(out);
    size_t got = 0;
    while (got < n) {
        pollfd pfd{fd, POLLIN, 0};
        if (poll(&pfd, 1, timeout_ms) <= 0) return false;
        ssize_t r = recv(fd, p + got, n - got, 0);
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

std::string recv_until_close(int fd, int timeout_ms) {
    std::string out;
    long long end = now_ms() + timeout_ms;
    char buf[65536];
    while (now_ms() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, size_t(n));
    }
    return out;
}

}  // namespace tsup

// A loopback TCP port for a server under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <ctime>

// Below the kernel's ephemeral range (32768..60999): a port picked there can
// be taken meanwhile as the local end of another test's outgoing connection,
// and the server under test then fails to bind.
inline int test_free_port() {
    static std::atomic<unsigned> seq{0};
    unsigned seed = unsigned(getpid()) * 7919u + unsigned(time(nullptr));
    for (int attempt = 0; attempt < 500; attempt++) {
        unsigned n = seed + 104729u * (seq++);
        int port = 20000 + int(n % 12000u);
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0) continue;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        bool ok = bind(s, (sockaddr *)&a, sizeof a) == 0;
        close(s);
        if (ok) return port;
    }
    return 0;
}

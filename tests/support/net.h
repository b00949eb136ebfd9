// Loopback TCP for servers under test and for fake peers.
#pragma once

#include <cstddef>
#include <string>

namespace tsup {

// A loopback port nobody listens on now, for a server the test starts; 0
// when none was found.
int free_port();

// A listening socket on 127.0.0.1 at *port, or at a port the kernel picks
// when *port is 0 (stored in *port); -1 on failure.
int tcp_listen(int *port, int backlog = 4);

// A connected socket, -1 when the connection was refused.
int tcp_connect(int port, const std::string &host = "127.0.0.1");

bool send_all(int fd, const void *data, size_t n);
bool send_all(int fd, const std::string &data);

// Exactly n bytes; false on end of stream, error, or timeout_ms without data.
bool recv_n(int fd, void *out, size_t n, int timeout_ms);

// Everything until the peer closes or timeout_ms pass.
std::string recv_until_close(int fd, int timeout_ms);

}  // namespace tsup

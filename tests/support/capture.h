#pragma once
// Wire captures for protocol checks by an independent dissector: a relay
// records one TCP connection on loopback, and the recorded chunks are
// written as a pcap file with synthesised Ethernet/IPv4/TCP framing that
// tshark reads.

#include <stdint.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tsup {

struct tcp_chunk {
    bool to_server;
    std::vector<uint8_t> data;
};

// Accepts one connection on `port` and relays it to host:target_port,
// keeping every chunk in the order it passed.
struct capture_relay {
    int lfd = -1;
    int port = 0;
    int target_port;
    std::string host;
    std::thread th;
    std::mutex lock;
    std::vector<tcp_chunk> chunks;

    explicit capture_relay(int target_port, std::string host = "127.0.0.1");
    ~capture_relay();
    // Stops listening and waits until the relayed connection has ended.
    void finish();
    std::vector<tcp_chunk> recorded();

  private:
    void run();
};

// Writes the chunks as one connection 10.0.0.1:50000 -> 10.0.0.2:server_port
// with handshake and closing; false when the file cannot be written.
bool pcap_write_tcp(const std::string &path, const std::vector<tcp_chunk> &chunks, int server_port);

}  // namespace tsup

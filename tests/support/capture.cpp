#include "tests/support/capture.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/support/net.h"

namespace tsup {

capture_relay::capture_relay(int target, std::string h) : target_port(target), host(std::move(h)) {
    lfd = tcp_listen(&port, 1);
    th = std::thread([this] { run(); });
}

capture_relay::~capture_relay() {
    finish();
}

void capture_relay::finish() {
    if (lfd >= 0) {
        shutdown(lfd, SHUT_RDWR);
        close(lfd);
        lfd = -1;
    }
    if (th.joinable()) th.join();
}

std::vector<tcp_chunk> capture_relay::recorded() {
    std::lock_guard<std::mutex> g(lock);
    return chunks;
}

void capture_relay::run() {
    int c = accept(lfd, nullptr, nullptr);
    if (c < 0) return;
    int s = tcp_connect(target_port, host);
    if (s < 0) {
        close(c);
        return;
    }
    pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
    uint8_t buf[65536];
    bool done = false;
    while (!done && poll(p, 2, 20000) > 0) {
        for (int i = 0; i < 2 && !done; i++) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
            if (n <= 0) {
                done = true;
                break;
            }
            {
                std::lock_guard<std::mutex> g(lock);
                chunks.push_back(tcp_chunk{i == 0, std::vector<uint8_t>(buf, buf + n)});
            }
            if (!send_all(p[1 - i].fd, buf, (size_t)n)) done = true;
        }
    }
    close(c);
    close(s);
}

namespace {

void be16(uint8_t *p, unsigned v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

void be32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (24 - 8 * i));
}

uint16_t ip_checksum(const uint8_t *p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += (uint32_t)(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += (uint32_t)(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

struct pcap_file {
    FILE *f;
    int server_port;
    uint32_t cseq = 1000, sseq = 5000;
    uint32_t usec = 0;

    void segment(bool to_server, uint8_t flags, const uint8_t *data, size_t n) {
        uint8_t fr[14 + 20 + 20 + 1500];
        memset(fr, 0, 54);
        uint8_t mac_c[6] = {2, 0, 0, 0, 0, 1}, mac_s[6] = {2, 0, 0, 0, 0, 2};
        memcpy(fr, to_server ? mac_s : mac_c, 6);
        memcpy(fr + 6, to_server ? mac_c : mac_s, 6);
        be16(fr + 12, 0x0800);
        uint8_t *ip = fr + 14;
        ip[0] = 0x45;
        be16(ip + 2, (unsigned)(40 + n));
        be16(ip + 6, 0x4000);
        ip[8] = 64;
        ip[9] = 6;
        uint8_t a_c[4] = {10, 0, 0, 1}, a_s[4] = {10, 0, 0, 2};
        memcpy(ip + 12, to_server ? a_c : a_s, 4);
        memcpy(ip + 16, to_server ? a_s : a_c, 4);
        be16(ip + 10, ip_checksum(ip, 20));
        uint8_t *tcp = ip + 20;
        be16(tcp, to_server ? 50000 : (unsigned)server_port);
        be16(tcp + 2, to_server ? (unsigned)server_port : 50000);
        uint32_t &seq = to_server ? cseq : sseq;
        uint32_t ack = to_server ? sseq : cseq;
        be32(tcp + 4, seq);
        be32(tcp + 8, (flags & 0x10) ? ack : 0);
        tcp[12] = 5 << 4;
        tcp[13] = flags;
        be16(tcp + 14, 65535);
        if (n) memcpy(tcp + 20, data, n);
        uint8_t pseudo[12];
        memcpy(pseudo, ip + 12, 8);
        pseudo[8] = 0;
        pseudo[9] = 6;
        be16(pseudo + 10, (unsigned)(20 + n));
        uint32_t sum = 0;
        for (int i = 0; i < 12; i += 2)
            sum += (uint32_t)(pseudo[i] << 8 | pseudo[i + 1]);
        be16(tcp + 16, ip_checksum(tcp, 20 + n, sum));
        seq += (uint32_t)n + ((flags & 0x03) ? 1 : 0);  // SYN and FIN count one
        usec += 1000;
        uint32_t rec[4] = {1700000000 + usec / 1000000, usec % 1000000, (uint32_t)(54 + n),
                           (uint32_t)(54 + n)};
        fwrite(rec, 4, 4, f);
        fwrite(fr, 1, 54 + n, f);
    }
};

}  // namespace

bool pcap_write_tcp(const std::string &path, const std::vector<tcp_chunk> &chunks,
                    int server_port) {
    pcap_file w{fopen(path.c_str(), "wb"), server_port};
    if (!w.f) return false;
    // Classic pcap header: magic, version 2.4, zone 0, accuracy 0, snap length, Ethernet.
    uint32_t h[6] = {0xa1b2c3d4, 2u | (4u << 16), 0, 0, 262144, 1};
    fwrite(h, 1, sizeof h, w.f);
    w.segment(true, 0x02, nullptr, 0);   // SYN
    w.segment(false, 0x12, nullptr, 0);  // SYN, ACK
    w.segment(true, 0x10, nullptr, 0);   // ACK
    for (const tcp_chunk &c : chunks)
        for (size_t off = 0; off < c.data.size(); off += 1460) {
            size_t n = std::min<size_t>(1460, c.data.size() - off);
            w.segment(c.to_server, 0x18, c.data.data() + off, n);  // PSH, ACK
        }
    w.segment(true, 0x11, nullptr, 0);   // FIN, ACK
    w.segment(false, 0x11, nullptr, 0);  // FIN, ACK
    w.segment(true, 0x10, nullptr, 0);
    return fclose(w.f) == 0;
}

}  // namespace tsup

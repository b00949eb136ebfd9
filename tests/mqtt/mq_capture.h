// Records one TCP connection through a loopback relay and writes it as a
// pcap file (synthesised Ethernet/IPv4/TCP, server port 1883) that tshark's
// MQTT dissector reads.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/net.h"

namespace mqt {

struct capture_relay {
    struct chunk {
        bool to_server;
        std::vector<uint8_t> data;
    };
    int lfd = -1, port = 0, target = 0;
    std::thread th;
    std::mutex lock;
    std::vector<chunk> chunks;

    explicit capture_relay(int target_port) : target(target_port) {
        lfd = tsup::tcp_listen(&port, 1);
        th = std::thread([this] { run(); });
    }
    ~capture_relay() { finish(); }
    void finish() {
        if (lfd >= 0) {
            shutdown(lfd, SHUT_RDWR);
            close(lfd);
            lfd = -1;
        }
        if (th.joinable()) th.join();
    }
    void run() {
        int c = accept(lfd, nullptr, nullptr);
        if (c < 0) return;
        int s = tsup::tcp_connect(target);
        pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
        uint8_t buf[65536];
        while (s >= 0 && poll(p, 2, 20000) > 0) {
            int i = (p[0].revents & (POLLIN | POLLHUP | POLLERR)) ? 0 : 1;
            ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            {
                std::lock_guard<std::mutex> g(lock);
                chunks.push_back({i == 0, std::vector<uint8_t>(buf, buf + n)});
            }
            if (!tsup::send_all(p[1 - i].fd, buf, (size_t)n)) break;
        }
        close(c);
        if (s >= 0) close(s);
    }

    static void be16(uint8_t *p, unsigned v) {
        p[0] = (uint8_t)(v >> 8);
        p[1] = (uint8_t)v;
    }
    static void be32(uint8_t *p, uint32_t v) {
        be16(p, v >> 16);
        be16(p + 2, v & 0xFFFF);
    }
    static uint16_t csum(const uint8_t *p, size_t n, uint32_t sum) {
        for (size_t i = 0; i + 1 < n; i += 2)
            sum += (uint32_t)(p[i] << 8 | p[i + 1]);
        if (n & 1) sum += (uint32_t)(p[n - 1] << 8);
        while (sum >> 16)
            sum = (sum & 0xFFFF) + (sum >> 16);
        return (uint16_t)~sum;
    }

    // The recorded exchange as client 10.0.0.1:40000 -> broker 10.0.0.2:1883.
    bool write_pcap(const std::string &path) {
        FILE *f = fopen(path.c_str(), "wb");
        if (!f) return false;
        uint32_t hdr[6] = {0xa1b2c3d4, 2 | (4u << 16), 0, 0, 65535, 1};
        fwrite(hdr, 1, sizeof hdr, f);
        uint32_t seq[2] = {1000, 5000};  // client, server
        uint32_t usec = 0;
        auto segment = [&](bool to_server, uint8_t flags, const uint8_t *d, size_t n) {
            uint8_t fr[54 + 1400] = {};
            fr[5] = to_server ? 2 : 1;
            fr[11] = to_server ? 1 : 2;
            be16(fr + 12, 0x0800);
            uint8_t *ip = fr + 14, *tcp = fr + 34;
            ip[0] = 0x45;
            be16(ip + 2, (unsigned)(40 + n));
            ip[8] = 64;
            ip[9] = 6;
            uint8_t a[4] = {10, 0, 0, 1}, b[4] = {10, 0, 0, 2};
            memcpy(ip + 12, to_server ? a : b, 4);
            memcpy(ip + 16, to_server ? b : a, 4);
            be16(ip + 10, csum(ip, 20, 0));
            be16(tcp, to_server ? 40000 : 1883);
            be16(tcp + 2, to_server ? 1883 : 40000);
            be32(tcp + 4, seq[to_server ? 0 : 1]);
            be32(tcp + 8, (flags & 0x10) ? seq[to_server ? 1 : 0] : 0);
            tcp[12] = 5 << 4;
            tcp[13] = flags;
            be16(tcp + 14, 65535);
            if (n) memcpy(tcp + 20, d, n);
            uint8_t ph[12];
            memcpy(ph, ip + 12, 8);
            ph[8] = 0;
            ph[9] = 6;
            be16(ph + 10, (unsigned)(20 + n));
            uint32_t s = 0;
            for (int i = 0; i < 12; i += 2)
                s += (uint32_t)(ph[i] << 8 | ph[i + 1]);
            be16(tcp + 16, csum(tcp, 20 + n, s));
            seq[to_server ? 0 : 1] += (uint32_t)n + ((flags & 0x03) ? 1 : 0);
            usec += 1000;
            uint32_t rec[4] = {1700000000 + usec / 1000000, usec % 1000000, (uint32_t)(54 + n),
                               (uint32_t)(54 + n)};
            fwrite(rec, 1, sizeof rec, f);
            fwrite(fr, 1, 54 + n, f);
        };
        segment(true, 0x02, nullptr, 0);   // SYN
        segment(false, 0x12, nullptr, 0);  // SYN ACK
        segment(true, 0x10, nullptr, 0);
        std::lock_guard<std::mutex> g(lock);
        for (const chunk &c : chunks)
            for (size_t off = 0; off < c.data.size(); off += 1400)
                segment(c.to_server, 0x18, c.data.data() + off,
                        std::min<size_t>(1400, c.data.size() - off));
        segment(true, 0x11, nullptr, 0);  // FIN
        fclose(f);
        return true;
    }
};

}  // namespace mqt

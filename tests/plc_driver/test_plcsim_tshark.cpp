// Independent check of the wire format: a client<->simulator exchange is
// recorded through a relay, written to a pcap file with synthesised
// Ethernet/IPv4/TCP framing, and decoded by tshark's EtherNet/IP and CIP
// dissectors, which must find no malformed packet and no error-level entry.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "plc_driver/cip.h"
#include "plc_driver/eip.h"
#include "test_plcsim_util.h"
#include "tests/support/net.h"

namespace {

struct chunk {
    bool to_server;
    std::vector<uint8_t> data;
};

// Relays one TCP connection from a local port to the simulator and keeps
// every chunk in the order it passed.
struct relay {
    int lfd = -1;
    int port = 0;
    std::string target;
    std::thread th;
    std::mutex lock;
    std::vector<chunk> chunks;

    explicit relay(std::string to) : target(std::move(to)) {
        lfd = tsup::tcp_listen(&port, 1);
        th = std::thread([this] { run(); });
    }
    ~relay() {
        shutdown(lfd, SHUT_RDWR);
        close(lfd);
        if (th.joinable()) th.join();
    }
    void run() {
        int c = accept(lfd, nullptr, nullptr);
        if (c < 0) return;
        int s = tsup::tcp_connect(EIP_PORT, target);
        if (s < 0) {
            close(c);
            return;
        }
        pollfd p[2] = {{c, POLLIN, 0}, {s, POLLIN, 0}};
        uint8_t buf[65536];
        for (;;) {
            if (poll(p, 2, 10000) <= 0) break;
            bool done = false;
            for (int i = 0; i < 2; i++) {
                if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = recv(p[i].fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    done = true;
                    break;
                }
                {
                    std::lock_guard<std::mutex> g(lock);
                    chunks.push_back(chunk{i == 0, std::vector<uint8_t>(buf, buf + n)});
                }
                send(p[1 - i].fd, buf, (size_t)n, MSG_NOSIGNAL);
            }
            if (done) break;
        }
        close(c);
        close(s);
    }
};

uint16_t ip_checksum(const uint8_t *p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += (uint32_t)(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += (uint32_t)(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint16_t)~sum;
}

void be16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
void be32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> (24 - 8 * i));
}

// Writes the exchange as one TCP connection 10.0.0.1:50000 <-> 10.0.0.2:44818.
struct pcap_writer {
    FILE *f;
    uint32_t cseq = 1000, sseq = 5000;
    uint32_t usec = 0;
    explicit pcap_writer(const char *path) : f(fopen(path, "wb")) {
        uint8_t h[24] = {0};
        uint32_t magic = 0xa1b2c3d4;
        memcpy(h, &magic, 4);
        uint16_t v[2] = {2, 4};
        memcpy(h + 4, v, 4);
        uint32_t snap = 262144, link = 1;
        memcpy(h + 16, &snap, 4);
        memcpy(h + 20, &link, 4);
        fwrite(h, 1, sizeof h, f);
    }
    ~pcap_writer() {
        if (f) fclose(f);
    }
    void segment(bool to_server, uint8_t flags, const uint8_t *data, size_t n) {
        uint8_t fr[14 + 20 + 20 + 1500];
        memset(fr, 0, 54);
        uint8_t mac_c[6] = {2, 0, 0, 0, 0, 1}, mac_s[6] = {2, 0, 0, 0, 0, 2};
        memcpy(fr, to_server ? mac_s : mac_c, 6);
        memcpy(fr + 6, to_server ? mac_c : mac_s, 6);
        be16(fr + 12, 0x0800);
        uint8_t *ip = fr + 14;
        ip[0] = 0x45;
        be16(ip + 2, (uint16_t)(40 + n));
        be16(ip + 6, 0x4000);
        ip[8] = 64;
        ip[9] = 6;
        uint8_t a_c[4] = {10, 0, 0, 1}, a_s[4] = {10, 0, 0, 2};
        memcpy(ip + 12, to_server ? a_c : a_s, 4);
        memcpy(ip + 16, to_server ? a_s : a_c, 4);
        be16(ip + 10, ip_checksum(ip, 20));
        uint8_t *tcp = ip + 20;
        be16(tcp, to_server ? 50000 : EIP_PORT);
        be16(tcp + 2, to_server ? EIP_PORT : 50000);
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
        be16(pseudo + 10, (uint16_t)(20 + n));
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
    void write(const std::vector<chunk> &chunks) {
        segment(true, 0x02, nullptr, 0);   // SYN
        segment(false, 0x12, nullptr, 0);  // SYN, ACK
        segment(true, 0x10, nullptr, 0);   // ACK
        for (const auto &c : chunks)
            for (size_t off = 0; off < c.data.size(); off += 1460) {
                size_t n = std::min<size_t>(1460, c.data.size() - off);
                segment(c.to_server, 0x18, c.data.data() + off, n);  // PSH, ACK
            }
        segment(true, 0x11, nullptr, 0);   // FIN, ACK
        segment(false, 0x11, nullptr, 0);  // FIN, ACK
        segment(true, 0x10, nullptr, 0);
    }
};

// tshark on the capture file with these arguments; its stdout and stderr.
std::string tshark(const std::string &pcap, std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/tshark", "-n", "-r", pcap});
    return tsup::run({.argv = args, .err_to_out = true}).out;
}

// Every service of the client, connected and unconnected, with a few refusals.
void exercise(eip_session *s) {
    double v[200];
    uint16_t t;
    uint8_t buf[600];
    size_t len;
    cip_read_real(s, "Counter", 0, 1, v, &t);
    cip_write_numeric(s, "Counter", 0, CIP_TYPE_DINT, 5);
    cip_write_numeric(s, "Temp", 0, CIP_TYPE_REAL, 1.25);
    cip_read_real(s, "Data", 10, 100, v, &t);
    cip_read_real(s, "Missing", 0, 1, v, &t);  // refused: unknown tag
    uint8_t p1[CIP_PATH_MAX], p2[CIP_PATH_MAX], p3[CIP_PATH_MAX];
    int n1 = cip_build_tag_path("Counter", 0, 0, p1, sizeof p1);
    int n2 = cip_build_tag_path("Temp", 0, 0, p2, sizeof p2);
    int n3 = cip_build_tag_path("Missing", 0, 0, p3, sizeof p3);
    cip_multi_item items[3] = {{p1, (size_t)n1, 1}, {p2, (size_t)n2, 1}, {p3, (size_t)n3, 1}};
    cip_multi_result res[3];
    cip_read_multi(s, items, 3, res);
    uint8_t val[8];
    uint32_t size;
    cip_read_tag_single(s, p1, (size_t)n1, val, &size, &t);
    int nd = cip_build_tag_path("Data", 300, 1, p3, sizeof p3);
    int cnt;
    cip_read_tag_count(s, p3, (size_t)nd, 50, buf, sizeof buf, &size, &t, &cnt);
    cip_write_masked(s, p1, (size_t)n1, 4, 0x10, 0xFFFFFFFF);
    cip_write_bool(s, "Bits", 40, 1);
    uint8_t bits[64];
    cip_read_bool(s, "Bits", 32, 16, bits);
    cip_symbol syms[16];
    int ns;
    cip_get_symbols(s, syms, 16, &ns);
    cip_find_tag_instance(s, "Data");
    cip_read_identity(s, buf, 128, &len);
    cip_get_attributes_all(s, 0x64, 1, buf, 256, &len);
    cip_read_controller_attrs(s, buf, 64, &len);
    int64_t us;
    cip_write_plc_time(s, 1700000000000000LL);
    cip_read_plc_time(s, &us);
}

TEST(Tshark, DissectorsFindNoMalformedPacketOrError) {
    if (access("/usr/bin/tshark", X_OK) != 0)
        FAIL() << "/usr/bin/tshark is not installed (Debian package tshark)";
    log_set_flags(0, 0, 0);
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Counter:DINT[1]=42", "--tag", "Temp:REAL[1]", "--tag",
                           "Data:REAL[400]", "--tag", "Bits:BOOL[64]", "--page-size", "3"}))
        << sim.output();
    std::vector<chunk> chunks;
    {
        relay r(sim.addr);
        eip_session s;
        ASSERT_EQ(0, eip_connect(&s, "127.0.0.1", r.port, 0));
        exercise(&s);
        ASSERT_EQ(0, cip_forward_open(&s));
        exercise(&s);
        cip_forward_close(&s);
        eip_disconnect(&s);
        r.th.join();
        chunks = r.chunks;
    }
    ASSERT_GT(chunks.size(), 60u);
    std::string pcap = sim.dir + "/exchange.pcap";
    { pcap_writer(pcap.c_str()).write(chunks); }

    std::string detail = tshark(pcap, {"-V"});
    EXPECT_NE(std::string::npos, detail.find("EtherNet/IP (Industrial Protocol)")) << detail;
    EXPECT_NE(std::string::npos, detail.find("Common Industrial Protocol"));
    EXPECT_NE(std::string::npos, detail.find("Forward Open"));
    EXPECT_NE(std::string::npos, detail.find("Multiple Service Packet"));
    EXPECT_EQ(std::string::npos, detail.find("Malformed")) << detail;

    std::string expert = tshark(pcap, {"-q", "-z", "expert"});
    EXPECT_EQ(std::string::npos, expert.find("Errors (")) << expert;
    EXPECT_EQ(std::string::npos, expert.find("Malformed")) << expert;

    // Every encapsulation message of the exchange was decoded as EtherNet/IP.
    std::string summary = tshark(pcap, {"-Y", "enip", "-T", "fields", "-e", "enip.command"});
    size_t lines = 0;
    for (char c : summary)
        lines += c == '\n';
    EXPECT_GE(lines, 60u) << summary;
    sim.cleanup();
}

}  // namespace

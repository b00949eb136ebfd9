// Independent check of the wire format: a client<->simulator exchange is
// recorded through a relay, written to a pcap file with synthesised
// Ethernet/IPv4/TCP framing, and decoded by tshark's EtherNet/IP and CIP
// dissectors, which must find no malformed packet and no error-level entry.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/log.h"
#include "plc_driver/cip.h"
#include "plc_driver/eip.h"
#include "test_plcsim_util.h"
#include "tests/support/capture.h"
#include "tests/support/proc.h"

namespace {

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

// Decodes the capture in detail; fails the test on malformed packets or
// error-level entries. Returns the detailed text.
std::string check_capture(const std::string &pcap) {
    std::string detail = tshark(pcap, {"-V"});
    EXPECT_NE(std::string::npos, detail.find("Common Industrial Protocol")) << detail;
    EXPECT_EQ(std::string::npos, detail.find("Malformed")) << detail;
    std::string expert = tshark(pcap, {"-q", "-z", "expert"});
    EXPECT_EQ(std::string::npos, expert.find("Errors (")) << expert;
    EXPECT_EQ(std::string::npos, expert.find("Malformed")) << expert;
    return detail;
}

// What the driver sends on a large connection: a refused and an accepted
// Large Forward Open, packets of hundreds of reads, replies near 4,000
// bytes, and fragmented reads of an array larger than one reply.
void exercise_large(plcsim_proc &sim, eip_session *s) {
    ASSERT_TRUE(sim.control("refuse_large_forward_open 1"));
    uint8_t status = 0;
    EXPECT_EQ(1, cip_large_forward_open(s, 4002, &status));
    EXPECT_EQ(CIP_STATUS_SERVICE_NOT_SUPPORTED, status);
    ASSERT_TRUE(sim.control("refuse_large_forward_open 0"));
    ASSERT_EQ(0, cip_large_forward_open(s, 4002));
    EXPECT_EQ(4000u, cip_conn_budget(s));

    static uint8_t paths[300][16];
    cip_multi_item items[300];
    for (int i = 0; i < 300; i++) {
        std::string name = "T" + std::to_string(i);
        int n = cip_build_tag_path(name.c_str(), 0, 0, paths[i], sizeof paths[i]);
        items[i] = {paths[i], (size_t)n, 1};
    }
    uint8_t req[4002], reply[CIP_REPLY_MAX];
    int len = cip_build_multi_read(items, 300, req, sizeof req);
    ASSERT_GT(len, 3000);
    size_t rn = sizeof reply;
    ASSERT_EQ(0, cip_send(s, req, (size_t)len, reply, &rn));
    static cip_multi_result res[300];
    ASSERT_EQ(0, cip_parse_multi_read(reply, rn, 300, res));
    EXPECT_EQ(0, res[299].status);

    uint8_t path[CIP_PATH_MAX];
    int pl = cip_build_tag_path("Data", 0, 1, path, sizeof path);
    len = cip_build_read(path, (size_t)pl, 990, 0, 0, req, sizeof req);
    rn = sizeof reply;
    ASSERT_EQ(0, cip_send(s, req, (size_t)len, reply, &rn));
    EXPECT_GT(rn, 3900u);
    pl = cip_build_tag_path("Wide8", 0, 1, path, sizeof path);
    for (uint32_t off = 0, round = 0; off < 600 * 8 && round < 4; round++) {
        len = cip_build_read(path, (size_t)pl, 600, 1, off, req, sizeof req);
        rn = sizeof reply;
        ASSERT_EQ(0, cip_send(s, req, (size_t)len, reply, &rn));
        const uint8_t *d;
        size_t dn;
        int st = cip_reply_data(reply, rn, &d, &dn);
        ASSERT_TRUE(st == 0 || st == CIP_STATUS_PARTIAL_TRANSFER) << st;
        off += (uint32_t)(dn - 2);
        if (st == 0) break;
    }
}

TEST(Tshark, LargeConnectionDecodesWithoutMalformedPackets) {
    if (access("/usr/bin/tshark", X_OK) != 0)
        FAIL() << "/usr/bin/tshark is not installed (Debian package tshark)";
    log_set_flags(0, 0, 0);
    std::vector<std::string> args = {"--tag", "Data:REAL[1000]", "--tag", "Wide8:LREAL[600]=1.5"};
    for (int i = 0; i < 300; i++) {
        args.push_back("--tag");
        args.push_back("T" + std::to_string(i) + ":REAL[1]=" + std::to_string(i));
    }
    plcsim_proc sim;
    ASSERT_TRUE(sim.start(args)) << sim.output();
    std::vector<tsup::tcp_chunk> chunks;
    {
        tsup::capture_relay r(EIP_PORT, sim.addr);
        eip_session s;
        ASSERT_EQ(0, eip_connect(&s, "127.0.0.1", r.port, 0));
        exercise_large(sim, &s);
        cip_forward_close(&s);
        eip_disconnect(&s);
        r.finish();
        chunks = r.recorded();
    }
    std::string pcap = sim.dir + "/large.pcap";
    ASSERT_TRUE(tsup::pcap_write_tcp(pcap, chunks, EIP_PORT));
    std::string detail = check_capture(pcap);
    EXPECT_NE(std::string::npos, detail.find("Large Forward Open")) << detail;
    EXPECT_NE(std::string::npos, detail.find("Multiple Service Packet"));
    sim.cleanup();
}

TEST(Tshark, DissectorsFindNoMalformedPacketOrError) {
    if (access("/usr/bin/tshark", X_OK) != 0)
        FAIL() << "/usr/bin/tshark is not installed (Debian package tshark)";
    log_set_flags(0, 0, 0);
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tag", "Counter:DINT[1]=42", "--tag", "Temp:REAL[1]", "--tag",
                           "Data:REAL[400]", "--tag", "Bits:BOOL[64]", "--page-size", "3"}))
        << sim.output();
    std::vector<tsup::tcp_chunk> chunks;
    {
        tsup::capture_relay r(EIP_PORT, sim.addr);
        eip_session s;
        ASSERT_EQ(0, eip_connect(&s, "127.0.0.1", r.port, 0));
        exercise(&s);
        ASSERT_EQ(0, cip_forward_open(&s));
        exercise(&s);
        cip_forward_close(&s);
        eip_disconnect(&s);
        r.finish();
        chunks = r.recorded();
    }
    ASSERT_GT(chunks.size(), 60u);
    std::string pcap = sim.dir + "/exchange.pcap";
    ASSERT_TRUE(tsup::pcap_write_tcp(pcap, chunks, EIP_PORT));

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

// The simulator as a controller: encapsulation errors, the Connection
// Manager, services our client does not use, several clients at once, tag
// files and the command line.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "common/log.h"
#include "plc_driver/cip.h"
#include "plc_driver/eip.h"
#include "test_eip_fake.h"
#include "test_plcsim_util.h"
#include "tests/support/net.h"

namespace {

// A bare TCP client that sends encapsulation messages as given.
struct raw_client {
    int fd = -1;
    explicit raw_client(const std::string &addr) {
        fd = tsup::tcp_connect(EIP_PORT, addr);
        timeval tv{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~raw_client() {
        if (fd >= 0) close(fd);
    }
    // Sends command + data; returns the whole reply (empty when the peer closed).
    bytes call(uint16_t cmd, uint32_t handle, const bytes &data) {
        bytes m(24);
        eip_put_header(m.data(), cmd, (uint16_t)data.size(), handle);
        m.insert(m.end(), data.begin(), data.end());
        send(fd, m.data(), m.size(), MSG_NOSIGNAL);
        bytes h(24);
        if (eip_sock_read_all(fd, h.data(), 24) != 0) return {};
        size_t len = eip_get16(h.data() + 2);
        h.resize(24 + len);
        if (len && eip_sock_read_all(fd, h.data() + 24, len) != 0) return {};
        return h;
    }
    uint32_t register_session() {
        bytes r = call(EIP_CMD_REGISTER_SESSION, 0, {1, 0, 0, 0});
        return r.size() >= 28 ? eip_get32(r.data() + 4) : 0;
    }
};

class Plcsim : public ::testing::Test {
  protected:
    plcsim_proc sim;
    void SetUp() override {
        log_set_flags(0, 0, 0);
        ASSERT_TRUE(sim.start({"--tag", "X:DINT[1]=7", "--tag", "R:REAL[1]", "--tag",
                               "Arr:REAL[1000]", "--tag", "Ints:DINT[100]", "--slot", "1"}))
            << sim.output();
    }
    void TearDown() override { sim.cleanup(); }

    // Raw CIP reply of one request on a session.
    bytes cip(eip_session *s, const bytes &req) {
        uint8_t out[CIP_REPLY_MAX];
        size_t n = sizeof out;
        if (cip_send(s, req.data(), req.size(), out, &n) != 0) return {};
        return bytes(out, out + n);
    }
};

TEST_F(Plcsim, EncapsulationErrors) {
    raw_client c(sim.addr);
    ASSERT_GE(c.fd, 0);
    // Data before a session, an unknown command, an unsupported version.
    bytes r = c.call(EIP_CMD_SEND_RR_DATA, 0, cpf_rr({0x01, 0x02, 0x20, 0x01, 0x24, 0x01}));
    ASSERT_EQ(24u, r.size());
    EXPECT_EQ(EIP_STATUS_INVALID_SESSION, eip_get32(r.data() + 8));
    r = c.call(0x00AA, 0, {});
    ASSERT_EQ(24u, r.size());
    EXPECT_EQ(EIP_STATUS_INVALID_COMMAND, eip_get32(r.data() + 8));
    r = c.call(EIP_CMD_REGISTER_SESSION, 0, {2, 0, 0, 0});
    EXPECT_EQ(EIP_STATUS_UNSUPPORTED_PROTOCOL, eip_get32(r.data() + 8));
    // Identity and services need no session.
    r = c.call(EIP_CMD_LIST_IDENTITY, 0, {});
    ASSERT_GT(r.size(), 24u + 6 + 34);
    EXPECT_EQ(EIP_ITEM_LIST_IDENTITY, eip_get16(r.data() + 26));
    EXPECT_EQ(1, eip_get16(r.data() + 24 + 6 + 18));  // vendor
    EXPECT_NE(std::string::npos, std::string(r.begin(), r.end()).find("ZQ Logix Simulator"));
    r = c.call(EIP_CMD_LIST_SERVICES, 0, {});
    ASSERT_GE(r.size(), 24u + 26);
    EXPECT_EQ(0x0100, eip_get16(r.data() + 26));

    uint32_t h = c.register_session();
    ASSERT_NE(0u, h);
    r = c.call(EIP_CMD_SEND_RR_DATA, h + 1, cpf_rr({0x01, 0x02, 0x20, 0x01, 0x24, 0x01}));
    EXPECT_EQ(EIP_STATUS_INVALID_SESSION, eip_get32(r.data() + 8));
    // Identity through the Message Router, without an Unconnected Send.
    r = c.call(EIP_CMD_SEND_RR_DATA, h, cpf_rr({0x01, 0x02, 0x20, 0x01, 0x24, 0x01}));
    ASSERT_GT(r.size(), 44u);
    EXPECT_EQ(0, eip_get32(r.data() + 8));
    EXPECT_EQ(0x81, r[40]);
    EXPECT_EQ(0, r[42]);
    // A broken item list.
    bytes bad = cpf_rr({0x01});
    eip_put16(bad.data() + 14, 50);
    r = c.call(EIP_CMD_SEND_RR_DATA, h, bad);
    EXPECT_NE(0u, eip_get32(r.data() + 8));
    // Connected data on a connection that was never opened.
    bytes ud(22, 0);
    eip_put16(ud.data() + 6, 2);
    eip_put16(ud.data() + 8, EIP_ITEM_CONNECTED_ADDRESS);
    eip_put16(ud.data() + 10, 4);
    eip_put32(ud.data() + 12, 0x12345678);
    eip_put16(ud.data() + 16, EIP_ITEM_CONNECTED_DATA);
    eip_put16(ud.data() + 18, 2);
    r = c.call(EIP_CMD_SEND_UNIT_DATA, h, ud);
    EXPECT_EQ(EIP_STATUS_INCORRECT_DATA, eip_get32(r.data() + 8));
    // UnRegisterSession closes the connection.
    EXPECT_TRUE(c.call(EIP_CMD_UNREGISTER_SESSION, h, {}).empty());
    EXPECT_TRUE(sim.wait_output("unregistered the session", 5000));
    EXPECT_TRUE(sim.wait_output("refused command 0x00AA", 5000));
}

bytes forward_open_req(bool large, uint16_t serial, uint8_t slot, uint32_t size) {
    bytes r = {large ? (uint8_t)0x5B : (uint8_t)0x54, 2, 0x20, 6, 0x24, 1, 0x0A, 0xF0};
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++)
            r.push_back((uint8_t)(v >> (8 * i)));
    };
    auto u16 = [&](uint16_t v) {
        r.push_back((uint8_t)v);
        r.push_back((uint8_t)(v >> 8));
    };
    u32(0x11111111);
    u32(0x22222222);
    u16(serial);
    u16(0x0059);
    u32(7);
    r.insert(r.end(), {3, 0, 0, 0});
    u32(100000);
    if (large)
        u32(0x42000000 | size);
    else
        u16((uint16_t)(0x4200 | size));
    u32(100000);
    if (large)
        u32(0x42000000 | size);
    else
        u16((uint16_t)(0x4200 | size));
    r.push_back(0xA3);
    r.push_back(3);
    r.insert(r.end(), {1, slot, 0x20, 2, 0x24, 1});
    return r;
}

TEST_F(Plcsim, ConnectionManager) {
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 1));
    auto send_rr = [&](const bytes &req) {
        uint8_t out[600];
        size_t n = sizeof out;
        EXPECT_EQ(0, eip_send_rrdata(&s, req.data(), req.size(), out, &n));
        return bytes(out, out + n);
    };
    // Large Forward Open: a 4000-byte connection carries 990 REALs at once.
    bytes r = send_rr(forward_open_req(true, 0x100, 1, 4000));
    ASSERT_GE(r.size(), 30u);
    ASSERT_EQ(0, r[2]);
    s.to_conn_id = eip_get32(r.data() + 4);
    EXPECT_EQ(0x22222222u, eip_get32(r.data() + 8));  // T->O id echoed
    s.cip_connected = 1;
    uint8_t data[4096];
    size_t n = sizeof data;
    uint8_t req[] = {0x4C, 3, 0x91, 3, 'A', 'r', 'r', 0, 0xDE, 0x03};
    ASSERT_EQ(0, cip_request(&s, req, sizeof req, data, &n));
    EXPECT_EQ(2u + 3960, n);
    s.cip_connected = 0;
    // The same connection again; an unknown one to close; another slot.
    r = send_rr(forward_open_req(true, 0x100, 1, 4000));
    EXPECT_EQ((bytes{0xDB, 0, 0x01, 1, 0x00, 0x01}), bytes(r.begin(), r.begin() + 6));
    bytes fc = {0x4E, 2, 0x20, 6, 0x24, 1, 0x0A, 0xF0, 0x99, 0x09, 0x59, 0,
                7,    0, 0,    0, 3,    0, 1,    1,    0x20, 2,    0x24, 1};
    r = send_rr(fc);
    EXPECT_EQ((bytes{0xCE, 0, 0x01, 1, 0x07, 0x01}), bytes(r.begin(), r.begin() + 6));
    r = send_rr(forward_open_req(false, 0x200, 4, 500));
    EXPECT_EQ((bytes{0xD4, 0, 0x01, 1, 0x12, 0x03}), bytes(r.begin(), r.begin() + 6));
    // Closing the open one works once.
    fc[8] = 0x00;
    fc[9] = 0x01;
    r = send_rr(fc);
    EXPECT_EQ(0, r[2]);
    r = send_rr(fc);
    EXPECT_EQ(1, r[2]);
    eip_disconnect(&s);
}

TEST_F(Plcsim, TagServicesBeyondTheClient) {
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 1));
    ASSERT_EQ(0, cip_forward_open(&s));
    for (int i = 0; i < 1000; i += 111)
        cip_write_numeric(&s, "Arr", (uint32_t)i, CIP_TYPE_REAL, i);

    // Read Tag of the whole array: partial data; then fragments.
    bytes r = cip(&s, {0x4C, 3, 0x91, 3, 'A', 'r', 'r', 0, 0xE8, 0x03});
    ASSERT_GE(r.size(), 6u);
    EXPECT_EQ(CIP_STATUS_PARTIAL_TRANSFER, r[2]);
    EXPECT_LE(r.size(), 498u);
    std::vector<float> all;
    uint32_t offset = 0;
    for (int guard = 0; guard < 20; guard++) {
        bytes q = {0x52, 3, 0x91, 3, 'A', 'r', 'r', 0, 0xE8, 0x03};
        for (int i = 0; i < 4; i++)
            q.push_back((uint8_t)(offset >> (8 * i)));
        r = cip(&s, q);
        ASSERT_GE(r.size(), 6u);
        ASSERT_TRUE(r[2] == 0 || r[2] == CIP_STATUS_PARTIAL_TRANSFER);
        EXPECT_EQ(CIP_TYPE_REAL, eip_get16(r.data() + 4));
        for (size_t k = 6; k + 4 <= r.size(); k += 4)
            all.push_back((float)cip_decode_numeric(&r[k], CIP_TYPE_REAL));
        offset += (uint32_t)(r.size() - 6);
        if (r[2] == 0) break;
    }
    ASSERT_EQ(1000u, all.size());
    EXPECT_EQ(888.0f, all[888]);

    // Write Tag Fragmented: two pieces into Ints[0..9].
    for (uint32_t part = 0; part < 2; part++) {
        bytes q = {0x53, 3, 0x91, 4, 'I', 'n', 't', 's', 0xC4, 0, 10, 0};
        uint32_t off = part * 20;
        for (int i = 0; i < 4; i++)
            q.push_back((uint8_t)(off >> (8 * i)));
        for (int k = 0; k < 5; k++) {
            uint32_t v = part * 5 + (uint32_t)k + 100;
            for (int i = 0; i < 4; i++)
                q.push_back((uint8_t)(v >> (8 * i)));
        }
        r = cip(&s, q);
        ASSERT_EQ(4u, r.size());
        EXPECT_EQ(0xD3, r[0]);
        EXPECT_EQ(0, r[2]);
    }
    double v[10];
    uint16_t t;
    ASSERT_EQ(0, cip_read_real(&s, "Ints", 0, 10, v, &t));
    EXPECT_EQ(100.0, v[0]);
    EXPECT_EQ(109.0, v[9]);

    // Refusals a controller gives.
    r = cip(&s, {0x4D, 2, 0x91, 1, 'X', 0, 0xCA, 0, 1, 0, 0, 0, 0x80, 0x3F});  // REAL into DINT
    EXPECT_EQ((bytes{0xCD, 0, 0xFF, 1, 0x07, 0x21}), r);
    r = cip(&s, {0x4C, 4, 0x91, 4, 'I', 'n', 't', 's', 0x28, 99, 2, 0});  // past the end
    EXPECT_EQ((bytes{0xCC, 0, 0xFF, 1, 0x05, 0x21}), r);
    r = cip(&s, {0x4C, 4, 0x91, 4, 'I', 'n', 't', 's', 0x28, 100, 1, 0});  // no such element
    EXPECT_EQ(CIP_STATUS_PATH_DESTINATION_UNKNOWN, r[2]);
    r = cip(&s, {0x4D, 2, 0x91, 1, 'X', 0, 0xC4, 0, 1, 0, 1});  // data cut short
    EXPECT_EQ(CIP_STATUS_NOT_ENOUGH_DATA, r[2]);
    r = cip(&s,
            {0x4E, 2, 0x91, 1, 'R', 0, 4, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});  // RMW on REAL
    EXPECT_EQ(CIP_STATUS_GENERAL_ERROR, r[2]);
    r = cip(&s, {0x4D, 2, 0x91, 1, 'R', 0, 0xCA, 0, 1, 0, 0, 0, 0xC0, 0x7F});  // NaN
    EXPECT_EQ(CIP_STATUS_INVALID_ATTRIBUTE_VALUE, r[2]);
    r = cip(&s, {0x4C, 2, 0x91, 5, 'X'});  // symbolic segment cut off
    EXPECT_EQ(CIP_STATUS_PATH_SEGMENT_ERROR, r[2]);
    r = cip(&s, {0x4C, 9, 0x91, 1, 'X', 0});  // path size beyond the request
    EXPECT_EQ(CIP_STATUS_PATH_SEGMENT_ERROR, r[2]);
    r = cip(&s, {0x10, 2, 0x91, 1, 'X', 0});
    EXPECT_EQ(CIP_STATUS_SERVICE_NOT_SUPPORTED, r[2]);
    r = cip(&s, {0x01, 2, 0x20, 0x99, 0x24, 1});
    EXPECT_EQ(CIP_STATUS_PATH_DESTINATION_UNKNOWN, r[2]);
    // The symbol list with the old two-word path is a path error.
    r = cip(&s, {0x55, 2, 0x20, 0x6B, 0x25, 0, 0, 0, 1, 0, 1, 0});
    EXPECT_NE(0, r[2]);

    // A Multiple Service Packet whose replies do not fit: the first read is
    // whole, the later ones partial, each with whole elements.
    bytes msp = {0x0A, 2, 0x20, 2, 0x24, 1, 3, 0, 8, 0, 20, 0, 32, 0};
    bytes one = {0x4C, 4, 0x91, 3, 'A', 'r', 'r', 0, 0x28, 0, 100, 0};  // 400 bytes each
    for (int i = 0; i < 3; i++)
        msp.insert(msp.end(), one.begin(), one.end());
    r = cip(&s, msp);
    ASSERT_GE(r.size(), 12u);
    EXPECT_EQ(CIP_STATUS_EMBEDDED_SERVICE_ERROR, r[2]);
    EXPECT_LE(r.size(), 498u);
    size_t first = eip_get16(&r[4 + 2]), second = eip_get16(&r[4 + 4]), last = eip_get16(&r[4 + 6]);
    EXPECT_EQ(0, r[4 + first + 2]);
    EXPECT_EQ(second - first, 4u + 2 + 400);
    EXPECT_EQ(CIP_STATUS_PARTIAL_TRANSFER, r[4 + second + 2]);
    EXPECT_EQ(CIP_STATUS_PARTIAL_TRANSFER, r[4 + last + 2]);
    EXPECT_EQ((last - second - 6) % 4, 0u);
    EXPECT_EQ((r.size() - 4 - last - 6) % 4, 0u);
    cip_forward_close(&s);
    eip_disconnect(&s);
    EXPECT_NE(std::string::npos, sim.output().find("refused Write Tag 'X'"));
}

// Reads packed into one Multiple Service Packet as independent clients pack
// them: a whole-array read beside a scalar. The array answers "partial
// transfer" with what fits, and packed fragmented reads fetch the rest.
TEST_F(Plcsim, PackedWholeArrayReadsAnswerPartialTransfer) {
    for (bool connected : {true, false}) {
        SCOPED_TRACE(connected ? "connected" : "unconnected");
        eip_session s;
        ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 1));
        if (connected) {
            ASSERT_EQ(0, cip_forward_open(&s));
        }
        for (uint32_t i = 0; i < 1000; i += 37)
            ASSERT_EQ(0, cip_write_numeric(&s, "Arr", i, CIP_TYPE_REAL, i + 0.5));
        // Whole Arr (4000 bytes), then X.
        auto packet = [](uint32_t offset, bool frag) {
            bytes arr = {
                frag ? (uint8_t)0x52 : (uint8_t)0x4C, 3, 0x91, 3, 'A', 'r', 'r', 0, 0xE8, 0x03};
            for (int i = 0; frag && i < 4; i++)
                arr.push_back((uint8_t)(offset >> (8 * i)));
            bytes x = {0x4C, 2, 0x91, 1, 'X', 0, 1, 0};
            bytes q = {0x0A, 2, 0x20, 2, 0x24, 1, 2, 0, 6, 0};
            q.push_back((uint8_t)(6 + arr.size()));
            q.push_back(0);
            q.insert(q.end(), arr.begin(), arr.end());
            q.insert(q.end(), x.begin(), x.end());
            return q;
        };
        std::vector<float> all;
        for (int guard = 0; guard < 40 && all.size() < 1000; guard++) {
            bool frag = guard > 0;
            bytes r = cip(&s, packet((uint32_t)all.size() * 4, frag));
            ASSERT_GE(r.size(), 8u);
            EXPECT_EQ(0x8A, r[0]);
            ASSERT_EQ(2, eip_get16(&r[4]));
            size_t a = 4 + eip_get16(&r[6]), x = 4 + eip_get16(&r[8]);
            ASSERT_LT(a + 6, x);
            ASSERT_EQ(x + 10, r.size());
            EXPECT_LE(r.size(), connected ? 498u : 504u);
            // The scalar is answered in full after the array's share.
            EXPECT_EQ(0xCC, r[x]);
            EXPECT_EQ(0, r[x + 2]);
            EXPECT_EQ(CIP_TYPE_DINT, eip_get16(&r[x + 4]));
            EXPECT_EQ(7u, eip_get32(&r[x + 6]));
            // The array's share: whole REALs, status 0x06 until the last.
            EXPECT_EQ(frag ? 0xD2 : 0xCC, r[a]);
            size_t bytes_here = x - a - 6;
            ASSERT_GT(bytes_here, 0u);
            ASSERT_EQ(bytes_here % 4, 0u);
            bool last = all.size() + bytes_here / 4 == 1000;
            EXPECT_EQ(last ? 0 : CIP_STATUS_PARTIAL_TRANSFER, r[a + 2]);
            EXPECT_EQ(last ? 0 : CIP_STATUS_EMBEDDED_SERVICE_ERROR, r[2]);
            EXPECT_EQ(CIP_TYPE_REAL, eip_get16(&r[a + 4]));
            for (size_t k = a + 6; k < x; k += 4)
                all.push_back((float)cip_decode_numeric(&r[k], CIP_TYPE_REAL));
        }
        ASSERT_EQ(1000u, all.size());
        for (uint32_t i = 0; i < 1000; i++)
            EXPECT_EQ(all[i], i % 37 == 0 ? i + 0.5f : 0.0f) << i;
        if (connected) cip_forward_close(&s);
        eip_disconnect(&s);
    }
}

TEST_F(Plcsim, ServesSeveralClientsAtOnce) {
    std::vector<std::thread> th;
    std::atomic<int> failures{0};
    for (int k = 0; k < 4; k++) {
        th.emplace_back([&, k] {
            eip_session s;
            if (eip_connect(&s, sim.addr.c_str(), EIP_PORT, 1) != 0) {
                failures++;
                return;
            }
            if (k % 2 && cip_forward_open(&s) != 0) failures++;
            for (int i = 0; i < 100; i++) {
                double v = 0;
                uint16_t t;
                if (cip_write_numeric(&s, "Ints", (uint32_t)k, CIP_TYPE_DINT, i) != 0 ||
                    cip_read_real(&s, "Ints", (uint32_t)k, 1, &v, &t) != 0 || v != i)
                    failures++;
            }
            cip_forward_close(&s);
            eip_disconnect(&s);
        });
    }
    for (auto &t : th)
        t.join();
    EXPECT_EQ(0, failures.load());
}

TEST_F(Plcsim, SurvivesGarbage) {
    std::mt19937 rng(4711);
    auto rnd = [&](size_t n) {
        bytes b(n);
        for (auto &x : b)
            x = (uint8_t)rng();
        return b;
    };
    for (int round = 0; round < 20; round++) {
        raw_client c(sim.addr);
        ASSERT_GE(c.fd, 0);
        uint32_t h = c.register_session();
        for (int i = 0; i < 40; i++) {
            // A valid frame around random CIP bytes, often with a known
            // service and path prefix so the deeper parsers are reached.
            bytes cip = rnd(rng() % 64);
            static const uint8_t services[] = {0x4C, 0x4D, 0x4E, 0x52, 0x53, 0x0A,
                                               0x55, 0x54, 0x5B, 0x01, 0x03, 0x04};
            if (cip.size() > 2 && rng() % 2) {
                cip[0] = services[rng() % sizeof services];
                cip[1] = (uint8_t)(rng() % 5);
            }
            if (rng() % 3 == 0 && cip.size() > 8) {
                static const uint8_t cm[] = {0x20, 0x06, 0x24, 0x01};
                cip[1] = 2;
                memcpy(&cip[2], cm, 4);
            }
            bytes r = c.call(EIP_CMD_SEND_RR_DATA, h, cpf_rr(cip));
            if (r.empty()) break;  // the simulator may close on a broken frame
        }
        // Raw garbage, headers with wild lengths included.
        bytes g = rnd(200);
        send(c.fd, g.data(), g.size(), MSG_NOSIGNAL);
    }
    ASSERT_TRUE(sim.alive()) << sim.output();
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 1));
    double v = 0;
    uint16_t t;
    EXPECT_EQ(0, cip_read_real(&s, "X", 0, 1, &v, &t));
    EXPECT_EQ(7.0, v);
    eip_disconnect(&s);
}

TEST(PlcsimSetup, DemoProjectTags) {
    log_set_flags(0, 0, 0);
    std::string file = std::string(ZQ_SOURCE_DIR) + "/examples/demo/plcsim-tags.yaml";
    plcsim_proc sim;
    ASSERT_TRUE(sim.start({"--tags", file})) << sim.output();
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0));
    ASSERT_EQ(0, cip_forward_open(&s));
    for (const char *tag : {"Boiler_Temp", "Drum_Level", "Feed_Flow", "Steam_Press", "Setpoint[1]",
                            "Pump1_Run", "Pump2_Run", "Status.0", "Burner_On"}) {
        uint8_t path[CIP_PATH_MAX], v[8];
        int bf, bt;
        uint32_t size;
        uint16_t type;
        int n = cip_build_tag_path_ex(tag, &bf, &bt, path, sizeof path);
        ASSERT_GT(n, 0) << tag;
        EXPECT_EQ(0, cip_read_tag_single(&s, path, (size_t)n, v, &size, &type)) << tag;
    }
    cip_forward_close(&s);
    eip_disconnect(&s);
}

TEST(PlcsimSetup, TagFilesSignalsAndCommandLine) {
    log_set_flags(0, 0, 0);
    plcsim_proc sim;
    tsup::TempDir tmp("plcsim-files");
    std::string dir = tmp.path;
    tsup::write_file(dir + "/tags.yaml",
                     "tags:\n"
                     "  - name: Level\n"
                     "    type: REAL\n"
                     "    value: 12.5\n"
                     "  - name: Ramp\n"
                     "    type: DINT\n"
                     "    signal: ramp\n"
                     "    period_s: 2\n"
                     "    min: 0\n"
                     "    max: 1000\n"
                     "  - name: Flags\n"
                     "    type: BOOL\n"
                     "    count: 64\n");
    tsup::write_file(
        dir + "/tags.json",
        R"({"tags": [{"name": "Setpoint", "type": "LREAL", "count": 3, "value": [1, 2, 3]}]})");
    ASSERT_TRUE(sim.start({"--tags", dir + "/tags.yaml"})) << sim.output();
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0));
    double v = 0, first = 0;
    uint16_t t;
    ASSERT_EQ(0, cip_read_real(&s, "level", 0, 1, &v, &t));  // names are case-insensitive
    EXPECT_EQ(12.5, v);
    ASSERT_EQ(0, cip_read_real(&s, "Ramp", 0, 1, &first, &t));
    EXPECT_TRUE(wait_until(
        [&] { return cip_read_real(&s, "Ramp", 0, 1, &v, &t) == 0 && v != first; }, 5000));
    uint8_t bits[64];
    EXPECT_EQ(0, cip_read_bool(&s, "Flags", 0, 64, bits));
    eip_disconnect(&s);
    sim.cleanup();

    plcsim_proc sim2;
    ASSERT_TRUE(sim2.start({"--tags", dir + "/tags.json", "--mode", "program"})) << sim2.output();
    ASSERT_EQ(0, eip_connect(&s, sim2.addr.c_str(), EIP_PORT, 0));
    double sp[3];
    ASSERT_EQ(0, cip_read_real(&s, "Setpoint", 0, 3, sp, &t));
    EXPECT_EQ(CIP_TYPE_LREAL, t);
    EXPECT_EQ(3.0, sp[2]);
    uint8_t id[64];
    size_t len;
    ASSERT_EQ(0, cip_read_identity(&s, id, sizeof id, &len));
    EXPECT_EQ(0x0070, eip_get16(id + 8));
    eip_disconnect(&s);
    sim2.cleanup();

    // Bad arguments: a clear message and a non-zero exit, never a start.
    std::string bin = std::string(ZQ_BIN_DIR) + "/zqplcsim";
    const std::vector<std::vector<std::string>> bad_args = {
        {"--tag", "X:FLOAT[1]"},
        {"--tag", "X:DINT[0]"},
        {"--tag", "X"},
        {"--tag", "X:DINT[1]:wobble"},
        {"--tag", "A:DINT[1]", "--tag", "a:REAL[1]"},
        {"--port", "0"},
        {"--bogus"},
        {"--tags", "/nonexistent.yaml"}};
    for (const auto &bad : bad_args) {
        std::vector<std::string> argv = {bin, "--addr", "127.0.0.1", "--port", "1"};
        argv.insert(argv.end(), bad.begin(), bad.end());
        tsup::RunResult r = tsup::run({.argv = argv, .err_to_out = true});
        EXPECT_NE(0, r.status) << testing::PrintToString(bad);
        EXPECT_NE(std::string::npos, r.out.find("zqplcsim: "))
            << testing::PrintToString(bad) << ": " << r.out;
    }
    tsup::RunResult help = tsup::run({.argv = {bin, "--help"}});
    EXPECT_NE(std::string::npos, help.out.find("--tag SPEC"));
}

}  // namespace

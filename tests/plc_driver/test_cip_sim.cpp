// The CIP client against the controller simulator over loopback, connected
// (Forward Open) and unconnected (Unconnected Send).

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "common/log.h"
#include "plc_driver/cip.h"
#include "plc_driver/eip.h"
#include "test_plcsim_util.h"

namespace {

class SimTest : public ::testing::TestWithParam<bool> {
  protected:
    plcsim_proc sim;
    eip_session s;

    void SetUp() override {
        log_set_flags(0, 0, 0);
        ASSERT_TRUE(sim.start({"--tag",  "Counter:DINT[1]=42",
                               "--tag",  "Temp:REAL[1]=21.5",
                               "--tag",  "Flag:BOOL[1]",
                               "--tag",  "Small:INT[1]",
                               "--tag",  "Tiny:SINT[1]",
                               "--tag",  "Big:LREAL[1]",
                               "--tag",  "U:UDINT[1]",
                               "--tag",  "L:LINT[1]",
                               "--tag",  "Data:REAL[400]",
                               "--tag",  "Ints:DINT[70000]",
                               "--tag",  "Bits:BOOL[128]",
                               "--tag",  "HugeBits:BOOL[100032]",
                               "--slot", "2"}))
            << sim.output();
        ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 2));
        if (GetParam()) {
            ASSERT_EQ(0, cip_forward_open(&s));
        }
    }
    void TearDown() override {
        cip_forward_close(&s);
        eip_disconnect(&s);
        sim.cleanup();
    }

    double read1(const char *name, uint32_t index = 0) {
        double v = NAN;
        uint16_t type = 0;
        EXPECT_EQ(0, cip_read_real(&s, name, index, 1, &v, &type)) << name;
        return v;
    }
};

TEST_P(SimTest, ConnectionIdsAndSequenceCounts) {
    if (!GetParam()) {
        EXPECT_EQ(42.0, read1("Counter"));
        EXPECT_EQ(0, s.seq);  // Unconnected Sends carry no sequence count
        return;
    }
    // The simulator chooses the O->T id and echoes the proposed T->O id (0).
    EXPECT_EQ(0x41000000u, s.ot_conn_id & 0xFF000000u);
    EXPECT_EQ(s.ot_conn_id, s.to_conn_id);
    EXPECT_EQ(1, s.cip_connected);
    EXPECT_EQ(42.0, read1("Counter"));
    EXPECT_GT(s.seq, 0);
    EXPECT_EQ(0, cip_forward_close(&s));
    EXPECT_EQ(0, s.cip_connected);
    EXPECT_EQ(42.0, read1("Counter"));  // unconnected from here on
}

TEST_P(SimTest, ScalarsReadAndWriteBack) {
    EXPECT_EQ(42.0, read1("Counter"));
    EXPECT_FLOAT_EQ(21.5, read1("Temp"));
    EXPECT_EQ(0, cip_write_numeric(&s, "Counter", 0, CIP_TYPE_DINT, -1.5));
    EXPECT_EQ(-2.0, read1("Counter"));
    EXPECT_EQ(0, cip_write_numeric(&s, "Counter", 0, CIP_TYPE_DINT, 2.5));
    EXPECT_EQ(3.0, read1("Counter"));
    EXPECT_EQ(0, cip_write_numeric(&s, "Flag", 0, CIP_TYPE_BOOL, 0.3));
    EXPECT_EQ(1.0, read1("Flag"));
    EXPECT_EQ(0, cip_write_numeric(&s, "Big", 0, CIP_TYPE_LREAL, 1e300));
    EXPECT_EQ(1e300, read1("Big"));
    EXPECT_EQ(0, cip_write_numeric(&s, "L", 0, CIP_TYPE_LINT, -123456789012.0));
    EXPECT_EQ(-123456789012.0, read1("L"));
    EXPECT_EQ(0, cip_write_numeric(&s, "U", 0, CIP_TYPE_UDINT, 4294967295.0));
    EXPECT_EQ(4294967295.0, read1("U"));

    // Single read and write on encoded paths.
    uint8_t path[CIP_PATH_MAX];
    int bf, bt;
    int plen = cip_build_tag_path_ex("Small", &bf, &bt, path, sizeof path);
    ASSERT_GT(plen, 0);
    uint8_t v[8] = {0x39, 0x30};  // 12345
    EXPECT_EQ(0, cip_write_tag_single(&s, path, (size_t)plen, CIP_TYPE_INT, v, 2));
    uint8_t got[8];
    uint32_t size = 0;
    uint16_t type = 0;
    EXPECT_EQ(0, cip_read_tag_single(&s, path, (size_t)plen, got, &size, &type));
    EXPECT_EQ(2u, size);
    EXPECT_EQ(CIP_TYPE_INT, type);
    EXPECT_EQ(12345.0, cip_decode_numeric(got, type));
}

TEST_P(SimTest, OutOfRangeWritesAreRefusedAndLeaveTheValue) {
    EXPECT_EQ(0, cip_write_numeric(&s, "Small", 0, CIP_TYPE_INT, 7));
    EXPECT_EQ(1, cip_write_numeric(&s, "Small", 0, CIP_TYPE_INT, 40000));
    EXPECT_EQ(1, cip_write_numeric(&s, "Small", 0, CIP_TYPE_INT, NAN));
    EXPECT_EQ(1, cip_write_numeric(&s, "Small", 0, CIP_TYPE_INT, INFINITY));
    EXPECT_EQ(1, cip_write_numeric(&s, "Tiny", 0, CIP_TYPE_SINT, 128));
    EXPECT_EQ(1, cip_write_numeric(&s, "U", 0, CIP_TYPE_UDINT, -1));
    EXPECT_EQ(1, cip_write_numeric(&s, "Temp", 0, CIP_TYPE_REAL, 1e39));
    EXPECT_EQ(7.0, read1("Small"));
    // The controller refuses a type that does not match the tag.
    EXPECT_EQ(1, cip_write_numeric(&s, "Small", 0, CIP_TYPE_DINT, 5));
    EXPECT_EQ(7.0, read1("Small"));
}

TEST_P(SimTest, ArraysInChunksAndBeyondSixteenBitIndices) {
    for (int i = 0; i < 400; i += 37)
        ASSERT_EQ(0, cip_write_numeric(&s, "Data", (uint32_t)i, CIP_TYPE_REAL, i * 0.5));
    double vals[120];
    uint16_t type = 0;
    int n = 0;
    ASSERT_EQ(0, cip_read_real(&s, "Data", 0, 120, vals, &type, &n));
    EXPECT_EQ(120, n);
    EXPECT_EQ(CIP_TYPE_REAL, type);
    EXPECT_EQ(37 * 0.5, vals[37]);
    // Past the end: the controller refuses.
    EXPECT_EQ(1, cip_read_real(&s, "Data", 390, 20, vals, &type, &n));
    EXPECT_EQ(1, cip_read_real(&s, "Data", 400, 1, vals, &type, &n));

    // Index 65540 must not alias element 4.
    ASSERT_EQ(0, cip_write_numeric(&s, "Ints", 4, CIP_TYPE_DINT, 4));
    ASSERT_EQ(0, cip_write_numeric(&s, "Ints", 65540, CIP_TYPE_DINT, 65540));
    EXPECT_EQ(4.0, read1("Ints", 4));
    EXPECT_EQ(65540.0, read1("Ints", 65540));
    EXPECT_EQ(0, cip_write_numeric(&s, "Ints", 69999, CIP_TYPE_DINT, -9));
    EXPECT_EQ(-9.0, read1("Ints", 69999));

    // Raw element bytes through an encoded path with an element segment.
    uint8_t path[CIP_PATH_MAX];
    int plen = cip_build_tag_path("Ints", 65539, 1, path, sizeof path);
    uint8_t buf[496];
    uint32_t size = 0;
    int got = 0;
    ASSERT_EQ(0,
              cip_read_tag_count(&s, path, (size_t)plen, 3, buf, sizeof buf, &size, &type, &got));
    EXPECT_EQ(3, got);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(65540.0, cip_decode_numeric(buf + 4, CIP_TYPE_DINT));
    // A reply larger than the controller allows is refused (partial data).
    EXPECT_EQ(1, cip_read_real(&s, "Data", 0, 200, vals, &type, &n));
}

TEST_P(SimTest, BoolArraysAreDwordWordsAndBitWritesTouchOneWord) {
    ASSERT_EQ(0, cip_write_bool(&s, "Bits", 40, 1));
    ASSERT_EQ(0, cip_write_bool(&s, "Bits", 3, 1));
    ASSERT_EQ(0, cip_write_bool(&s, "Bits", 127, 1));
    uint8_t bits[128];
    ASSERT_EQ(0, cip_read_bool(&s, "Bits", 0, 128, bits));
    for (int i = 0; i < 128; i++)
        EXPECT_EQ(i == 3 || i == 40 || i == 127, bits[i] != 0) << i;
    ASSERT_EQ(0, cip_read_bool(&s, "Bits", 39, 3, bits));
    EXPECT_EQ(0, bits[0]);
    EXPECT_EQ(1, bits[1]);
    EXPECT_EQ(0, bits[2]);
    ASSERT_EQ(0, cip_write_bool(&s, "Bits", 40, 0));
    ASSERT_EQ(0, cip_read_bool(&s, "Bits", 40, 1, bits));
    EXPECT_EQ(0, bits[0]);

    // A bit the controller sets meanwhile in another word survives a write.
    ASSERT_TRUE(sim.control("set Bits[1] 1"));
    ASSERT_EQ(0, cip_write_bool(&s, "Bits", 100, 1));
    ASSERT_EQ(0, cip_read_bool(&s, "Bits", 0, 2, bits));
    EXPECT_EQ(1, bits[1]);

    // Far beyond the old 2015-bit limit, with a 32-bit element index.
    ASSERT_EQ(0, cip_write_bool(&s, "HugeBits", 100000, 1));
    ASSERT_EQ(0, cip_read_bool(&s, "HugeBits", 99999, 3, bits));
    EXPECT_EQ(0, bits[0]);
    EXPECT_EQ(1, bits[1]);
    EXPECT_EQ(0, bits[2]);
    // A long run of bits is read in several requests.
    std::vector<uint8_t> many(4532);
    ASSERT_EQ(0, cip_read_bool(&s, "HugeBits", 95500, 4532, many.data()));
    for (int i = 0; i < 4532; i++)
        EXPECT_EQ(i == 4500, many[i] != 0) << i;
    // Past the end of the array: refused.
    many.resize(4533);
    EXPECT_EQ(1, cip_read_bool(&s, "HugeBits", 95500, 4533, many.data()));

    // A scalar BOOL answers bytes.
    ASSERT_EQ(0, cip_write_numeric(&s, "Flag", 0, CIP_TYPE_BOOL, 1));
    ASSERT_EQ(0, cip_read_bool(&s, "Flag", 0, 1, bits));
    EXPECT_EQ(1, bits[0]);
    // Not a BOOL array: refused.
    EXPECT_EQ(1, cip_write_bool(&s, "Counter", 1, 1));
    EXPECT_EQ(1, cip_read_bool(&s, "Counter", 0, 1, bits));
}

TEST_P(SimTest, MaskedWritesChangeOnlyTheMaskedBits) {
    ASSERT_EQ(0, cip_write_numeric(&s, "Counter", 0, CIP_TYPE_DINT, 0x0F0F));
    uint8_t path[CIP_PATH_MAX];
    int plen = cip_build_tag_path("Counter", 0, 0, path, sizeof path);
    // Bits 4..7 := 0b1010.
    uint32_t mask = 0xF0, orm = 0xA0, andm = ~mask | orm;
    ASSERT_EQ(0, cip_write_masked(&s, path, (size_t)plen, 4, orm, andm));
    EXPECT_EQ((double)0x0FAF, read1("Counter"));
    EXPECT_EQ(1, cip_write_masked(&s, path, (size_t)plen, 5, 0, 0));
}

TEST_P(SimTest, MultipleServicePacketWithPerItemErrors) {
    uint8_t paths[4][CIP_PATH_MAX];
    const char *names[] = {"Counter", "Temp", "NoSuchTag", "Flag"};
    cip_multi_item items[4];
    for (int i = 0; i < 4; i++) {
        int n = cip_build_tag_path(names[i], 0, 0, paths[i], CIP_PATH_MAX);
        items[i] = cip_multi_item{paths[i], (size_t)n, 1};
    }
    cip_multi_result res[4];
    ASSERT_EQ(0, cip_read_multi(&s, items, 4, res));
    EXPECT_EQ(0, res[0].status);
    EXPECT_EQ(CIP_TYPE_DINT, res[0].type);
    EXPECT_EQ(42.0, cip_decode_numeric(res[0].value, res[0].type));
    EXPECT_FLOAT_EQ(21.5, cip_decode_numeric(res[1].value, res[1].type));
    EXPECT_EQ(CIP_STATUS_PATH_SEGMENT_ERROR, res[2].status);
    EXPECT_EQ(0u, res[2].size);
    EXPECT_EQ(0, res[3].status);
    EXPECT_EQ(1u, res[3].size);

    // Too many items or too long a request: nothing is sent.
    std::vector<cip_multi_item> many(61, items[0]);
    std::vector<cip_multi_result> mres(61);
    EXPECT_EQ(-1, cip_read_multi(&s, many.data(), 61, mres.data()));
    // 40 reads of "Counter" (12 bytes each + offset) exceed the limits.
    EXPECT_EQ(-1, cip_read_multi(&s, many.data(), 40, mres.data()));
    // The session is still fine.
    EXPECT_EQ(0, cip_read_multi(&s, many.data(), 30, mres.data()));
    EXPECT_EQ(42.0, cip_decode_numeric(mres[29].value, mres[29].type));
}

TEST_P(SimTest, SymbolsIdentityAttributesAndClock) {
    cip_symbol syms[32];
    int n = 0;
    ASSERT_EQ(0, cip_get_symbols(&s, syms, 32, &n));
    ASSERT_EQ(12, n);
    EXPECT_STREQ("Counter", syms[0].name);
    EXPECT_EQ(CIP_TYPE_DINT, cip_sym_to_type(syms[0].type));
    EXPECT_STREQ("Bits", syms[10].name);
    EXPECT_EQ(CIP_TYPE_DWORD, cip_sym_to_type(syms[10].type));
    EXPECT_EQ(0x2000, syms[10].type & 0x6000);
    // Only the first max are stored.
    ASSERT_EQ(0, cip_get_symbols(&s, syms, 5, &n));
    EXPECT_EQ(5, n);

    uint32_t inst = cip_find_tag_instance(&s, "Data");
    EXPECT_NE(0u, inst);
    EXPECT_EQ(0u, cip_find_tag_instance(&s, "data"));  // case-sensitive on our side
    EXPECT_EQ(0u, cip_find_tag_instance(&s, "Missing"));

    uint8_t id[128];
    size_t len = 0;
    ASSERT_EQ(0, cip_read_identity(&s, id, sizeof id, &len));
    ASSERT_GT(len, 15u);
    EXPECT_EQ(0x0060, eip_get16(id + 8));  // run mode
    EXPECT_EQ(std::string("ZQ Logix Simulator"), std::string((char *)id + 15, id[14]));
    uint8_t prog[256];
    ASSERT_EQ(0, cip_get_attributes_all(&s, 0x64, 1, prog, sizeof prog, &len));
    ASSERT_GE(len, 2u);
    EXPECT_EQ(std::string("ZQSIM"), std::string((char *)prog + 2, eip_get16(prog)));

    uint8_t a1[64], a2[64];
    size_t l1 = 0, l2 = 0;
    ASSERT_EQ(0, cip_read_controller_attrs(&s, a1, sizeof a1, &l1));
    EXPECT_EQ(38u, l1);
    ASSERT_EQ(0, cip_read_controller_attrs(&s, a2, sizeof a2, &l2));
    EXPECT_EQ(0, memcmp(a1, a2, l1));
    ASSERT_TRUE(sim.control("download"));
    ASSERT_EQ(0, cip_read_controller_attrs(&s, a2, sizeof a2, &l2));
    EXPECT_EQ(38u, l2);
    EXPECT_NE(0, memcmp(a1, a2, l1));

    int64_t target = 1700000000000000LL;
    ASSERT_EQ(0, cip_write_plc_time(&s, target));
    int64_t now = 0;
    ASSERT_EQ(0, cip_read_plc_time(&s, &now));
    EXPECT_LT(std::llabs(now - target), 2000000LL);
}

TEST_P(SimTest, BadNamesAndPathsAreRefusedWithoutLosingTheSession) {
    std::string longname(256, 'x');
    double v;
    uint16_t type;
    EXPECT_EQ(1, cip_read_real(&s, longname.c_str(), 0, 1, &v, &type));
    EXPECT_EQ(1, cip_write_numeric(&s, longname.c_str(), 0, CIP_TYPE_DINT, 1));
    EXPECT_EQ(1, cip_read_real(&s, "Nope", 0, 1, &v, &type));
    uint8_t odd[3] = {0x91, 0x01, 'A'};
    uint8_t val[8];
    uint32_t size;
    EXPECT_EQ(1, cip_read_tag_single(&s, odd, 3, val, &size, &type));
    EXPECT_EQ(1, cip_read_tag_single(&s, odd, 0, val, &size, &type));
    EXPECT_EQ(42.0, read1("Counter"));
}

INSTANTIATE_TEST_SUITE_P(Messaging, SimTest, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Connected" : "Unconnected"; });

// Faults the simulator injects on request.
class SimFaults : public ::testing::Test {
  protected:
    plcsim_proc sim;
    void SetUp() override {
        log_set_flags(0, 0, 0);
        ASSERT_TRUE(sim.start({"--tag", "X:DINT[1]=7"})) << sim.output();
    }
    void TearDown() override { sim.cleanup(); }
};

TEST_F(SimFaults, ForwardOpenRefusedOrWithZeroIdsKeepsUnconnectedMessaging) {
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0));
    ASSERT_TRUE(sim.control("refuse_forward_open 1"));
    EXPECT_EQ(1, cip_forward_open(&s));
    EXPECT_EQ(0, s.cip_connected);
    ASSERT_TRUE(sim.control("refuse_forward_open 0\nzero_conn_ids 1"));
    EXPECT_EQ(1, cip_forward_open(&s));
    EXPECT_EQ(0, s.cip_connected);
    double v = 0;
    uint16_t t;
    EXPECT_EQ(0, cip_read_real(&s, "X", 0, 1, &v, &t));
    EXPECT_EQ(7.0, v);
    EXPECT_EQ(0, cip_forward_close(&s));  // nothing to close: sends nothing
    eip_disconnect(&s);
    EXPECT_NE(std::string::npos, sim.output().find("refused Forward Open"));
}

TEST_F(SimFaults, DroppedConnectionIsATransportFailure) {
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0));
    ASSERT_TRUE(sim.control("drop_after 2"));
    double v;
    uint16_t t;
    EXPECT_EQ(0, cip_read_real(&s, "X", 0, 1, &v, &t));
    EXPECT_EQ(0, cip_read_real(&s, "X", 0, 1, &v, &t));
    EXPECT_EQ(-1, cip_read_real(&s, "X", 0, 1, &v, &t));
    eip_disconnect(&s);
    ASSERT_TRUE(sim.control("clear\ndrop_all"));
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0));
    ASSERT_EQ(0, cip_forward_open(&s));
    ASSERT_TRUE(sim.control("drop_all"));
    EXPECT_EQ(-1, cip_read_real(&s, "X", 0, 1, &v, &t));
    eip_disconnect(&s);
}

TEST_F(SimFaults, ClosedListenerAndDelayedReplies) {
    ASSERT_TRUE(sim.control("close_listen 1500"));
    ASSERT_TRUE(sim.wait_output("listening socket closed", 5000));
    eip_session s;
    EXPECT_EQ(-1, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0));
    EXPECT_EQ(-1, s.sock);
    ASSERT_TRUE(
        wait_until([&] { return eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0) == 0; }, 10000));
    ASSERT_TRUE(sim.control("delay_ms 150"));
    double v;
    uint16_t t;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, cip_read_real(&s, "X", 0, 1, &v, &t));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
    eip_disconnect(&s);
}

TEST_F(SimFaults, OtherSlotIsRefusedByTheConnectionManager) {
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 3));
    double v;
    uint16_t t;
    EXPECT_EQ(1, cip_read_real(&s, "X", 0, 1, &v, &t));
    EXPECT_EQ(1, cip_forward_open(&s));
    eip_disconnect(&s);
    EXPECT_NE(std::string::npos, sim.output().find("route to another slot"));
}

}  // namespace

// CIP encoders and decoders: tag paths, value encoding, and the decoding of
// replies that a well-behaved controller would not send.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "plc_driver/cip.h"
#include "test_eip_fake.h"

namespace {

bytes path_of(const char *name, uint32_t index, int with_index) {
    uint8_t p[CIP_PATH_MAX];
    int n = cip_build_tag_path(name, index, with_index, p, sizeof p);
    return n < 0 ? bytes{} : bytes(p, p + n);
}

bytes path_ex(const char *text, int *from, int *to) {
    uint8_t p[CIP_PATH_MAX];
    int n = cip_build_tag_path_ex(text, from, to, p, sizeof p);
    return n < 0 ? bytes{} : bytes(p, p + n);
}

TEST(CipPath, SymbolicAndElementSegments) {
    EXPECT_EQ((bytes{0x91, 4, 'D', 'a', 't', 'a', 0x29, 0, 0x2C, 0x01}), path_of("Data", 300, 1));
    EXPECT_EQ((bytes{0x91, 4, 'D', 'a', 't', 'a', 0x28, 5}), path_of("Data", 5, 1));
    EXPECT_EQ((bytes{0x91, 3, 'A', 'b', 'c', 0}), path_of("Abc", 0, 0));
    // Beyond 16 bits: the 32-bit element segment, never the low 16 bits.
    EXPECT_EQ((bytes{0x91, 2, 'A', 'r', 0x2A, 0, 0x04, 0x00, 0x01, 0x00}), path_of("Ar", 65540, 1));
    EXPECT_EQ((bytes{0x91, 2, 'A', 'r', 0x29, 0, 0xFF, 0xFF}), path_of("Ar", 65535, 1));
    std::string n253(253, 'x'), n254(254, 'x'), n249(249, 'y'), n250(250, 'y');
    EXPECT_EQ(256u, path_of(n253.c_str(), 0, 0).size());
    EXPECT_TRUE(path_of(n254.c_str(), 0, 0).empty());
    EXPECT_FALSE(path_of(n249.c_str(), 1, 1).empty());
    EXPECT_TRUE(path_of(n250.c_str(), 1, 1).empty());
    EXPECT_TRUE(path_of("", 0, 0).empty());
    uint8_t small[5];
    EXPECT_EQ(-1, cip_build_tag_path("Data", 0, 0, small, sizeof small));
}

TEST(CipPath, FullSyntaxWithMembersIndicesAndBits) {
    int f, t;
    bytes p = path_ex("Motor.Speed", &f, &t);
    EXPECT_EQ((bytes{0x91, 5, 'M', 'o', 't', 'o', 'r', 0, 0x91, 5, 'S', 'p', 'e', 'e', 'd', 0}), p);
    EXPECT_EQ(-1, f);
    EXPECT_EQ(path_of("Data", 300, 1), path_ex("Data[300]", &f, &t));
    EXPECT_EQ(path_of("Status", 0, 0), path_ex("Status.3", &f, &t));
    EXPECT_EQ(3, f);
    EXPECT_EQ(3, t);
    path_ex("Flags.0-15", &f, &t);
    EXPECT_EQ(0, f);
    EXPECT_EQ(15, t);
    path_ex("Flags.63", &f, &t);
    EXPECT_EQ(63, f);
    EXPECT_TRUE(path_ex("Flags.64", &f, &t).empty());
    EXPECT_TRUE(path_ex("Flags.0-99999999999", &f, &t).empty());
    path_ex("Tag.3-", &f, &t);
    EXPECT_EQ(3, f);
    EXPECT_EQ(0, t);
    EXPECT_EQ((bytes{0x91, 3, 'T', 'a', 'g', 0, 0x91, 2, '-', '3'}), path_ex("Tag.-3", &f, &t));
    EXPECT_EQ(-1, f);
    EXPECT_EQ((bytes{0x91, 3, 'T', 'a', 'g', 0, 0x91, 2, '3', 'a'}), path_ex("Tag.3a", &f, &t));
    EXPECT_EQ(-1, f);
    EXPECT_EQ(path_of("Arr", 1, 1), path_ex("Arr[1].5", &f, &t));
    EXPECT_EQ(5, f);
    EXPECT_EQ((bytes{0x91, 3, 'A', 'r', 'r', 0, 0x28, 2, 0x28, 3}), path_ex("Arr[2,3]", &f, &t));
    EXPECT_EQ((bytes{0x91, 1, 'A', 0, 0x2A, 0, 0xA0, 0x86, 0x01, 0}), path_ex("A[100000]", &f, &t));
    // Malformed text never yields a path.
    for (const char *bad : {"", ".", "A.", ".A", "A..B", "A[", "A[]", "A[1", "A[x]", "A[1]x",
                            "A[1,]", "[1]", "A[99999999999]"})
        EXPECT_TRUE(path_ex(bad, &f, &t).empty()) << bad;
    std::string n256(256, 'x');
    EXPECT_TRUE(path_ex(n256.c_str(), &f, &t).empty());
    std::string too_long(512, 'a');
    EXPECT_TRUE(path_ex(too_long.c_str(), &f, &t).empty());
    // The whole path stays within 255 bytes.
    std::string members = std::string(120, 'a') + "." + std::string(120, 'b') + "." + "c";
    EXPECT_FALSE(path_ex(members.c_str(), &f, &t).empty());
    members += std::string(20, 'd');
    EXPECT_TRUE(path_ex(members.c_str(), &f, &t).empty());
}

TEST(CipValues, TypeSizesDecodingAndSymbolTypes) {
    EXPECT_EQ(1, cip_type_size(CIP_TYPE_BOOL));
    EXPECT_EQ(8, cip_type_size(CIP_TYPE_LREAL));
    EXPECT_EQ(4, cip_type_size(CIP_TYPE_DWORD));
    EXPECT_EQ(0, cip_type_size(CIP_TYPE_STRING));
    EXPECT_EQ(0, cip_type_size(0xCC));
    EXPECT_EQ(0, cip_type_size(0x02A0));
    uint8_t b[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(-1.0, cip_decode_numeric(b, CIP_TYPE_DINT));
    EXPECT_EQ(4294967295.0, cip_decode_numeric(b, CIP_TYPE_UDINT));
    EXPECT_EQ(-1.0, cip_decode_numeric(b, CIP_TYPE_SINT));
    EXPECT_EQ(1.0, cip_decode_numeric(b, CIP_TYPE_BOOL));
    EXPECT_EQ(0.0, cip_decode_numeric(b, CIP_TYPE_STRING));
    uint8_t r[4] = {0x00, 0x00, 0xC0, 0x3F};
    EXPECT_EQ(1.5, cip_decode_numeric(r, CIP_TYPE_REAL));
    EXPECT_EQ(CIP_TYPE_DINT, cip_sym_to_type(0x20C4));
    EXPECT_EQ(CIP_TYPE_BOOL, cip_sym_to_type(0x03C1));
    EXPECT_EQ(0, cip_sym_to_type(0x8FCE));
    EXPECT_EQ(0, cip_sym_to_type(0x00D0));
}

TEST(CipValues, NumbersAreRoundedAndRangeChecked) {
    uint8_t out[8];
    size_t size = 0;
    auto enc = [&](uint16_t type, double v) {
        int rc = cip_encode_numeric(type, v, out, &size);
        return rc == 0 ? cip_decode_numeric(out, type) : NAN;
    };
    EXPECT_EQ(-2.0, enc(CIP_TYPE_DINT, -1.5));
    EXPECT_EQ(3.0, enc(CIP_TYPE_DINT, 2.5));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(0, cip_encode_numeric(CIP_TYPE_BOOL, 0.3, out, &size));
    EXPECT_EQ(0xFF, out[0]);
    EXPECT_EQ(0, cip_encode_numeric(CIP_TYPE_BOOL, 0.0, out, &size));
    EXPECT_EQ(0x00, out[0]);
    EXPECT_EQ(32767.0, enc(CIP_TYPE_INT, 32767.4));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_INT, 32767.5)));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_INT, 40000)));
    EXPECT_EQ(-32768.0, enc(CIP_TYPE_INT, -32768.4));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_USINT, -1)));
    EXPECT_EQ(255.0, enc(CIP_TYPE_USINT, 255));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_UDINT, 4294967296.0)));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_LINT, 9.3e18)));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_ULINT, -0.6)));
    EXPECT_EQ(0.0, enc(CIP_TYPE_ULINT, -0.4));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_REAL, 1e39)));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_DINT, NAN)));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_LREAL, INFINITY)));
    EXPECT_TRUE(std::isnan(enc(CIP_TYPE_BOOL, NAN)));
    EXPECT_EQ(1e300, enc(CIP_TYPE_LREAL, 1e300));
    EXPECT_EQ(1, cip_encode_numeric(CIP_TYPE_DWORD, 1, out, &size));
    EXPECT_EQ(1, cip_encode_numeric(CIP_TYPE_STRING, 1, out, &size));
}

// Client requests against a scripted controller.
struct fake_plc {
    std::function<bytes(const bytes &cip)> answer;
    std::vector<bytes> cips;
    fake_peer peer;
    eip_session s;
    explicit fake_plc(std::function<bytes(const bytes &cip)> a)
        : answer(std::move(a)), peer(cip_responder([this](const bytes &cip) {
              cips.push_back(cip);
              return answer(cip);
          })) {
        EXPECT_EQ(0, eip_connect(&s, "127.0.0.1", peer.port, 1));
    }
    ~fake_plc() { eip_disconnect(&s); }
};

// The embedded request inside an Unconnected Send.
bytes embedded(const bytes &ucmm) {
    if (ucmm.size() < 10 || ucmm[0] != 0x52) return {};
    size_t n = eip_get16(ucmm.data() + 8);
    return bytes(ucmm.begin() + 10, ucmm.begin() + 10 + (long)n);
}

TEST(CipClient, UnconnectedSendFraming) {
    fake_plc plc([](const bytes &) { return bytes{0xCC, 0, 0, 0, 0xC4, 0, 7, 0, 0, 0}; });
    double v = 0;
    uint16_t type = 0;
    ASSERT_EQ(0, cip_read_real(&plc.s, "Abc", 0, 1, &v, &type));
    EXPECT_EQ(7.0, v);
    ASSERT_EQ(0, cip_write_numeric(&plc.s, "Abc", 0, CIP_TYPE_BOOL, 1));
    ASSERT_EQ(2u, plc.cips.size());
    const bytes &u = plc.cips[0];
    // Prefix, length 12, request (element count 1), route to slot 1.
    EXPECT_EQ((bytes{0x52, 2, 0x20, 6, 0x24, 1, 0x09, 0xF0, 12, 0}),
              bytes(u.begin(), u.begin() + 10));
    EXPECT_EQ((bytes{0x4C, 4, 0x91, 3, 'A', 'b', 'c', 0, 0x28, 0, 1, 0}), embedded(u));
    EXPECT_EQ((bytes{0, 1, 0, 1, 1}), bytes(u.end() - 5, u.end()));
    // An odd-sized request gets one pad byte before the route.
    const bytes &w = plc.cips[1];
    EXPECT_EQ(15, eip_get16(w.data() + 8));
    EXPECT_EQ((bytes{0xC1, 0, 1, 0, 0xFF, 0, 1, 0, 1, 1}), bytes(w.end() - 10, w.end()));
}

TEST(CipClient, ShortOrUnsupportedRepliesAreRefusalsNotCrashes) {
    int n = 0;
    fake_plc plc([&](const bytes &) -> bytes {
        switch (n++) {
            case 0:
                return {0xCC, 0, 0, 0, 0xC4};  // type word cut off
            case 1:
                return {0xCC, 0, 0, 0, 0xD0, 0, 1, 2, 3};  // STRING: size 0
            case 2:
                return {0xCC, 0, 0, 0, 0xC4, 0, 1};  // element cut off
            case 3:
                return {0xCC, 0};  // shorter than a header
            case 4:
                return {0xCC, 0, 0, 2, 0};  // extended status words missing
            default:
                return {0xCC, 0, 0x05, 1, 0x34, 0x12};
        }
    });
    log_capture log;
    double v[4];
    uint16_t type;
    EXPECT_EQ(1, cip_read_real(&plc.s, "A", 0, 1, v, &type));
    EXPECT_EQ(1, cip_read_real(&plc.s, "A", 0, 1, v, &type));
    uint8_t path[] = {0x91, 1, 'A', 0};
    uint8_t val[8];
    uint32_t size;
    EXPECT_EQ(1, cip_read_tag_single(&plc.s, path, 4, val, &size, &type));
    EXPECT_EQ(-1, cip_read_real(&plc.s, "A", 0, 1, v, &type));
    EXPECT_TRUE(log.has("CIP: відповідь занадто коротка"));
    EXPECT_EQ(-1, cip_read_real(&plc.s, "A", 0, 1, v, &type));
    EXPECT_TRUE(log.has("CIP: переповнення заголовка відповіді"));
    EXPECT_EQ(1, cip_read_real(&plc.s, "A", 0, 1, v, &type));
    EXPECT_TRUE(log.has("CIP помилка: статус 0x05, розширений 0x1234")) << log.text();
}

TEST(CipClient, MultipleServicePacketDecoding) {
    fake_plc plc([](const bytes &) {
        // General status 0x1E; item 0 DINT 5, item 1 status 4, item 2 STRING,
        // item 3 offset beyond the data.
        bytes r = {0x8A, 0, 0x1E, 0, 4, 0};
        bytes items[3] = {{0xCC, 0, 0, 0, 0xC4, 0, 5, 0, 0, 0},
                          {0xCC, 0, 0x04, 0},
                          {0xCC, 0, 0, 0, 0xD0, 0, 1, 2, 3, 4}};
        uint16_t off = 2 + 2 * 4;
        bytes offs;
        for (auto &it : items) {
            offs.push_back((uint8_t)off);
            offs.push_back(0);
            off = (uint16_t)(off + it.size());
        }
        offs.push_back(0xF0);
        offs.push_back(0x01);
        r.insert(r.end(), offs.begin(), offs.end());
        for (auto &it : items)
            r.insert(r.end(), it.begin(), it.end());
        return r;
    });
    uint8_t p[4][8];
    cip_multi_item items[4];
    for (int i = 0; i < 4; i++) {
        int n = cip_build_tag_path("T", (uint32_t)i, 1, p[i], sizeof p[i]);
        items[i] = {p[i], (size_t)n, 1};
    }
    cip_multi_result res[4];
    ASSERT_EQ(0, cip_read_multi(&plc.s, items, 4, res));
    EXPECT_EQ(0, res[0].status);
    EXPECT_EQ(5.0, cip_decode_numeric(res[0].value, res[0].type));
    EXPECT_EQ(4, res[1].status);
    EXPECT_EQ(0u, res[1].size);
    EXPECT_EQ(-1, res[2].status);
    EXPECT_EQ(-1, res[3].status);
    // The request: service count 4, first offset 2 + 2n = 10.
    bytes req = embedded(plc.cips[0]);
    EXPECT_EQ((bytes{0x0A, 2, 0x20, 2, 0x24, 1, 4, 0, 10, 0}),
              bytes(req.begin(), req.begin() + 10));
    // A reply with a different count is a malformed reply.
    EXPECT_EQ(-1, cip_read_multi(&plc.s, items, 3, res));
}

TEST(CipClient, ForwardOpenRepliesAndRequest) {
    int n = 0;
    fake_plc plc([&](const bytes &) -> bytes {
        bytes ok = {0xD4, 0, 0, 0, 0x11, 0, 0, 0x80, 0, 0, 0, 0};
        switch (n++) {
            case 0:
                return {0xD4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};  // both ids 0
            case 1:
                return ok;  // T->O 0: use O->T
            case 2:
                return {0xCE, 0, 0, 0};  // Forward Close
            case 3:
                return {0xD4, 0, 0, 0};  // too short
            default:
                return {0xD4, 0, 0x01, 1, 0x13, 0x01};
        }
    });
    log_capture log;
    EXPECT_EQ(1, cip_forward_open(&plc.s));
    EXPECT_EQ(0, plc.s.cip_connected);
    EXPECT_TRUE(log.has("ForwardOpen: обидва conn_id=0 (UCMM fallback)"));
    EXPECT_EQ(0, cip_forward_open(&plc.s));
    EXPECT_EQ(1, plc.s.cip_connected);
    EXPECT_EQ(0x80000011u, plc.s.to_conn_id);
    EXPECT_EQ(0, cip_forward_close(&plc.s));
    EXPECT_EQ(0, plc.s.cip_connected);
    EXPECT_EQ(-1, cip_forward_open(&plc.s));
    EXPECT_TRUE(log.has("ForwardOpen: неповна відповідь (4 байт)"));
    EXPECT_EQ(1, cip_forward_open(&plc.s));
    EXPECT_TRUE(log.has("ForwardOpen: CIP помилка 0x01 ext 0x0113")) << log.text();

    // Forward Open request: 48 bytes, sent directly (not inside an Unconnected Send).
    const bytes &fo = plc.cips[0];
    ASSERT_EQ(48u, fo.size());
    EXPECT_EQ((bytes{0x54, 2, 0x20, 6, 0x24, 1, 0x0A, 0xF0}), bytes(fo.begin(), fo.begin() + 8));
    EXPECT_EQ(0u, eip_get32(fo.data() + 12));      // T->O id proposed 0
    EXPECT_EQ(0x43F4, eip_get16(fo.data() + 32));  // O->T parameters
    EXPECT_EQ((bytes{0xA3, 3, 1, 1, 0x20, 2, 0x24, 1}), bytes(fo.end() - 8, fo.end()));
    // Distinct connection ids for successive opens.
    EXPECT_NE(eip_get32(plc.cips[0].data() + 8), eip_get32(plc.cips[1].data() + 8));
    // Forward Close: 24 bytes with the serial of the open connection.
    const bytes &fc = plc.cips[2];
    ASSERT_EQ(24u, fc.size());
    EXPECT_EQ(0x4E, fc[0]);
    EXPECT_EQ(eip_get16(plc.cips[1].data() + 16), eip_get16(fc.data() + 8));
}

TEST(CipClient, SymbolRequestsCarryAThreeWordPath) {
    fake_plc plc([](const bytes &) {
        // One page: instance 0x10 "Alpha".
        return bytes{0xD5, 0, 0, 0, 0x10, 0, 0, 0, 5, 0, 'A', 'l', 'p', 'h', 'a', 0xC4, 0};
    });
    cip_symbol syms[4];
    int n = 0;
    ASSERT_EQ(0, cip_get_symbols(&plc.s, syms, 4, &n));
    EXPECT_EQ(1, n);
    EXPECT_STREQ("Alpha", syms[0].name);
    bytes req = embedded(plc.cips[0]);
    EXPECT_EQ((bytes{0x55, 3, 0x20, 0x6B, 0x25, 0, 0, 0, 2, 0, 1, 0, 2, 0}), req);
    EXPECT_EQ(0x10u, cip_find_tag_instance(&plc.s, "Alpha"));
    EXPECT_EQ(0u, cip_find_tag_instance(&plc.s, "alpha"));
    req = embedded(plc.cips[1]);
    EXPECT_EQ((bytes{0x55, 3, 0x20, 0x6B, 0x25, 0, 0, 0, 1, 0, 1, 0}), req);
}

TEST(CipClient, ClockRepliesAreChecked) {
    int n = 0;
    fake_plc plc([&](const bytes &) -> bytes {
        switch (n++) {
            case 0:
                return {0x83, 0, 0, 0, 1, 0, 11, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7};  // 13 bytes of data
            case 1:
                return {0x83, 0, 0, 0, 1, 0, 11, 0, 0x14, 0, 1, 2, 3, 4, 5, 6, 7, 8};
            case 2:
                return {0x83, 0, 0, 0, 1, 0, 11, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
            default:
                return {0x84, 0, 0, 0, 1, 0, 6, 0, 0x0E, 0};
        }
    });
    log_capture log;
    int64_t us = 0;
    EXPECT_EQ(1, cip_read_plc_time(&plc.s, &us));
    EXPECT_TRUE(log.has("PLC time: коротка відповідь 13"));
    EXPECT_EQ(1, cip_read_plc_time(&plc.s, &us));
    EXPECT_TRUE(log.has("PLC time read: attr status 0x0014"));
    EXPECT_EQ(0, cip_read_plc_time(&plc.s, &us));
    EXPECT_EQ(1, us);
    EXPECT_EQ(1, cip_write_plc_time(&plc.s, 5));
    EXPECT_TRUE(log.has("PLC time write: attr status 0x000E"));
    bytes w = embedded(plc.cips[3]);
    EXPECT_EQ((bytes{0x04, 2, 0x20, 0x8B, 0x24, 1, 1, 0, 6, 0, 5, 0, 0, 0, 0, 0, 0, 0}), w);
}

TEST(CipClient, RandomRepliesNeverReadPastWhatArrived) {
    std::mt19937 rng(99);
    fake_plc plc([&](const bytes &) {
        bytes r(rng() % 80);
        for (auto &x : r)
            x = (uint8_t)rng();
        if (r.size() > 4 && rng() % 2) {
            r[2] = rng() % 3 ? 0 : 0x06;  // mostly "success" so the decoders run
            r[3] = (uint8_t)(rng() % 2);
        }
        return r;
    });
    log_set_flags(0, 0, 0);
    uint8_t p[CIP_PATH_MAX];
    int n = cip_build_tag_path("T", 0, 0, p, sizeof p);
    cip_multi_item items[3] = {{p, (size_t)n, 1}, {p, (size_t)n, 1}, {p, (size_t)n, 1}};
    for (int i = 0; i < 200; i++) {
        double v[8];
        uint16_t t;
        uint8_t buf[64], bits[70];
        uint32_t size;
        int cnt;
        int64_t us;
        cip_multi_result res[3];
        cip_symbol syms[4];
        int r = 0, n_out = -1;
        size_t len_out = 0;
        switch (i % 9) {
            case 0:
                r = cip_read_real(&plc.s, "T", 0, 8, v, &t, &n_out);
                EXPECT_TRUE(r != 0 || (n_out >= 0 && n_out <= 8)) << n_out;
                break;
            case 1:
                r = cip_read_tag_single(&plc.s, p, (size_t)n, buf, &size, &t);
                EXPECT_TRUE(r != 0 || size <= 8u);
                break;
            case 2:
                r = cip_read_tag_count(&plc.s, p, (size_t)n, 16, buf, sizeof buf, &size, &t, &cnt);
                EXPECT_TRUE(r != 0 || (cnt >= 0 && cnt <= 16 && cnt * size <= sizeof buf));
                break;
            case 3:
                r = cip_read_bool(&plc.s, "T", 5, 70, bits);
                for (uint8_t b : bits)
                    EXPECT_TRUE(r != 0 || b <= 1);
                break;
            case 4:
                r = cip_read_multi(&plc.s, items, 3, res);
                for (const auto &x : res)
                    EXPECT_TRUE(r != 0 || x.size <= sizeof x.value);
                break;
            case 5:
                r = cip_get_symbols(&plc.s, syms, 4, &cnt);
                EXPECT_TRUE(r != 0 || (cnt >= 0 && cnt <= 4));
                break;
            case 6:
                r = cip_read_plc_time(&plc.s, &us);
                break;
            case 7:
                r = cip_read_identity(&plc.s, buf, sizeof buf, &len_out);
                EXPECT_TRUE(r != 0 || len_out <= sizeof buf);
                break;
            default:
                r = cip_write_bool(&plc.s, "T", 33, 1);
                cip_find_tag_instance(&plc.s, "T");
                break;
        }
        // Every operation reports done, refused or failed, nothing else.
        EXPECT_TRUE(r == 0 || r == 1 || r == -1) << i << ": " << r;
    }
    log_set_flags(1, 1, 1);
}

}  // namespace

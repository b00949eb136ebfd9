// The encapsulation session against scripted peers: framing, size limits,
// sequence counts and every way a reply can be wrong.

#include <gtest/gtest.h>

#include "plc_driver/eip.h"
#include "test_eip_fake.h"

namespace {

TEST(EipConnect, RefusesABadAddressBeforeConnecting) {
    log_capture log;
    eip_session s;
    EXPECT_EQ(-1, eip_connect(&s, "10.0.0", EIP_PORT, 0));
    EXPECT_EQ(-1, s.sock);
    EXPECT_TRUE(log.has("невірна IP-адреса: 10.0.0")) << log.text();
}

TEST(EipConnect, RegistersAndUnregisters) {
    fake_peer peer([](const bytes &req, bytes *reply) {
        if (eip_get16(req.data()) == EIP_CMD_REGISTER_SESSION) {
            *reply = eip_reply(req, bytes(req.begin() + 24, req.end()));
            return true;
        }
        return false;
    });
    log_capture log;
    eip_session s;
    s.seq = 77;
    s.cip_connected = 1;
    ASSERT_EQ(0, eip_connect(&s, "127.0.0.1", peer.port, 3));
    EXPECT_GE(s.sock, 0);
    EXPECT_EQ(0x1234u, s.session_handle);
    EXPECT_EQ(3u, s.slot);
    EXPECT_EQ(0, s.seq);
    EXPECT_EQ(0, s.cip_connected);
    EXPECT_TRUE(log.has("Ethernet/IP сесія зареєстрована!"));
    eip_disconnect(&s);
    EXPECT_EQ(-1, s.sock);
    EXPECT_EQ(0u, s.session_handle);
    eip_disconnect(&s);  // closed: nothing happens

    ASSERT_TRUE(wait_until_count(peer, 2));
    auto reqs = peer.received();
    ASSERT_EQ(2u, reqs.size());
    // RegisterSession: 28 bytes, version 1, handle 0.
    EXPECT_EQ(28u, reqs[0].size());
    EXPECT_EQ(bytes({0x65, 0, 4, 0, 0, 0, 0, 0}), bytes(reqs[0].begin(), reqs[0].begin() + 8));
    EXPECT_EQ(1, eip_get16(reqs[0].data() + 24));
    // UnRegisterSession: header only, with the handle.
    EXPECT_EQ(24u, reqs[1].size());
    EXPECT_EQ(EIP_CMD_UNREGISTER_SESSION, eip_get16(reqs[1].data()));
    EXPECT_EQ(0x1234u, eip_get32(reqs[1].data() + 4));
}

TEST(EipConnect, RegisterReplyLargerThanItsBufferFails) {
    fake_peer peer([](const bytes &req, bytes *reply) {
        *reply = eip_reply(req, bytes(8, 0));
        return true;
    });
    log_capture log;
    eip_session s;
    EXPECT_EQ(-1, eip_connect(&s, "127.0.0.1", peer.port, 0));
    EXPECT_EQ(-1, s.sock);
    EXPECT_TRUE(log.has("EIP: відповідь занадто велика: 8 байт")) << log.text();
}

TEST(EipConnect, PeerThatNeverAnswersTimesOut) {
    fake_peer peer([](const bytes &, bytes *) { return true; });
    log_capture log;
    eip_session s;
    EXPECT_EQ(-1, eip_connect(&s, "127.0.0.1", peer.port, 0));
    EXPECT_EQ(-1, s.sock);
    EXPECT_TRUE(log.has("EIP: помилка отримання заголовка")) << log.text();
}

// A session on a peer whose SendRRData/SendUnitData answers the test decides.
struct scripted {
    std::function<bytes(const bytes &req)> answer;
    fake_peer peer;
    eip_session s;
    explicit scripted(std::function<bytes(const bytes &req)> a)
        : answer(std::move(a)), peer([this](const bytes &req, bytes *reply) {
              uint16_t cmd = eip_get16(req.data());
              if (cmd == EIP_CMD_REGISTER_SESSION)
                  *reply = eip_reply(req, bytes(req.begin() + 24, req.end()));
              else if (cmd == EIP_CMD_SEND_RR_DATA || cmd == EIP_CMD_SEND_UNIT_DATA)
                  *reply = answer(req);
              else
                  return false;
              return true;
          }) {
        EXPECT_EQ(0, eip_connect(&s, "127.0.0.1", peer.port, 0));
    }
    ~scripted() { eip_disconnect(&s); }
};

TEST(EipTransact, ErrorStatusIsAFailureButKeepsTheStreamInStep) {
    int n = 0;
    scripted sc([&](const bytes &req) {
        if (n++ == 0) return eip_reply(req, cpf_rr({0xCC, 0, 0, 0}), 0x65);
        return eip_reply(req, cpf_rr({0xCC, 0, 0, 0, 7}));
    });
    log_capture log;
    uint8_t out[64];
    size_t len = sizeof out;
    uint8_t cip[2] = {0x4C, 0};
    uint64_t sent = sc.s.requests, failed = sc.s.errors;
    EXPECT_EQ(-1, eip_send_rrdata(&sc.s, cip, 2, out, &len));
    EXPECT_TRUE(log.has("EIP: статус помилки: 0x00000065")) << log.text();
    len = sizeof out;
    ASSERT_EQ(0, eip_send_rrdata(&sc.s, cip, 2, out, &len));
    EXPECT_EQ(5u, len);
    EXPECT_EQ(7, out[4]);
    // Both exchanges count as requests, only the refused one as an error.
    EXPECT_EQ(sent + 2, sc.s.requests);
    EXPECT_EQ(failed + 1, sc.s.errors);
}

TEST(EipTransact, MalformedRRDataReplies) {
    int n = 0;
    scripted sc([&](const bytes &req) {
        switch (n++) {
            case 0:
                return eip_reply(req, {});  // header only
            case 1: {
                bytes d = cpf_rr({1, 2, 3, 4});
                eip_put16(d.data() + 12, 0x00B1);
                return eip_reply(req, d);
            }
            case 2:
                return eip_reply(req, cpf_rr(bytes(100, 0)));  // larger than the caller's buffer
            default: {
                bytes d = cpf_rr({1, 2, 3, 4});
                eip_put16(d.data() + 14, 9);  // item claims more than was sent
                return eip_reply(req, d);
            }
        }
    });
    log_capture log;
    uint8_t cip[2] = {0x4C, 0};
    uint8_t out[64];
    size_t len = sizeof out;
    EXPECT_EQ(-1, eip_send_rrdata(&sc.s, cip, 2, out, &len));
    EXPECT_TRUE(log.has("rrdata: відповідь занадто коротка (24 байт)")) << log.text();
    len = sizeof out;
    EXPECT_EQ(-1, eip_send_rrdata(&sc.s, cip, 2, out, &len));
    EXPECT_TRUE(log.has("rrdata: несподіваний тип елемента 0x00B1"));
    len = sizeof out;
    EXPECT_EQ(-1, eip_send_rrdata(&sc.s, cip, 2, out, &len));
    EXPECT_TRUE(log.has("rrdata: CIP-відповідь занадто велика: 100 байт"));
    len = sizeof out;
    EXPECT_EQ(-1, eip_send_rrdata(&sc.s, cip, 2, out, &len));
    EXPECT_TRUE(log.has("rrdata: Item2 виходить за межі отриманого (9)"));
}

TEST(EipTransact, UnitDataItemLengthsAndSequenceCounts) {
    std::vector<uint16_t> seqs;
    int n = 0;
    scripted sc([&](const bytes &req) {
        seqs.push_back(eip_get16(req.data() + 44));
        switch (n++) {
            case 0:
                return eip_reply(req, cpf_unit({}, 1));
            case 1:
                return eip_reply(req, cpf_unit({}, 2));
            default:
                return eip_reply(req, cpf_unit({0xCC, 0, 0, 0}));
        }
    });
    log_capture log;
    sc.s.to_conn_id = 0xABCD0001;
    uint8_t cip[2] = {0x4C, 0};
    uint8_t out[64];
    size_t len = sizeof out;
    EXPECT_EQ(-1, eip_send_unitdata(&sc.s, cip, 2, out, &len));
    EXPECT_TRUE(log.has("unitdata: Item2 len занадто мала (1)")) << log.text();
    len = sizeof out;
    EXPECT_EQ(0, eip_send_unitdata(&sc.s, cip, 2, out, &len));
    EXPECT_EQ(0u, len);
    sc.s.seq = 65534;
    len = sizeof out;
    EXPECT_EQ(0, eip_send_unitdata(&sc.s, cip, 2, out, &len));
    len = sizeof out;
    EXPECT_EQ(0, eip_send_unitdata(&sc.s, cip, 2, out, &len));
    EXPECT_EQ(4u, len);
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 65535, 0}), seqs);
    auto reqs = sc.peer.received();
    ASSERT_GE(reqs.size(), 2u);
    EXPECT_EQ(0xABCD0001u, eip_get32(reqs[1].data() + 36));
    EXPECT_EQ(EIP_ITEM_CONNECTED_ADDRESS, eip_get16(reqs[1].data() + 32));
}

TEST(EipTransact, RequestSizeLimits) {
    scripted sc([&](const bytes &req) {
        return eip_get16(req.data()) == EIP_CMD_SEND_RR_DATA
                   ? eip_reply(req, cpf_rr({0xCC, 0, 0, 0}))
                   : eip_reply(req, cpf_unit({0xCC, 0, 0, 0}));
    });
    log_capture log;
    std::vector<uint8_t> big(4081, 0x11);
    uint8_t out[64];
    size_t len = sizeof out;
    EXPECT_EQ(0, eip_send_rrdata(&sc.s, big.data(), 4080, out, &len));
    len = sizeof out;
    EXPECT_EQ(-1, eip_send_rrdata(&sc.s, big.data(), 4081, out, &len));
    EXPECT_TRUE(log.has("rrdata: запит завеликий"));
    len = sizeof out;
    EXPECT_EQ(0, eip_send_unitdata(&sc.s, big.data(), 4074, out, &len));
    len = sizeof out;
    uint16_t before = sc.s.seq;
    EXPECT_EQ(-1, eip_send_unitdata(&sc.s, big.data(), 4075, out, &len));
    EXPECT_EQ((uint16_t)(before + 1), sc.s.seq);  // a refused request uses up a number
    EXPECT_TRUE(log.has("unitdata: запит занадто великий"));
    auto reqs = sc.peer.received();
    ASSERT_EQ(3u, reqs.size());  // register, and the two that fit
    EXPECT_EQ(24u + 16 + 4080, reqs[1].size());
    EXPECT_EQ(24u + 22 + 4074, reqs[2].size());
}

TEST(EipTransact, PeerClosingMidReplyIsAFailure) {
    fake_peer peer([](const bytes &req, bytes *reply) {
        if (eip_get16(req.data()) == EIP_CMD_REGISTER_SESSION) {
            *reply = eip_reply(req, bytes(req.begin() + 24, req.end()));
            return true;
        }
        // Header promises 40 bytes, only 4 arrive.
        *reply = eip_reply(req, {1, 2, 3, 4}, 0, 40);
        return false;
    });
    log_capture log;
    eip_session s;
    ASSERT_EQ(0, eip_connect(&s, "127.0.0.1", peer.port, 0));
    uint8_t cip[2] = {0x4C, 0}, out[64];
    size_t len = sizeof out;
    EXPECT_EQ(-1, eip_send_rrdata(&s, cip, 2, out, &len));
    EXPECT_TRUE(log.has("EIP: помилка отримання даних")) << log.text();
    eip_disconnect(&s);
}

}  // namespace

// Packets built for a large connection against the simulator, which holds
// them to the connection size as a controller does: every packet fits, and
// one tag more would not.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "common/log.h"
#include "plc_driver/cip.h"
#include "plc_driver/driver_config.h"
#include "plc_driver/driver_internal.h"
#include "test_plcsim_util.h"

namespace {

struct sized_tag {
    std::string name;
    const char *type;
    uint16_t code;
};

// A group whose items are the tags, with their types already learned.
struct group_of {
    logix_group g;
    explicit group_of(const std::vector<sized_tag> &tags) {
        for (size_t i = 0; i < tags.size(); ++i) {
            std::string line = "A" + std::to_string(i + 1) + ",v," + tags[i].name;
            logix_item it;
            EXPECT_EQ(logix_parse_item(line.c_str(), &it), 0);
            it.type = tags[i].code;
            logix_add_tag(&g, (int)i + 1, &it);
        }
    }
    ~group_of() { free(g.items); }
};

// Sends the first k candidates from pos as one packet; the per-item results.
int send_packet(eip_session *s, const logix_group &g, const std::vector<int> &cand, int pos, int k,
                std::vector<cip_multi_result> *res) {
    std::vector<cip_multi_item> mi;
    for (int i = 0; i < k; ++i) {
        const logix_item &it = g.items[cand[(size_t)(pos + i)]];
        mi.push_back({it.path, (size_t)it.path_len, 1});
    }
    std::vector<uint8_t> req(8192);
    int len = cip_build_multi_read(mi.data(), k, req.data(), req.size());
    if (len < 0) return -2;
    uint8_t reply[CIP_REPLY_MAX];
    size_t rn = sizeof reply;
    if (cip_send(s, req.data(), (size_t)len, reply, &rn) != 0) return -1;
    res->assign((size_t)k, {});
    return cip_parse_multi_read(reply, rn, k, res->data());
}

bool all_ok(const std::vector<cip_multi_result> &res) {
    for (const auto &r : res)
        if (r.status != 0) return false;
    return true;
}

TEST(DriverBatchLarge, PacketsFillTheConnectionAndNoMore) {
    log_set_flags(0, 0, 0);
    // Two tag sets: short names with 8-byte values fill the reply first,
    // long names with 1-byte values fill the request first.
    std::vector<sized_tag> wide, longnames;
    for (int i = 0; i < 600; ++i) {
        wide.push_back({"W" + std::to_string(i), "LREAL", CIP_TYPE_LREAL});
        longnames.push_back(
            {"Long_descriptive_tag_name_number_" + std::to_string(i), "SINT", CIP_TYPE_SINT});
    }
    std::vector<std::string> args;
    for (const auto *set : {&wide, &longnames})
        for (const auto &t : *set) {
            args.push_back("--tag");
            args.push_back(t.name + ":" + t.type + "[1]=1");
        }
    plcsim_proc sim;
    ASSERT_TRUE(sim.start(args)) << sim.output();

    for (int size : {4002, 1500, 501}) {
        eip_session s;
        ASSERT_EQ(0, eip_connect(&s, sim.addr.c_str(), EIP_PORT, 0));
        ASSERT_EQ(0, cip_large_forward_open(&s, (uint16_t)size));
        size_t budget = cip_conn_budget(&s);
        for (const auto *set : {&wide, &longnames}) {
            group_of grp(*set);
            std::vector<int> cand(set->size());
            for (size_t i = 0; i < cand.size(); ++i)
                cand[i] = (int)i;
            int packets = 0;
            for (int pos = 0; pos < (int)cand.size(); ++packets) {
                int k = driver_batch_size_large(&grp.g, cand.data(), (int)cand.size(), pos, budget);
                ASSERT_GE(k, 1);
                std::vector<cip_multi_result> res;
                ASSERT_EQ(0, send_packet(&s, grp.g, cand, pos, k, &res))
                    << "size " << size << " pos " << pos << " k " << k;
                EXPECT_TRUE(all_ok(res)) << "size " << size << " pos " << pos << " k " << k;
                if (pos + k < (int)cand.size()) {
                    // One more tag: the controller refuses the request or
                    // cannot fit every answer.
                    int rc = send_packet(&s, grp.g, cand, pos, k + 1, &res);
                    EXPECT_TRUE(rc != 0 || !all_ok(res))
                        << "size " << size << ": " << k + 1 << " tags would still fit";
                }
                pos += k;
            }
            // 600 answers of 16 bytes; 600 requests of 46 bytes.
            if (size == 4002) {
                EXPECT_LE(packets, set == &wide ? 3 : 7) << (*set)[0].type;
            }
        }
        cip_forward_close(&s);
        eip_disconnect(&s);
    }
}

}  // namespace

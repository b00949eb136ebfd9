// The driver's status file is read back by the server's /metrics: it must
// stay valid JSON and carry each connection's figures under its own index.

#include <gtest/gtest.h>

#include <string>

#include "common/json.h"
#include "driver_status.h"

namespace {

TEST(DriverStatus, EachConnectionsFiguresReadBack) {
    static logix_conn conns[2];
    snprintf(conns[0].ip, sizeof conns[0].ip, "10.0.0.5");
    conns[0].index = 0;
    conns[0].slot = 2;
    conns[0].stats.connected = 1;
    conns[0].stats.passes = 12345678901ull;
    conns[0].stats.last_requests = 7;
    conns[0].stats.last_pass_us = 2500;
    conns[0].stats.errors = 3;
    conns[0].stats.reconnects = 1;
    // An address that is not plain text still leaves the file parseable.
    snprintf(conns[1].ip, sizeof conns[1].ip, "a\"b\\c");
    conns[1].index = 1;

    std::string text = driver_status_text(conns, 2, 1700000000000);
    json_node *j = json_parse(text.c_str());
    ASSERT_TRUE(j) << text;
    EXPECT_EQ(json_geti(j, "ts", 0), 1700000000000);
    const json_node *a = json_get(j, "controllers");
    ASSERT_EQ(json_count(a), 2u) << text;
    const json_node *c0 = json_at(a, 0);
    EXPECT_STREQ(json_gets(c0, "ip", ""), "10.0.0.5");
    EXPECT_EQ(json_geti(c0, "slot", -1), 2);
    EXPECT_EQ(json_geti(c0, "connected", -1), 1);
    EXPECT_EQ(json_geti(c0, "passes", 0), 12345678901ll);
    EXPECT_EQ(json_geti(c0, "requests_last_pass", 0), 7);
    EXPECT_DOUBLE_EQ(json_getn(c0, "pass_ms", 0), 2.5);
    EXPECT_EQ(json_geti(c0, "errors", 0), 3);
    EXPECT_EQ(json_geti(c0, "reconnects", 0), 1);
    const json_node *c1 = json_at(a, 1);
    EXPECT_EQ(json_geti(c1, "plc", -1), 1);
    EXPECT_STREQ(json_gets(c1, "ip", ""), "a\"b\\c");
    EXPECT_EQ(json_geti(c1, "connected", -1), 0);
    json_free(j);
}

}  // namespace

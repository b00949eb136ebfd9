// Item lines the configuration check lets through are ones the driver's
// item reader takes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/cfg_check.h"
#include "plc_driver/driver_config.h"

namespace {

std::vector<cfg_issue> check_of(const std::string &text) {
    std::vector<cfg_issue> v;
    cfg_check(text, &v);
    return v;
}

// Whatever item line the check passes without an error, the driver's item
// reader takes.
TEST(CfgCheck, PassedItemsAreReadByTheDriver) {
    const char *lines[] = {"A1,c,Main.Level",
                           "D2, bool , Main.Run[3]",
                           "A3,real,Prog:P.X.Y",
                           "A4 , v , Arr[10]",
                           "A0,v,Tag",
                           "D7,usint,Bits.3",
                           "X1,c,T",
                           "A5 c T",
                           "A6,c,",
                           "A99999,c,T"};
    for (const char *l : lines) {
        std::string text = "calc:\n  items:\n    - \"" + std::string(l) + "\"\n";
        bool passed = !cfg_check_has_errors(check_of(text));
        logix_item it;
        if (passed) {
            EXPECT_EQ(logix_parse_item(l, &it), 0) << l;
        }
    }
}

// The check and the driver agree on which connection sizes are taken.
TEST(CfgCheck, ConnSizeAcceptedByTheCheckIsKeptByTheDriver) {
    const char *values[] = {"4002", "501", "1000", "0", "500", "4003", "abc", "-1", "65536"};
    for (const char *v : values) {
        std::string text =
            "logix:\n  groups:\n    - id: 1\n      ipaddr: 10.0.0.1\n"
            "      connpath: backplane\\0\n      takt: 100\n      conn_size: " +
            std::string(v) + "\n      items: |\n        A1,v,T\n";
        bool passed = !cfg_check_has_errors(check_of(text));
        int kept = logix_parse_conn_size("G", v);
        EXPECT_EQ(passed, kept != 0 || std::string(v) == "0") << v;
    }
}

}  // namespace

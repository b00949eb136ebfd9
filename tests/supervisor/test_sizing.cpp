// Database sizing from config.yaml, the top-level section test, the pid
// file parser and argument splitting.
#include <gtest/gtest.h>

#include <string>

#include "common/yaml.h"
#include "supervisor/sup.h"

namespace {

struct Sized {
    int rc;
    sup_shm_sizing sizing;
    uint64_t total;
};

Sized size_of(const std::string &yaml) {
    json_ptr root(yaml_parse(yaml.c_str()));
    Sized s{};
    s.rc = sup_spec_from_tree(root.get(), &s.sizing, &s.total);
    return s;
}

TEST(SupSizing, ItemsGiveHighestChannelPlusOne) {
    Sized s = size_of(
        "logix:\n"
        "  groups:\n"
        "    - id: 0\n"
        "      ipaddr: 10.0.0.1\n"
        "      items: |\n"
        "        A3,v,X\n"
        "        D10,v,Y\n"
        "          a7,c,X\n"
        "        # A99 commented out\n"
        "        B5,v,ignored\n");
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.sizing.analogs, 8u);
    EXPECT_EQ(s.sizing.discretes, 11u);
    EXPECT_EQ(s.sizing.plcs, 1u);
    EXPECT_TRUE(s.sizing.has_groups);
    EXPECT_EQ(s.total, 120u + 41 * 8 + 33 * 11 + 128);
}

TEST(SupSizing, OneBlockPerDistinctIpAndSlot) {
    Sized s = size_of(
        "logix:\n"
        "  groups:\n"
        "    - ipaddr: 10.0.0.1\n"
        "      connpath: backplane\\1\n"
        "    - ipaddr: 10.0.0.1\n"
        "      connpath: backplane\\1\n"
        "    - ipaddr: 10.0.0.2\n"
        "      connpath: backplane\\1\n"
        "    - ipaddr: 10.0.0.1\n"
        "      connpath: 1/3\n"
        "    - connpath: backplane\\0\n"
        "      items: |\n"
        "        A2\n");
    ASSERT_EQ(s.rc, 0);
    // The last group has no address: no block, but it counts as a group and
    // its items still size the arrays.
    EXPECT_EQ(s.sizing.plcs, 3u);
    EXPECT_EQ(s.sizing.analogs, 3u);
    EXPECT_TRUE(s.sizing.has_groups);
}

TEST(SupSizing, ConnectionListStopsAt64) {
    std::string y = "logix:\n  groups:\n";
    for (int i = 0; i < 70; i++)
        y += "    - ipaddr: 10.0.1." + std::to_string(i) + "\n";
    Sized s = size_of(y);
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.sizing.plcs, 64u);
}

TEST(SupSizing, ExplicitCountsWinAndOtherSectionsCount) {
    Sized s = size_of(
        "logix:\n"
        "  analogs: 5\n"
        "  groups:\n"
        "    - ipaddr: 1.2.3.4\n"
        "      items: |\n"
        "        A40,v,T\n"
        "        D3,v,U\n"
        "calc:\n"
        "  items:\n"
        "    - A90\n"
        "    - D12 out\n");
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.sizing.analogs, 5u);  // explicit, even below A40 and A90
    EXPECT_EQ(s.sizing.discretes, 13u);

    s = size_of(
        "logix:\n"
        "  groups:\n"
        "    - ipaddr: 1.2.3.4\n"
        "      items: |\n"
        "        A40\n"
        "calc:\n"
        "  items: |\n"
        "    A90,x\n");
    EXPECT_EQ(s.sizing.analogs, 91u);
}

TEST(SupSizing, NoLogixMeansNoDriver) {
    Sized s = size_of("mqtt:\n  items: |\n    A2\n");
    ASSERT_EQ(s.rc, 0);
    EXPECT_EQ(s.sizing.plcs, 0u);
    EXPECT_FALSE(s.sizing.has_groups);
    EXPECT_EQ(s.sizing.analogs, 3u);

    s = size_of("logix:\n  groups: []\n");
    EXPECT_FALSE(s.sizing.has_groups);
    s = size_of("");
    EXPECT_EQ(s.rc, 0);
    EXPECT_EQ(s.total, 120u);
}

TEST(SupSizing, AbsurdSizesAreRefusedNotWrapped) {
    // 2^32 would wrap a 32-bit count to 0; 10^11 would wrap the byte size.
    for (const char *item : {"A4294967295", "D4294967296", "A99999999999999999999999"}) {
        Sized s = size_of(std::string("calc:\n  items: |\n    ") + item + "\n");
        EXPECT_EQ(s.rc, -2) << item;
        EXPECT_GT(s.total, uint64_t(UINT32_MAX)) << item;
    }
    Sized s = size_of("logix:\n  analogs: 200000000\n");
    EXPECT_EQ(s.rc, -2);
    // A large but representable configuration is fine.
    s = size_of("logix:\n  analogs: 100000\n  discrets: 100000\n");
    EXPECT_EQ(s.rc, 0);
    EXPECT_EQ(s.total, 120u + 4100000u + 3300000u);
}

TEST(SupSizing, PrefixFromConfig) {
    char tmpl[] = "/tmp/supprefixXXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    std::string dir = tmpl;
    auto prefix_for = [&](const std::string &yaml) {
        FILE *f = fopen((dir + "/config.yaml").c_str(), "w");
        fputs(yaml.c_str(), f);
        fclose(f);
        return shm_prefix_from_yaml(dir);
    };
    EXPECT_EQ(prefix_for("logix:\n  shm_name: /shm\n"), "/shm");
    EXPECT_EQ(prefix_for("logix:\n  shm_name: /a/b\n"), "/logix_drv");
    EXPECT_EQ(prefix_for("logix:\n  shm_name: shm\n"), "/logix_drv");
    EXPECT_EQ(prefix_for("logix:\n  shm_name: /\n"), "/logix_drv");
    EXPECT_EQ(prefix_for("logix:\n  shm_name: 5\n"), "/logix_drv");
    EXPECT_EQ(prefix_for("logix:\n  shm_name: /" + std::string(100, 'x') + "\n"),
              "/" + std::string(62, 'x'));
    unlink((dir + "/config.yaml").c_str());
    EXPECT_EQ(shm_prefix_from_yaml(dir), "/logix_drv");
    rmdir(tmpl);
}

TEST(SupConfig, TopLevelSection) {
    const char *text =
        "# calc: in a comment\n"
        "logix:\n"
        "  calc:\n"
        "\tmqtt:\n"
        "calculator:\n"
        "opcua:x\n"
        "mqtt: # bridge\r\n"
        "calc:\r\n";
    EXPECT_TRUE(sup_config_text_has_top_section(text, "calc"));
    EXPECT_TRUE(sup_config_text_has_top_section(text, "mqtt"));
    EXPECT_TRUE(sup_config_text_has_top_section(text, "logix"));
    EXPECT_FALSE(sup_config_text_has_top_section(text, "opcua"));
    EXPECT_FALSE(sup_config_text_has_top_section("  calc:\n#calc:\n", "calc"));
    EXPECT_FALSE(sup_config_text_has_top_section("", "calc"));
    EXPECT_TRUE(sup_config_text_has_top_section("calc:", "calc"));
}

TEST(SupPidfile, ParsesOnlyWellFormedLines) {
    auto v = sup_parse_pidfile(
        "trend:123\n"
        "scada:0\n"
        "zqalarm:1\n"
        "bogus\n"
        "zqcalc:12x\n"
        "zqmqtt:-5\n"
        "driver:99999999999999\n"
        "zqsup:456\r\n"
        "last:789");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].name, "trend");
    EXPECT_EQ(v[0].pid, 123);
    EXPECT_EQ(v[1].name, "zqsup");
    EXPECT_EQ(v[1].pid, 456);
    EXPECT_EQ(v[2].pid, 789);
}

TEST(SupChildren, ArgumentSplitting) {
    auto v = sup_split_args("/s/zqtrend", " -c\t./config.yaml  -b . ");
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[0], "/s/zqtrend");
    EXPECT_EQ(v[2], "./config.yaml");
    EXPECT_EQ(v[4], ".");
    std::string many;
    for (int i = 0; i < 20; i++)
        many += "a" + std::to_string(i) + " ";
    v = sup_split_args("/p", many.c_str());
    EXPECT_EQ(v.size(), size_t(SUP_MAX_ARGS) + 1);
    EXPECT_EQ(v.back(), "a15");
}

}  // namespace

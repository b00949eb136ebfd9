// Driver configuration: item lines, grouping into segments, YAML and INI.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "driver_config.h"
#include "tests/support/files.h"

namespace {

struct ConfigHolder {
    std::unique_ptr<logix_config> c{new logix_config()};
    ~ConfigHolder() { config_free(c.get()); }
    logix_config *operator->() { return c.get(); }
    logix_config *get() { return c.get(); }
};

using tsup::write_file;

logix_group one_group(const std::initializer_list<const char *> &lines) {
    logix_group g;
    snprintf(g.name, sizeof g.name, "Logix5000_0");
    int ord = 0;
    for (const char *l : lines) {
        logix_item it;
        ++ord;
        if (parse_item(l, &it) == 0) add_tag(&g, ord, &it);
    }
    compute_group_segments(&g);
    return g;
}

TEST(DriverParseItem, ScalarArrayElementPathAndBits) {
    logix_item it;
    ASSERT_EQ(parse_item("D5,c,Valve_3", &it), 0);
    EXPECT_TRUE(it.is_discrete);
    EXPECT_EQ(it.channel, 5);
    EXPECT_FALSE(it.is_array_elem);
    const uint8_t valve[] = {0x91, 7, 'V', 'a', 'l', 'v', 'e', '_', '3', 0};
    ASSERT_EQ(it.path_len, 10);
    EXPECT_EQ(memcmp(it.path, valve, 10), 0);
    EXPECT_EQ(it.bit_from, -1);
    EXPECT_EQ(it.last_index, -1);

    ASSERT_EQ(parse_item("A7,v,Tank[12]", &it), 0);
    EXPECT_FALSE(it.is_discrete);
    EXPECT_TRUE(it.is_array_elem);
    EXPECT_EQ(it.array_index, 12);
    EXPECT_STREQ(it.text, "Tank");
    EXPECT_EQ(it.path_len, 0);

    ASSERT_EQ(parse_item("A8,v,Program:Main.Tank[12]", &it), 0);
    EXPECT_FALSE(it.is_array_elem);
    EXPECT_GT(it.path_len, 0);
    EXPECT_EQ(it.last_index, 12);
    EXPECT_STREQ(it.text, "Program:Main.Tank[12]");

    ASSERT_EQ(parse_item("A9,v,Flags.5", &it), 0);
    EXPECT_EQ(it.bit_from, 5);
    EXPECT_EQ(it.bit_to, 5);
    EXPECT_EQ(it.last_index, -1);
    ASSERT_EQ(parse_item(" a9 , v , Flags.0-7 ", &it), 0);
    EXPECT_EQ(it.bit_from, 0);
    EXPECT_EQ(it.bit_to, 7);
    EXPECT_EQ(it.channel, 9);

    // Bit of an array element: path ends with the element, but bits win.
    ASSERT_EQ(parse_item("D1,c,Arr[1].5", &it), 0);
    EXPECT_EQ(it.bit_from, 5);
    EXPECT_EQ(it.last_index, -1);
}

TEST(DriverParseItem, RejectsMalformedLines) {
    logix_item it;
    EXPECT_EQ(parse_item("A1,v", &it), -1);             // one comma
    EXPECT_EQ(parse_item(" ,v,Tag", &it), -1);          // empty first field
    EXPECT_EQ(parse_item("A1,v,  ", &it), -1);          // empty tag
    EXPECT_EQ(parse_item("Ax,v,Tag", &it), -1);         // no channel number
    EXPECT_EQ(parse_item("A-1,v,Tag", &it), -1);        // negative channel
    EXPECT_EQ(parse_item("A99999999,v,Tag", &it), -1);  // absurd channel
    EXPECT_EQ(parse_item("A1,v,Tag.3-", &it), -1);      // descending bit range
    EXPECT_EQ(parse_item("A1,v,Tag.7-3", &it), -1);
    EXPECT_EQ(parse_item("A1,v,Tag.64", &it), -1);  // beyond any word
    EXPECT_EQ(parse_item("A1,v,Tag.0-64", &it), -1);
    EXPECT_EQ(parse_item("A1,v,Tag.0-63", &it), 0);
    std::string long_line = "A1,v," + std::string(507, 'x');
    EXPECT_EQ(parse_item(long_line.c_str(), &it), -1);  // 512 characters
    std::string long_name = "A1,v," + std::string(300, 'x');
    EXPECT_EQ(parse_item(long_name.c_str(), &it), -1);  // path beyond 256 bytes
    // Large element indices are kept whole, never cut to 16 bits.
    EXPECT_EQ(parse_item("A1,v,Tank[70000]", &it), 0);
    EXPECT_TRUE(it.is_array_elem);
    EXPECT_EQ(it.array_index, 70000);
    EXPECT_EQ(parse_item("A1,v,P.Tank[70000]", &it), 0);
    EXPECT_EQ(it.last_index, 70000);
    EXPECT_EQ(parse_item("A1,v,Tank[99999999999]", &it), -1);
}

TEST(DriverSegments, ArraysDuplicatesAndGeneralSegments) {
    logix_group g = one_group({"A1,v,Tank[1]", "D2,c,Tank[2]", "A3,v,Tank[7]", "A4,v,Main.Speed",
                               "A5,v,Main.Speed", "D6,c,Main.Status.3", "D7,c,Main.Status.4",
                               "A8,v,Prog.Buf[3]", "A9,v,Prog.Buf[10]", "A10,v,Other.Buf[3]"});
    ASSERT_EQ(g.item_count, 10);
    ASSERT_EQ(g.array_segment_count, 2);
    EXPECT_STREQ(g.array_segments[0].name, "Tank");
    EXPECT_FALSE(g.array_segments[0].is_discrete);
    EXPECT_EQ(g.array_segments[0].lowest, 1);
    EXPECT_EQ(g.array_segments[0].highest, 7);
    EXPECT_TRUE(g.array_segments[1].is_discrete);
    EXPECT_EQ(g.array_segments[1].lowest, 2);

    EXPECT_EQ(g.items[3].duplicate_of, -1);
    EXPECT_EQ(g.items[4].duplicate_of, 3);
    EXPECT_EQ(g.items[6].duplicate_of, 5);  // bits stripped before the path
    EXPECT_EQ(g.items[6].bit_from, 4);

    ASSERT_EQ(g.general_segment_count, 1);
    const general_segment &s = g.general_segments[0];
    EXPECT_EQ(s.lowest, 3);
    EXPECT_EQ(s.highest, 10);
    EXPECT_EQ(s.members, 2);
    EXPECT_STREQ(s.name, "Prog.Buf[3]");
    EXPECT_EQ(g.items[7].general_segment, 0);
    EXPECT_EQ(g.items[7].general_index, 0);
    EXPECT_EQ(g.items[8].general_index, 7);
    EXPECT_EQ(g.items[9].general_segment, -1);  // single element stays individual
    free(g.items);
}

TEST(DriverSegments, PathLastElem) {
    uint8_t p[] = {0x91, 3, 'B', 'u', 'f', 0, 0x29, 0, 0x2C, 0x01};
    int base = 0, idx = 0;
    EXPECT_EQ(path_last_elem(p, sizeof p, &base, &idx), 1);
    EXPECT_EQ(base, 6);
    EXPECT_EQ(idx, 300);
    EXPECT_EQ(path_last_elem(p, 6, &base, &idx), 0);  // no element
    uint8_t lone[] = {0x28, 5};
    EXPECT_EQ(path_last_elem(lone, 2, &base, &idx), 0);  // no symbol before it
    EXPECT_EQ(path_last_elem(p, 9, &base, &idx), 0);     // truncated
}

TEST(DriverConfigYaml, GroupsItemsAndDerivedCounts) {
    ConfigHolder c;
    const char *text =
        "logix:\n"
        "  shm_name: /plant\n"
        "  log:\n"
        "    logdir_linux: ./lg\n"
        "    logname: Drv\n"
        "    logwrite: 0\n"
        "  time:\n"
        "    tz_offset_min: 120\n"
        "    dst: off\n"
        "  groups:\n"
        "    - id: 3\n"
        "      ipaddr: 127.0.0.2\n"
        "      connpath: backplane\\2\n"
        "      takt: 250\n"
        "      items: |\n"
        "        A3,v,Level\n"
        "        bad line\n"
        "        D4,c,Pump[2]\n"
        "    - ipaddr: 127.0.0.3\n"
        "      connpath: backplane\n"
        "      takt: 0\n"
        "      items:\n"
        "        - A1,v,X\n"
        "calc:\n"
        "  items: |\n"
        "    A40,REAL,x := 1;\n";
    ASSERT_EQ(config_load_yaml_text(c.get(), text, "config.yaml"), 0);
    EXPECT_STREQ(c->shm_name, "/plant");
    EXPECT_STREQ(c->log_dir, "./lg");
    EXPECT_STREQ(config_log_dir(c.get()), "./lg");
    EXPECT_STREQ(c->log_name, "Drv");
    EXPECT_EQ(c->log_write, 0);
    EXPECT_EQ(c->log_init, 1);
    EXPECT_TRUE(c->tz_set);
    EXPECT_EQ(c->tz_offset_min, 120);
    EXPECT_EQ(c->dst_mode, 0);
    ASSERT_EQ(c->group_count, 2);
    const logix_group &g0 = c->groups[0];
    EXPECT_STREQ(g0.name, "Logix5000_3");
    EXPECT_STREQ(g0.ip, "127.0.0.2");
    EXPECT_EQ(g0.slot, 2);
    EXPECT_EQ(g0.takt_ms, 250);
    ASSERT_EQ(g0.item_count, 2);
    EXPECT_EQ(g0.items[0].ordinal, 1);
    EXPECT_EQ(g0.items[1].ordinal, 3);
    EXPECT_EQ(g0.array_segment_count, 1);
    const logix_group &g1 = c->groups[1];
    EXPECT_STREQ(g1.name, "Logix5000_1");
    EXPECT_EQ(g1.slot, 0);
    EXPECT_EQ(g1.takt_ms, LOGIX_DEFAULT_TAKT_MS);  // 0 is refused
    EXPECT_EQ(g1.item_count, 1);
    EXPECT_EQ(c->analogs, 41);  // A40 of another section counts
    EXPECT_EQ(c->discretes, 5);
}

TEST(DriverConfigYaml, ExplicitCountsAndDefaults) {
    ConfigHolder c;
    ASSERT_EQ(config_load_yaml_text(c.get(),
                                    "logix:\n  analogs: 500\n  discrets: 7\n  groups:\n"
                                    "    - ipaddr: 10.1.1.1\n      items: |\n        A3,v,T\n",
                                    "config.yaml"),
              0);
    EXPECT_EQ(c->analogs, 500);
    EXPECT_EQ(c->discretes, 7);
    EXPECT_STREQ(c->shm_name, "/logix_drv");
    EXPECT_STREQ(c->log_name, "Logix5000");
    EXPECT_STREQ(config_log_dir(c.get()), "logs");
    EXPECT_EQ(c->dst_mode, 2);
    EXPECT_FALSE(c->tz_set);
    EXPECT_STREQ(c->groups[0].name, "Logix5000_0");
    EXPECT_EQ(c->groups[0].port, 44818);
}

TEST(DriverConfigYaml, NoGroupsOrNoAddressFails) {
    ConfigHolder c;
    EXPECT_EQ(config_load_yaml_text(c.get(), "logix:\n  shm_name: /x\n", "config.yaml"), -1);
    EXPECT_EQ(config_load_yaml_text(c.get(), "scada:\n  port: 1\n", "config.yaml"), -1);
    EXPECT_EQ(config_load_yaml_text(c.get(), "logix:\n  groups:\n    - id: 1\n      takt: 100\n",
                                    "config.yaml"),
              -1);
}

TEST(DriverConfigYaml, TooManyGroupsKeepsFirst32) {
    std::string t = "logix:\n  groups:\n";
    for (int i = 0; i < 34; ++i)
        t += "    - ipaddr: 127.0.0.1\n      takt: 100\n";
    ConfigHolder c;
    ASSERT_EQ(config_load_yaml_text(c.get(), t.c_str(), "config.yaml"), 0);
    EXPECT_EQ(c->group_count, 32);
}

TEST(DriverConfigIni, SectionsLastItemAndFallback) {
    tsup::TempDir tmp("driver-cfg");
    std::string dir = tmp.path;
    ASSERT_FALSE(dir.empty());
    std::string ini = dir + "/zqbridge.ini";
    write_file(ini,
               "; comment\n"
               "// another\n"
               "[Logix5000]\n"
               "logdir = /var/log/x\n"
               "natimeout=3000\n"
               "loginit=0\n"
               "[general]\n"
               "shm_name=/legacy\n"
               "analogs=0\n"
               "[Logix5000_1]\n"
               "ipaddr=192.168.0.10\n"
               "ipaddr=192.168.0.99\n"
               "connpath=backplane/4\n"
               "takt=200\n"
               "item1=A1,v,Speed\n"
               "item2=D2,c,Valve[3]\n"
               "item5=A9,v,Later\n"
               "item3=A3,v,Tag.3-\n"
               "lastitem=2\n"
               "item7=A12,v,After\n"
               "[Logix5000_2]\n"
               "ipaddr=192.168.0.11\n"
               "item1=A4,v,Other\n");
    // config.yaml beside it has no groups: the INI file is used.
    write_file(dir + "/config.yaml", "logix:\n  shm_name: /ignored\n");
    ConfigHolder c;
    ASSERT_EQ(config_load(c.get(), ini.c_str()), 0);
    EXPECT_STREQ(c->shm_name, "/legacy");
    EXPECT_STREQ(c->log_dir_alt, "/var/log/x");
    EXPECT_STREQ(config_log_dir(c.get()), "/var/log/x");
    EXPECT_EQ(c->inactivity_ms, 3000);
    EXPECT_EQ(c->log_init, 0);
    ASSERT_EQ(c->group_count, 2);
    const logix_group &g = c->groups[0];
    EXPECT_STREQ(g.ip, "192.168.0.10");
    EXPECT_EQ(g.slot, 4);
    EXPECT_EQ(g.takt_ms, 200);
    // item5 removed by lastitem at once, item7 when the section ended.
    ASSERT_EQ(g.item_count, 2);
    EXPECT_EQ(g.items[0].ordinal, 1);
    EXPECT_EQ(g.items[1].ordinal, 2);
    EXPECT_EQ(g.array_segment_count, 1);
    EXPECT_EQ(c->analogs, 5);  // A4 is the highest analog that was kept
    EXPECT_EQ(c->discretes, 3);

    // With a usable config.yaml that one wins.
    write_file(dir + "/config.yaml",
               "logix:\n  groups:\n    - ipaddr: 127.0.0.9\n      items: |\n        A1,v,X\n");
    ASSERT_EQ(config_load(c.get(), ini.c_str()), 0);
    EXPECT_EQ(c->group_count, 1);
    EXPECT_STREQ(c->groups[0].ip, "127.0.0.9");
    unlink((dir + "/config.yaml").c_str());
    unlink(ini.c_str());
    EXPECT_EQ(config_load(c.get(), ini.c_str()), -1);  // neither file
}

TEST(DriverConfigIni, MissingAddressOrGroupsFails) {
    tsup::TempDir dir("driver-cfg");
    std::string ini = dir / "a.ini";
    write_file(ini, "[Logix5000_1]\nitem1=A1,v,X\n");
    ConfigHolder c;
    EXPECT_EQ(config_load_ini(c.get(), ini.c_str()), -1);
    write_file(ini, "[general]\nanalogs=4\n");
    EXPECT_EQ(config_load_ini(c.get(), ini.c_str()), -1);
}

}  // namespace

// Legacy channel tables kept in line with the INI's driver items, and
// channels.json rebuilt from the configured items: rows are only added, a
// table of another layout and a registry that cannot be read stay as they
// are.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/channels.h"
#include "common/cp1251.h"
#include "common/legacy_base.h"
#include "supervisor/sup_legacy.h"
#include "tests/support/files.h"

namespace {

using tsup::read_file;
using tsup::write_file;

constexpr size_t kDescAt = 24, kDescWidth = 50;  // column 2 of a row

std::string row(int n, bool discrete = false, const std::string &desc_cp1251 = "") {
    legacy_item it{n, discrete, 'c', "10.0.0.1", "Tag" + std::to_string(n)};
    std::string r = legacy_new_row(it);
    r.replace(kDescAt + kDescWidth - desc_cp1251.size(), desc_cp1251.size(), desc_cp1251);
    return r + "\r\n";
}

std::string table(const std::vector<std::string> &rows) {
    std::string t = legacy_header() + "\r\n";
    for (const std::string &r : rows)
        t += r;
    return t;
}

class LegacyTables : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"legtab"};
    std::string ini = tmp / "zqbridge.ini", a = tmp / "zqbridge.a.base",
                d = tmp / "zqbridge.d.base", chans = tmp / "channels.json",
                yaml = tmp / "config.yaml";

    std::vector<legacy_item> items(const std::string &ini_text) {
        EXPECT_TRUE(write_file(ini, ini_text));
        std::vector<legacy_item> v;
        EXPECT_EQ(legacy_collect_items(ini.c_str(), &v), 0);
        return v;
    }
    int boot(std::string *log = nullptr) {
        std::string l;
        return sup_channels_bootstrap(ini.c_str(), yaml.c_str(), chans.c_str(), a.c_str(),
                                      d.c_str(), log ? log : &l);
    }
};

TEST_F(LegacyTables, HeaderAndNewRowsHaveTheFixedLayout) {
    std::string h = legacy_header();
    EXPECT_EQ(h.size(), size_t(LEGACY_ROW_CHARS));
    EXPECT_EQ(h.compare(0, 7, "__NN__,"), 0);
    EXPECT_EQ(cp1251_to_utf8(h.substr(7, 16)), "_Имя____________");
    std::string r = legacy_new_row({42, false, 'v', "10.0.0.9", "Prog:Main.Level"});
    ASSERT_EQ(r.size(), size_t(LEGACY_ROW_CHARS));
    for (size_t i = 0; i < h.size(); i++)
        if (h[i] == ',') {
            EXPECT_EQ(r[i], ',') << i;
        }
    EXPECT_EQ(r.substr(0, 7), "    42,");
    std::string src = "Logix5000[10.0.0.9][v]: Prog:Main.Level";
    EXPECT_EQ(r.substr(75 + 50 - src.size(), src.size()), src);
    // Defaults of a few columns: trend flags Y, timeout 60000.
    EXPECT_NE(r.find(",       Y,       Y,       Y,"), std::string::npos);
    EXPECT_NE(r.find(",      60000,"), std::string::npos);

    std::string long_tag(40, 'T');
    std::string cut = legacy_new_row({1, false, 'c', "192.168.100.200", long_tag});
    std::string full = "Logix5000[192.168.100.200][c]: " + long_tag;
    EXPECT_EQ(cut.substr(75, 50), " " + full.substr(0, 46) + "...");
}

TEST_F(LegacyTables, ItemLinesOnlyADAndFirstWins) {
    auto v = items(
        "[general]\nitem1=A7,c,Wrong\n"
        "[Logix5000_0]\nitem1=A2,c,First\nipaddr=10.0.0.1\nitem2=  d5 , v , Bit\n"
        "item3=A2,c,Second\nitem4=X3,c,Other\nitem5=A0,c,Zero\nitem6=A32768,c,Big\n"
        "item7=A4,c\nitem8=A6,,T\nitem9=A32767,c,Max\n");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].number, 2);
    EXPECT_EQ(v[0].tag, "First");
    EXPECT_EQ(v[0].ip, "");
    EXPECT_TRUE(v[1].discrete);
    EXPECT_EQ(v[1].number, 5);
    EXPECT_EQ(v[1].ip, "10.0.0.1");
    EXPECT_EQ(v[2].number, 32767);
}

TEST_F(LegacyTables, RowsAreAddedNeverChanged) {
    std::string r1 = row(1, false, "One"), r5 = row(5, false, "Five");
    ASSERT_TRUE(write_file(a, table({r1, r5})));
    chmod(a.c_str(), 0600);
    auto v = items(
        "[Logix5000_0]\nipaddr=1.1.1.1\nitem1=A1,c,X\nitem2=A2,c,Y\nitem3=D1,c,Z\nitem4=D3,c,W\n");
    std::string msg;
    EXPECT_EQ(legacy_sync_table(a.c_str(), false, v, &msg), LEGACY_SYNC_WRITTEN);
    EXPECT_EQ(msg, "[base_init] inserting 1 new channel(s) into " + a + " (3 total)\n");
    legacy_item a2{2, false, 'c', "1.1.1.1", "Y"};
    EXPECT_TRUE(read_file(a) == table({r1, legacy_new_row(a2) + "\r\n", r5}));
    struct stat st;
    ASSERT_EQ(stat(a.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(legacy_sync_table(a.c_str(), false, v, &msg), LEGACY_SYNC_OK);
    EXPECT_EQ(msg, "[base_init] " + a + " OK (3 channels)\n");

    EXPECT_EQ(legacy_sync_table(d.c_str(), true, v, &msg), LEGACY_SYNC_WRITTEN);
    EXPECT_EQ(msg, "[base_init] creating " + d + " (2 channels)\n");
    std::string dt = read_file(d);
    ASSERT_EQ(dt.size(), 3u * LEGACY_ROW_BYTES);
    size_t col = legacy_header().find(utf8_to_cp1251("СвязДискрет"));
    ASSERT_NE(col, std::string::npos);
    for (int i = 1; i <= 2; i++)
        EXPECT_EQ(dt.substr(i * LEGACY_ROW_BYTES + col, 11), "          0");
    EXPECT_EQ(dt.substr(LEGACY_ROW_BYTES, 6), "     1");
    EXPECT_EQ(dt.substr(2 * LEGACY_ROW_BYTES, 6), "     3");
}

TEST_F(LegacyTables, TablesOfAnotherLayoutAreLeftAlone) {
    auto v = items("[Logix5000_0]\nitem1=A1,c,X\nitem2=A2,c,Y\n");
    std::string good = table({row(1)});
    std::string lf = good;
    for (size_t p; (p = lf.find("\r\n")) != std::string::npos;)
        lf.replace(p, 2, "\n");
    std::string no_number = table({row(1)}) + "   abc" + row(3).substr(6);
    std::string truncated = good.substr(0, good.size() - 100);
    for (const std::string &text : {lf, no_number, truncated, std::string()}) {
        ASSERT_TRUE(write_file(a, text));
        std::string msg;
        EXPECT_EQ(legacy_sync_table(a.c_str(), false, v, &msg), LEGACY_SYNC_FOREIGN);
        EXPECT_NE(msg.find("таблицю не змінено"), std::string::npos) << msg;
        EXPECT_EQ(read_file(a), text);
    }
}

TEST_F(LegacyTables, BootstrapImportsTheTablesOnceAndFollowsTheItems) {
    std::string desc = utf8_to_cp1251("Температура котла");
    std::string r1 = row(1, false, desc);
    // Scale columns 6..9: code 0..4095, phys 0..100.
    ASSERT_TRUE(write_file(a, table({r1, row(2, false, "Gone")})));
    ASSERT_TRUE(write_file(d, table({row(4, true, utf8_to_cp1251("Насос"))})));
    ASSERT_TRUE(write_file(ini, "[Logix5000_0]\nipaddr=1.1.1.1\nitem1=A1,c,T1\nitem2=D4,c,B4\n"));
    ASSERT_EQ(boot(), SUP_BOOT_SAVED);
    channels_registry reg;
    ASSERT_EQ(channels_load(&reg, chans.c_str()), 0);
    ASSERT_TRUE(channels_an(&reg, 1));
    EXPECT_STREQ(channels_an(&reg, 1)->desc, "Температура котла");
    EXPECT_STREQ(channels_an(&reg, 1)->plc_tag, "T1");
    EXPECT_STREQ(channels_an(&reg, 1)->group, "Logix5000_0");
    EXPECT_FALSE(channels_an(&reg, 2));  // in the table, but mapped by no item
    ASSERT_TRUE(channels_di(&reg, 4));
    EXPECT_STREQ(channels_di(&reg, 4)->desc, "Насос");

    // Once channels.json exists, config.yaml's items decide; descriptions
    // of channels that stay are kept, whatever the tables say now.
    ASSERT_TRUE(write_file(a, table({row(1, false, "Changed")})));
    ASSERT_TRUE(write_file(yaml,
                           "logix:\n  groups:\n    - id: 3\n      ipaddr: 1.1.1.1\n"
                           "      items: |\n        A1,c, New.Tag\n        X5,c,Skip\n"
                           "calc:\n  items: |\n    A90\n    A1,v,Dup\n"));
    ASSERT_EQ(boot(), SUP_BOOT_SAVED);
    ASSERT_EQ(channels_load(&reg, chans.c_str()), 0);
    EXPECT_STREQ(channels_an(&reg, 1)->desc, "Температура котла");
    EXPECT_STREQ(channels_an(&reg, 1)->plc_tag, "New.Tag");
    EXPECT_STREQ(channels_an(&reg, 1)->group, "Logix5000_3");
    ASSERT_TRUE(channels_an(&reg, 90));
    EXPECT_STREQ(channels_an(&reg, 90)->group, "calc");
    EXPECT_STREQ(channels_an(&reg, 90)->plc_tag, "");
    EXPECT_FALSE(channels_di(&reg, 4));
    EXPECT_EQ(reg.an_max, 90);
}

TEST_F(LegacyTables, UnreadableSourcesKeepTheRegistry) {
    ASSERT_TRUE(write_file(ini, "[Logix5000_0]\nitem1=A1,c,T1\n"));
    ASSERT_TRUE(write_file(chans, "{\"analogs\": [ {\"id\": 7"));
    std::string log;
    EXPECT_EQ(boot(&log), SUP_BOOT_KEPT);
    EXPECT_EQ(read_file(chans), "{\"analogs\": [ {\"id\": 7");
    EXPECT_NE(log.find("не читається"), std::string::npos);

    ASSERT_EQ(unlink(chans.c_str()), 0);
    ASSERT_EQ(boot(), SUP_BOOT_SAVED);
    std::string saved = read_file(chans);
    ASSERT_EQ(mkdir(yaml.c_str(), 0755), 0);  // exists, cannot be read
    EXPECT_EQ(boot(), SUP_BOOT_KEPT);
    ASSERT_EQ(rmdir(yaml.c_str()), 0);
    ASSERT_EQ(unlink(ini.c_str()), 0);  // nothing says which channels exist
    EXPECT_EQ(boot(), SUP_BOOT_KEPT);
    EXPECT_EQ(read_file(chans), saved);
}

}  // namespace

// The configuration check: what each rule reports, on which line, and
// that items it lets through are ones the driver reads.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/cfg_check.h"
#include "tests/fuzz/corpus_files.h"

namespace {

std::vector<cfg_issue> check(const std::string &text) {
    std::vector<cfg_issue> v;
    EXPECT_GE(cfg_check(text, &v), 0);
    return v;
}

// "E3: msg" / "W0: msg" lines, for readable expectations.
std::vector<std::string> shown(const std::string &text) {
    std::vector<std::string> out;
    for (const cfg_issue &i : check(text))
        out.push_back((i.severity == CFG_ERROR ? "E" : "W") + std::to_string(i.line) + ": " +
                      i.msg);
    return out;
}

bool has(const std::vector<std::string> &v, const std::string &prefix_and_part) {
    size_t colon = prefix_and_part.find(':');
    std::string head = prefix_and_part.substr(0, colon + 1);
    std::string part = prefix_and_part.substr(colon + 2);
    for (const std::string &s : v)
        if (s.compare(0, head.size(), head) == 0 && s.find(part) != std::string::npos) return true;
    return false;
}

// Every multi-byte sequence complete.
bool utf8_whole(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

const char *GOOD =
    "scada:\n"
    "  port: 8080\n"
    "  wwwdir: ./www   # pages\n"
    "logix:\n"
    "  shm_name: /logix_drv\n"
    "  time:\n"
    "    autosync_threshold_ms: 2000\n"
    "  groups:\n"
    "    - id: 1\n"
    "      ipaddr: 10.0.0.5\n"
    "      connpath: \"backplane\\\\1\"\n"
    "      takt: 300\n"
    "      items: |\n"
    "        A1,c,Main.Level\n"
    "        # a remark inside the block\n"
    "        D2, bool , Main.Run[3]\n"
    "trends:\n"
    "  format: \"2\"\n"
    "  altpath_format: 3\n"
    "  altpath2_format: 0\n";

TEST(CfgCheck, CleanConfigurationHasNoIssues) {
    EXPECT_EQ(shown(GOOD), std::vector<std::string>{});
}

TEST(CfgCheck, LineRulesAndValueChecks) {
    auto v = shown(
        "scada:\n"
        "\tport: 1\n"             // 2 tab
        "  port: 0\n"             // 3
        "  wwwdir: ./www/\n"      // 4 trailing slash: warning only
        "  colour: red\n"         // 5 unknown key
        "this is not yaml\n"      // 6
        "trends:\n"               // 7
        "  mainpath_format: 3\n"  // 8
        "  altpath_format: 4\n"   // 9
        "alarm:\n"                // 10
        "  takt_ms: fast\n"       // 11
        "logix:\n"                // 12
        "  shm_name: logix/x\n"   // 13
        "  log:\n"                // 14
        "    logname: L\n"        // 15
        "    colour: 1\n"         // 16
        "scada:\n"                // 17 repeated section
        "  port: 65536\n");       // 18
    EXPECT_TRUE(has(v, "E2: ТАБУЛЯЦІЇ")) << ::testing::PrintToString(v);
    EXPECT_TRUE(has(v, "E3: scada.port «0» — має бути число 1..65535"));
    EXPECT_TRUE(has(v, "W4: wwwdir: шлях «./www/» із хвостовим слешем"));
    EXPECT_TRUE(has(v, "W5: невідомий ключ «colour» у секції «scada:»"));
    EXPECT_TRUE(has(v, "E6: «this is not yaml»"));
    EXPECT_TRUE(has(v, "E8: trends.mainpath_format: допустимо лише 1"));
    EXPECT_TRUE(has(v, "E9: trends.altpath_format"));
    EXPECT_TRUE(has(v, "E11: alarm.takt_ms «fast»"));
    EXPECT_TRUE(has(v, "E13: logix.shm_name «logix/x»"));
    EXPECT_TRUE(has(v, "W16: невідомий ключ «colour» у logix.log"));
    EXPECT_TRUE(has(v, "E17: повторна секція «scada:»"));
    EXPECT_TRUE(has(v, "E18: scada.port «65536»"));
    EXPECT_FALSE(has(v, "W15: logname"));
    EXPECT_TRUE(cfg_check_has_errors(check("scada:\n  port: 0\n")));
    EXPECT_FALSE(cfg_check_has_errors(check("scada:\n  wwwdir: ./www/\n")));
}

TEST(CfgCheck, ItemLinesAndSlotOwners) {
    auto v = shown(
        "logix:\n"
        "  groups:\n"
        "    - id: 1\n"
        "      ipaddr: 10.0.0.1\n"
        "      connpath: x\n"
        "      takt: 100\n"
        "      items: |\n"
        "        A0,v,Tag\n"      // 8 slot 0 warning
        "        X1,c,Tag\n"      // 9
        "        A40000,c,Tag\n"  // 10
        "        A5 c Tag\n"      // 11
        "        A6,c Tag\n"      // 12
        "        A7,c,\n"         // 13
        "        A8,word,T\n"     // 14
        "        D9,real,T\n"     // 15
        "        A10,c,T\n"       // 16
        "calc:\n"
        "  items:\n"
        "    - \"A10, real, Twice\"\n"  // 19 second writer
        "    - D9,bool,Again\n");       // 20
    EXPECT_TRUE(has(v, "W8: слот A0 не архівується")) << ::testing::PrintToString(v);
    EXPECT_TRUE(has(v, "E9: item не починається з A<n>/D<n>"));
    EXPECT_TRUE(has(v, "E10: індекс 40000 поза межами (0..32767)"));
    EXPECT_TRUE(has(v, "E11: нема першої коми"));
    EXPECT_TRUE(has(v, "E12: нема другої коми"));
    EXPECT_TRUE(has(v, "E13: порожній тег"));
    EXPECT_TRUE(has(v, "W14: середнє поле «word»"));
    EXPECT_TRUE(has(v, "W15: тип «real» несумісний зі слотом D (D → bool/usint)"));
    EXPECT_TRUE(has(v, "E19: дубль індексу A10 — вже замаплений у рядку 16"));
    EXPECT_TRUE(has(v, "E20: дубль індексу D9 — вже замаплений у рядку 15"));
}

TEST(CfgCheck, GroupPass) {
    auto v = shown(
        "logix:\n"
        "  groups:\n"
        "    - id: 1\n"               // 3 no ipaddr, no connpath, no takt, no items
        "    - id: 1\n"               // 4 duplicate id
        "      ipaddr: 10.0.0.256\n"  // 5
        "      connpath: a\n"
        "      takt: 0\n"  // 7
        "      items: |\n"
        "        A1,c,T\n"
        "    - ipaddr: ::1\n"  // 10 no id, not IPv4
        "      connpath: a\n"
        "      takt: fast\n"  // 12
        "      speed: 3\n"    // 13
        "      items:\n"
        "        - A2,c,T\n"
        "    - id: x\n"            // 16
        "\t    ipaddr: 1.2.3.4\n"  // 17 tab: no more complaints about this group
        "trends:\n"
        "  push:\n"
        "    - token: a\n");
    EXPECT_TRUE(has(v, "E3: група logix (рядок 3): нема ipaddr")) << ::testing::PrintToString(v);
    EXPECT_TRUE(has(v, "W3: нема connpath — типово backplane\\0"));
    EXPECT_TRUE(has(v, "W3: нема takt — типово 100 мс"));
    EXPECT_TRUE(has(v, "W3: порожній items"));
    EXPECT_TRUE(has(v, "E4: дубль id групи 1 (перша — рядок 3)"));
    EXPECT_TRUE(has(v, "E5: ipaddr «10.0.0.256» — не IPv4-адреса"));
    EXPECT_TRUE(has(v, "E7: takt «0» — має бути число мс > 0"));
    EXPECT_TRUE(has(v, "W10: нема id — буде порядковий"));
    EXPECT_TRUE(has(v, "E10: ipaddr «::1»"));
    EXPECT_TRUE(has(v, "E12: takt «fast»"));
    EXPECT_TRUE(has(v, "W13: невідомий ключ «speed» у групі logix"));
    EXPECT_TRUE(has(v, "E16: група: id «x» — має бути число"));
    EXPECT_TRUE(has(v, "E17: ТАБУЛЯЦІЇ"));
    EXPECT_FALSE(has(v, "E16: нема ipaddr"));
    EXPECT_FALSE(has(v, "W16: нема connpath"));
    EXPECT_TRUE(has(v, "E0: trends.push[0]: нема url"));
}

TEST(CfgCheck, DuplicateKeysAndTheIssueCap) {
    auto v = shown("scada:\n  port: 80\n  port: 81\n");
    EXPECT_TRUE(has(v, "W3: дубль ключа «port» (вперше — рядок 2)")) << ::testing::PrintToString(v);
    std::string many = "scada:\n";
    for (int i = 0; i < 65; i++)
        many += "  k" + std::to_string(i) + ": 1\n";
    EXPECT_EQ(check(many).size(), 64u);
    // Messages stay within bounds and are never cut inside a character.
    std::string ya;
    for (int i = 0; i < 150; i++)
        ya += "я";
    std::string longkey = "scada:\n  " + std::string(90, 'k') + ": 1\n";
    for (const cfg_issue &i :
         check(longkey + "x" + std::string(300, 'z') + "я\n  " + ya + ": 1\n")) {
        EXPECT_LE(i.msg.size(), 219u);
        EXPECT_TRUE(utf8_whole(i.msg)) << i.msg;
    }
}

TEST(CfgCheck, SharedRules) {
    for (const char *ok : {"10.0.0.1", "255.255.255.255", "0.0.0.0"})
        EXPECT_TRUE(cfg_ipv4_ok(ok)) << ok;
    for (const char *bad : {"", "10.0.0", "10.0.0.1.2", "256.1.1.1", "a.b.c.d", "1..2.3",
                            "1.2.3.4 ", "0001.2.3.4", "plc.local"})
        EXPECT_FALSE(cfg_ipv4_ok(bad)) << bad;
    EXPECT_TRUE(cfg_takt_ok("1"));
    EXPECT_FALSE(cfg_takt_ok("0"));
    EXPECT_FALSE(cfg_takt_ok("-5"));
    EXPECT_FALSE(cfg_takt_ok("1.5"));
}

TEST(CfgCheck, FuzzCorpusReplays) {
    auto files = fuzz_corpus_files("cfg_check");
    ASSERT_FALSE(files.empty());
    for (const auto &f : files) {
        std::vector<cfg_issue> v;
        EXPECT_GE(cfg_check(tsup::read_file(f), &v), 0) << f;
        EXPECT_LE(v.size(), 64u);
    }
}

}  // namespace

// config.yaml generated from a legacy zqbridge.ini: the INI's settings read
// back from the YAML exactly as they were, missing or broken numbers take
// the fresh-project defaults, and no password is ever invented.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "common/cfg_augment.h"
#include "common/cfg_skeleton.h"
#include "common/json.h"
#include "common/legacy_ini_yaml.h"
#include "common/yaml.h"
#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace {

using tsup::read_file;
using tsup::write_file;

class CfgLegacy : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"cfgleg"};
    std::string ini = tmp / "zqbridge.ini", yaml = tmp / "config.yaml";
    json_ptr root;

    // Converts the INI text and parses the result.
    const json_node *convert(const std::string &ini_text) {
        EXPECT_TRUE(write_file(ini, ini_text));
        EXPECT_EQ(config_ini_to_yaml(ini.c_str(), yaml.c_str()), 0);
        root.reset(yaml_parse(read_file(yaml).c_str()));
        return root.get();
    }
    const json_node *sec(const char *name) { return json_get(root.get(), name); }
    const json_node *group(size_t i) { return json_at(json_get(sec("logix"), "groups"), i); }
};

TEST_F(CfgLegacy, IniSettingsAndDefaults) {
    convert(
        "[trends]\nautodelsec=7\nautodelmin=\nautodelhour=abc\n"
        "[scada]\nport=8081\npoll_ms=250ms\nksp_projdir=/srv/ksp/\n"
        "[awp_slot]\nlogcontrol=1\ntrust1=\ntrust2=7:60:10.0.0.5/\nother=x\n"
        "[Logix5000]\nlogname=Plant\nlogerror=1\n"
        "[Logix5000_0]\nipaddr=10.0.0.1\nconnpath=backplane\\1/\ntakt=\n"
        "item1=A1,c,T[1]\nitem2=D2,c,B.0\nitemA=A9,c,No\nitem10=A10,v,P:Main.X\n"
        "[Logix5000_2]\nipaddr=10.0.0.3\n");
    const json_node *tr = sec("trends");
    EXPECT_EQ(json_getn(tr, "autodelsec", -1), 7);
    EXPECT_EQ(json_getn(tr, "autodelmin", -1), 0);
    EXPECT_EQ(json_getn(tr, "autodelhour", -1), 0);
    EXPECT_STREQ(json_gets(tr, "mainpath_linux", ""), "./Trends");

    const json_node *sc = sec("scada");
    EXPECT_EQ(json_getn(sc, "port", 0), 8081);
    EXPECT_EQ(json_getn(sc, "poll_ms", 0), 250);
    EXPECT_STREQ(json_gets(sc, "eng_password", "?"), "");
    EXPECT_EQ(json_getn(sc, "logcontrol", -1), 1);
    EXPECT_STREQ(json_gets(sc, "ksp_projdir", ""), "/srv/ksp");
    EXPECT_EQ(json_getn(sec("alarm"), "takt_ms", 0), 500);

    // Only a path loses its trailing slash; a trust entry is data.
    std::vector<std::string> trust = yaml_items_vec(json_get(sec("awp_slot"), "trust"));
    EXPECT_EQ(trust, std::vector<std::string>{"7:60:10.0.0.5/"});

    const json_node *log = json_get(sec("logix"), "log");
    EXPECT_STREQ(json_gets(log, "logname", ""), "Plant");
    EXPECT_EQ(json_getn(log, "loginit", -1), 1);
    EXPECT_EQ(json_getn(log, "logerror", -1), 1);

    // Logix5000_1 is missing: the list ends there.
    EXPECT_EQ(json_count(json_get(sec("logix"), "groups")), 1u);
    EXPECT_EQ(json_getn(group(0), "id", -1), 0);
    EXPECT_STREQ(json_gets(group(0), "ipaddr", ""), "10.0.0.1");
    EXPECT_STREQ(json_gets(group(0), "connpath", ""), "backplane\\1");
    EXPECT_EQ(json_getn(group(0), "takt", 0), 1000);  // empty is not 0 (a busy loop)
    EXPECT_EQ(yaml_items_vec(json_get(group(0), "items")),
              (std::vector<std::string>{"A1,c,T[1]", "D2,c,B.0", "A10,v,P:Main.X"}));
    EXPECT_EQ(sec("supervisor"), nullptr);
}

TEST_F(CfgLegacy, NoPasswordIsEverInvented) {
    convert("[scada]\neng_password=\n");
    EXPECT_STREQ(json_gets(sec("scada"), "eng_password", "?"), "");
    convert("[scada]\nport=1\n");
    EXPECT_STREQ(json_gets(sec("scada"), "eng_password", "?"), "");
    json_ptr skel(yaml_parse(config_skeleton_str()));
    EXPECT_STREQ(json_gets(json_get(skel.get(), "scada"), "eng_password", "?"), "");
    // Augmentation from the skeleton adds what the conversion leaves out,
    // and the converted file itself loses nothing.
    std::string text = read_file(yaml), out;
    ASSERT_EQ(config_augment_text(text, config_skeleton_str(), &out), CFG_AUG_ADDED);
    EXPECT_EQ(out.compare(0, text.size(), text), 0);
    EXPECT_NE(out.find("\nupdate:\n"), std::string::npos);
}

// Values the YAML reader would cut, unquote or take as numbers come back
// as the very text of the INI, CP1251 turned into UTF-8.
TEST_F(CfgLegacy, TrickyValuesRoundTrip) {
    const std::vector<std::string> values = {
        "pa\"ss",
        "back\\slash\\",
        "a #b",
        "#lead",
        "-dash",
        "[x]",
        "123",
        "1.50",
        "true",
        "x: y",
        "'q'",
        "~",
        "Насос №1 «гаряча вода»",
    };
    std::string utf8 = "[scada]\neng_password=" + values[0] + "\n[awp_slot]\n";
    for (size_t i = 0; i < values.size(); i++)
        utf8 += "trust" + std::to_string(i) + "=" + values[i] + "\n";
    utf8 += "[supervisor]\n";
    for (size_t i = 0; i < values.size(); i++)
        utf8 += "k" + std::to_string(i) + "=" + values[i] + "\n";
    utf8 += "bad key=1\nюні=2\n-lead=4\nok.key-1=3\n[Logix5000]\nlogname=" + values[1] +
            "\n[Logix5000_0]\nipaddr=1.50\nconnpath=a #b\n";
    ASSERT_TRUE(write_file(tmp / "utf8.ini", utf8));
    tsup::RunResult r =
        tsup::run({.argv = {"iconv", "-f", "UTF-8", "-t", "CP1251", "-o", ini, tmp / "utf8.ini"}});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(config_ini_to_yaml(ini.c_str(), yaml.c_str()), 0);
    root.reset(yaml_parse(read_file(yaml).c_str()));

    EXPECT_STREQ(json_gets(sec("scada"), "eng_password", ""), values[0].c_str());
    EXPECT_EQ(yaml_items_vec(json_get(sec("awp_slot"), "trust")).size(), values.size());
    const json_node *trust = json_get(sec("awp_slot"), "trust");
    const json_node *sup = sec("supervisor");
    for (size_t i = 0; i < values.size(); i++) {
        const json_node *t = json_at(trust, i);
        ASSERT_TRUE(t && t->type == JSON_STRING) << i;
        EXPECT_EQ(std::string(t->string), values[i]);
        EXPECT_STREQ(json_gets(sup, ("k" + std::to_string(i)).c_str(), "<none>"),
                     values[i].c_str());
    }
    EXPECT_EQ(json_get(sup, "bad key"), nullptr);
    EXPECT_EQ(json_count(sup), values.size() + 1);
    EXPECT_STREQ(json_gets(sup, "ok.key-1", ""), "3");
    EXPECT_STREQ(json_gets(json_get(sec("logix"), "log"), "logname", ""), "back\\slash\\");
    EXPECT_STREQ(json_gets(group(0), "ipaddr", ""), "1.50");
    EXPECT_STREQ(json_gets(group(0), "connpath", ""), "a #b");
}

TEST_F(CfgLegacy, FailuresLeaveNoFileBehind) {
    EXPECT_EQ(config_ini_to_yaml((tmp / "none.ini").c_str(), yaml.c_str()), -1);
    EXPECT_FALSE(tsup::file_exists(yaml));
    ASSERT_TRUE(write_file(ini, "[scada]\nport=1\n"));
    std::string missing_dir = tmp / "no/such/config.yaml";
    EXPECT_EQ(config_ini_to_yaml(ini.c_str(), missing_dir.c_str()), -1);
    EXPECT_EQ(config_write_skeleton(missing_dir.c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(config_write_skeleton(yaml.c_str()), 0);
    EXPECT_EQ(read_file(yaml), config_skeleton_str());
}

}  // namespace

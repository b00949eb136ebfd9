// The recorder's configuration (config.yaml or the legacy INI) and its
// channel base (channels.json or the legacy CP1251 tables).

#include <gtest/gtest.h>

#include "common/cp1251.h"
#include "trend/trend_config.h"
#include "trend_test_util.h"

namespace {

struct EnvGuard {
    explicit EnvGuard(const char *v) {
        if (v)
            setenv("LOGIX_SHM_NAME", v, 1);
        else
            unsetenv("LOGIX_SHM_NAME");
    }
    ~EnvGuard() { unsetenv("LOGIX_SHM_NAME"); }
};

int load(trend_config *c, const std::string &dir, const char *cfg = "config.yaml") {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = trend_config_load(c, (dir + "/" + cfg).c_str(), dir.c_str());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return rc;
}

TEST(TrendConfig, YamlKeysCountsAndSegments) {
    EnvGuard env(nullptr);
    tsup::TempDir d("cfg");
    tsup::write_file(d / "config.yaml",
                     "trends:\n"
                     "  mainpath_linux: /data/Trends\n"
                     "  altpath_linux: /mnt/a/\n"
                     "  mainpath_format: 2\n"
                     "  autodelsec: 30\n"
                     "  hour: false\n"
                     "logix:\n"
                     "  groups:\n"
                     "    - id: 3\n"
                     "      items: |\n"
                     "        A1,c,HMI_A[1]\n"
                     "        A120,c,HMI_A[120]\n"
                     "        d40,c,HMI_D[40]\n"
                     "    - items:\n"
                     "        - D7,c,X\n"
                     "calc:\n"
                     "  items: |\n"
                     "    A90\n");
    trend_config c;
    ASSERT_EQ(0, load(&c, d.path));
    EXPECT_EQ("/data/Trends/", c.mainpath);
    EXPECT_EQ("/mnt/a/", c.altpath);
    EXPECT_EQ("", c.altpath2);
    EXPECT_EQ(TREND_FMT_V2, c.main_fmt);
    EXPECT_EQ(TREND_FMT_V1_PACKED, c.alt_fmt);
    EXPECT_EQ(121, c.analogs);
    EXPECT_EQ(41, c.discrets);
    EXPECT_EQ(30, c.autodel_sec);
    EXPECT_TRUE(c.sec);
    EXPECT_FALSE(c.hour);
    EXPECT_EQ((std::vector<std::string>{"/Logix5000_3", "/Logix5000_1"}), c.shm_names);
    EXPECT_EQ(d / "zqbridge.a.base", c.a_base_path);
}

TEST(TrendConfig, SegmentNamePrecedenceAndExplicitCounts) {
    tsup::TempDir d("cfg2");
    tsup::write_file(d / "config.yaml",
                     "trends:\n  mainpath_linux: /t\n  format: 2\n"
                     "logix:\n  shm_name: /plant\n  analogs: 50\n  discrets: 20\n"
                     "  groups:\n    - items: |\n        A400\n");
    trend_config c;
    {
        EnvGuard env(nullptr);
        ASSERT_EQ(0, load(&c, d.path));
        EXPECT_EQ((std::vector<std::string>{"/plant"}), c.shm_names);
        EXPECT_EQ(50, c.analogs);
        EXPECT_EQ(20, c.discrets);
        EXPECT_EQ(TREND_FMT_V2, c.main_fmt);  // from `format`
    }
    {
        EnvGuard env("/logix_drv_boiler1");
        ASSERT_EQ(0, load(&c, d.path));
        EXPECT_EQ((std::vector<std::string>{"/logix_drv_boiler1"}), c.shm_names);
    }
}

TEST(TrendConfig, PushTokensFromTheTokenFile) {
    EnvGuard env(nullptr);
    tsup::TempDir d("cfgpush");
    tsup::write_file(d / "config.yaml",
                     "trends:\n  mainpath_linux: /t\n  push:\n"
                     "    - url: http://a:8080\n      token: cfg-a\n      deflate: true\n"
                     "    - url: http://b\n      token: cfg-b\n"
                     "    - url: \"\"\n"
                     "    - url: http://c\n");
    tsup::write_file(d / "push_tokens.json",
                     "{\"tokens\":[{\"url\":\"http://a:8080\",\"token\":\"file-a\"},"
                     "{\"url\":\"http://b\",\"token\":\"\"}]}");
    trend_config c;
    ASSERT_EQ(0, load(&c, d.path));
    ASSERT_EQ(2u, c.push.size());
    EXPECT_EQ("file-a", c.push[0].token);
    EXPECT_TRUE(c.push[0].deflate);
    EXPECT_EQ("cfg-b", c.push[1].token);  // empty token in the file: keep config's
    EXPECT_FALSE(c.push[1].deflate);
}

TEST(TrendConfig, EmptyMainPathIsNotAnError) {
    EnvGuard env(nullptr);
    tsup::TempDir d("cfgempty");
    tsup::write_file(d / "config.yaml", "trends:\n  sec: true\n");
    trend_config c;
    EXPECT_EQ(0, load(&c, d.path));
    EXPECT_EQ("", c.mainpath);
}

TEST(TrendConfig, LegacyIni) {
    EnvGuard env(nullptr);
    tsup::TempDir d("cfgini");
    tsup::write_file(d / "zqbridge.ini",
                     "; legacy\n[general]\nanalogs = 64\ndiscrets=32\n"
                     "[trends]\nmainpath = D:\\Trends\\Main\naltpath=E:\\Copy\n"
                     "// comment\nsec=no\nautodelmin = 7\n"
                     "[Logix5000_0]\nipaddr=10.0.0.1\n[Logix5000_2]\nipaddr=10.0.0.2\n"
                     "[Other]\nipaddr=1.1.1.1\n");
    trend_config c;
    ASSERT_EQ(0, load(&c, d.path, "zqbridge.ini"));
    EXPECT_EQ("/Trends/Main/", c.mainpath);
    EXPECT_EQ("/Copy/", c.altpath);
    EXPECT_FALSE(c.sec);
    EXPECT_TRUE(c.min);
    EXPECT_EQ(7, c.autodel_min);
    EXPECT_EQ(64, c.analogs);
    EXPECT_EQ((std::vector<std::string>{"/Logix5000_0", "/Logix5000_2"}), c.shm_names);
    EXPECT_EQ(TREND_FMT_V1_PACKED, c.main_fmt);

    tsup::write_file(
        d / "zqbridge.ini",
        "[general]\nanalogs=999999999\n[trends]\nmainpath_linux=/lin\nmainpath=C:\\win\n");
    ASSERT_EQ(0, load(&c, d.path, "zqbridge.ini"));
    EXPECT_EQ("/lin/", c.mainpath);
    EXPECT_EQ(32768, c.analogs);
    tsup::write_file(d / "zqbridge.ini", "[trends]\nsec=yes\n");
    EXPECT_EQ(-1, load(&c, d.path, "zqbridge.ini"));
    EXPECT_EQ(-1, load(&c, d.path, "missing.ini"));
}

TEST(TrendBase, FromTheChannelRegistry) {
    tsup::TempDir d("basejson");
    tsup::write_file(
        d / "channels.json",
        tt::channels_json({{12, "Тиск пари", "кПа", 0, 27648, 0, 1.6}, {3, "Flat", "", 5, 5, 1, 2}},
                          {{7, "Насос"}}));
    trend_base b;
    ASSERT_EQ(0, base_read(&b, (d / "zqbridge.a.base").c_str(), (d / "zqbridge.d.base").c_str(),
                           300, 512));
    EXPECT_EQ(12, b.an_max);
    EXPECT_EQ(7, b.di_max);
    const trend_an_desc &a = b.an[12];
    EXPECT_EQ(1u, a.present);
    EXPECT_EQ(1u, a.scaled);
    EXPECT_EQ(0u, b.an[3].scaled);
    EXPECT_EQ(27648.0f, a.code_max);
    EXPECT_EQ(1.6f, a.phys_max);
    EXPECT_STREQ("Тиск пари", a.desc);
    EXPECT_STREQ("кПа", a.units);
    std::string label(a.label, 78);
    EXPECT_EQ("A12 :" + utf8_to_cp1251(std::string("Тиск пари")), label.substr(0, 14));
    EXPECT_EQ(utf8_to_cp1251(std::string("кПа")), label.substr(62, 3));
    EXPECT_EQ(std::string(78 - 65, ' '), label.substr(65));
    EXPECT_EQ("D7 :" + utf8_to_cp1251(std::string("Насос")), std::string(b.di[7].label, 9));
    EXPECT_EQ(0u, b.an[5].present);
}

TEST(TrendBase, FromTheLegacyTables) {
    tsup::TempDir d("baseleg");
    std::string desc = utf8_to_cp1251(std::string("Температура"));
    tsup::write_file(d / "zqbridge.a.base",
                     "__NN__,name,desc\r\n"
                     "     1, T1 ," +
                         desc +
                         ",src,mA,0,0,4000,0,150\r\n"
                         "     2,T2,Level,src,mA,0,0,100,0,10,0123456789abcdefXYZ,more\r\n"
                         "     x,bad,line,0,0,0,0,0,0,0\r\n"
                         "     3,short,line\r\n"
                         " 40000,T,too big,0,0,0,0,0,0,0\r\n");
    tsup::write_file(d / "zqbridge.d.base", "hdr\n 5,D5,Run\n 6,D6\n 7\n");
    trend_base b;
    ASSERT_EQ(
        0, base_read(&b, (d / "zqbridge.a.base").c_str(), (d / "zqbridge.d.base").c_str(), 10, 10));
    EXPECT_EQ(2, b.an_max);
    EXPECT_EQ(0u, b.an[3].present);
    EXPECT_EQ(1u, b.an[1].scaled);
    EXPECT_EQ(150.0f, b.an[1].phys_max);
    EXPECT_STREQ("Температура", b.an[1].desc);
    std::string l1(b.an[1].label, 78);
    EXPECT_EQ("T1 :" + desc, l1.substr(0, 4 + desc.size()));
    EXPECT_EQ(std::string(16, ' '), l1.substr(62));  // 10 fields: no units
    EXPECT_STREQ("0123456789abcde", b.an[2].units_cp);
    EXPECT_EQ(6, b.di_max);
    EXPECT_EQ(1u, b.di[6].present);
    EXPECT_EQ(0u, b.di[7].present);

    unlink((d / "zqbridge.d.base").c_str());
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, base_read(&b, (d / "zqbridge.a.base").c_str(), (d / "zqbridge.d.base").c_str(),
                            10, 10));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find("zqbridge.d.base"));
}

}  // namespace

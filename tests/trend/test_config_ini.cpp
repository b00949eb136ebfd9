// The recorder's legacy INI file read through the shared INI reader.

#include <gtest/gtest.h>

#include "trend/trend_config.h"
#include "tests/support/files.h"
#include "trend_test_util.h"

namespace {

int load_ini(trend_config *c, const tsup::TempDir &d, const std::string &text) {
    unsetenv("LOGIX_SHM_NAME");
    tsup::write_file(d / "zqbridge.ini", text);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int rc = trend_config_load(c, (d / "zqbridge.ini").c_str(), d.path.c_str());
    testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    return rc;
}

}  // namespace

TEST(TrendConfigIni, CommentsLineEndsAndRepeatedGroups) {
    tsup::TempDir d("cfgini2");
    trend_config c;
    ASSERT_EQ(0, load_ini(&c, d,
                          "mainpath_linux=/not/in/a/section\r\n"
                          "[trends]\r\n"
                          "mainpath_linux = /data/tr \r\n"
                          "# min=no\r\n"
                          "hour=no\r\n"
                          "[Logix5000_1]\nipaddr=10.0.0.1\n"
                          "[Logix5000_1]\nipaddr=10.0.0.1\n"
                          "[Logix5000_0]\nipaddr=10.0.0.2\n"));
    EXPECT_EQ("/data/tr/", c.mainpath);
    EXPECT_TRUE(c.min);
    EXPECT_FALSE(c.hour);
    EXPECT_EQ((std::vector<std::string>{"/Logix5000_1", "/Logix5000_0"}), c.shm_names);
}

TEST(TrendConfigIni, UnclosedHeaderKeepsTheSectionBefore) {
    tsup::TempDir d("cfgini3");
    trend_config c;
    // "[general" opens nothing: its keys stay in [trends], where they mean
    // nothing, and the counts keep their defaults.
    ASSERT_EQ(0, load_ini(&c, d,
                          "[trends]\nmainpath_linux=/t\n"
                          "[general\nanalogs=77\nautodelsec=3\n"));
    EXPECT_NE(77, c.analogs);
    EXPECT_EQ(3, c.autodel_sec);
}

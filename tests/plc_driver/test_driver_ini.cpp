// The driver's legacy INI file read through the shared INI reader: sections
// and keys count in file order, repeats included.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "driver_config.h"

namespace {

struct IniFile {
    std::string path;
    explicit IniFile(const std::string &text) {
        char tmpl[] = "/tmp/zq_driver_ini_XXXXXX";
        int fd = mkstemp(tmpl);
        path = tmpl;
        if (fd >= 0) {
            if (write(fd, text.data(), text.size()) != ssize_t(text.size())) path.clear();
            close(fd);
        }
    }
    ~IniFile() { unlink(path.c_str()); }
};

struct Loaded {
    std::unique_ptr<logix_config> c{new logix_config()};
    int rc = -1;
    explicit Loaded(const std::string &text) {
        IniFile f(text);
        testing::internal::CaptureStderr();
        rc = logix_config_load_ini(c.get(), f.path.c_str());
        testing::internal::GetCapturedStderr();
    }
    ~Loaded() { logix_config_free(c.get()); }
};

}  // namespace

TEST(DriverIni, RepeatedSectionsAndKeysAllCount) {
    Loaded l(
        "ipaddr=10.9.9.9\n"  // before any section: belongs to no group
        "[Logix5000_1]\r\n"
        "ipaddr=10.0.0.1\r\n"
        "item1=A1,v,One\r\n"
        "item1=A2,v,OneAgain\r\n"
        "# item2=A3,v,Commented\n"
        "[Logix5000_1]\n"
        "ipaddr=10.0.0.2\n"
        "item1=A4,v,Second\n");
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.c->group_count, 2);
    const logix_group &a = l.c->groups[0], &b = l.c->groups[1];
    EXPECT_STREQ(a.name, "Logix5000_1");
    EXPECT_STREQ(a.ip, "10.0.0.1");
    ASSERT_EQ(a.item_count, 2);
    EXPECT_STREQ(a.items[0].text, "One");
    EXPECT_STREQ(a.items[1].text, "OneAgain");
    EXPECT_STREQ(b.name, "Logix5000_1");
    EXPECT_STREQ(b.ip, "10.0.0.2");
    ASSERT_EQ(b.item_count, 1);
    EXPECT_EQ(l.c->analogs, 5);
}

TEST(DriverIni, UnclosedHeaderKeepsTheSectionBefore) {
    Loaded l(
        "[Logix5000_3]\n"
        "ipaddr=10.0.0.3\n"
        "[general\n"
        "item4=D7,v,StillGroupThree\n"
        "[general]  ; trailing text after the bracket\n"
        "analogs=20\n");
    ASSERT_EQ(l.rc, 0);
    ASSERT_EQ(l.c->group_count, 1);
    ASSERT_EQ(l.c->groups[0].item_count, 1);
    EXPECT_EQ(l.c->groups[0].items[0].ordinal, 4);
    EXPECT_EQ(l.c->analogs, 20);
    EXPECT_EQ(l.c->discretes, 8);
}

TEST(DriverIni, GroupsBeyondTheLimitAreSkippedWithTheirKeys) {
    std::string text;
    for (int i = 0; i < LOGIX_MAX_GROUPS + 2; i++)
        text += "[Logix5000_" + std::to_string(i) + "]\nipaddr=10.0.1." + std::to_string(i) +
                "\nitem1=A" + std::to_string(i + 1) + ",v,T\n";
    Loaded l(text);
    ASSERT_EQ(l.rc, 0);
    EXPECT_EQ(l.c->group_count, LOGIX_MAX_GROUPS);
    EXPECT_EQ(l.c->analogs, LOGIX_MAX_GROUPS + 1);
}

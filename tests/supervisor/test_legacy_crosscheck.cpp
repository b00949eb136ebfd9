// A converted project polls and records exactly as before: the driver's
// and the recorder's readers see the same settings in the generated
// config.yaml as in the legacy INI it came from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include <string>

#include "common/legacy_ini_yaml.h"
#include "plc_driver/driver_config.h"
#include "tests/support/files.h"
#include "trend/trend_config.h"

namespace {

using tsup::read_file;
using tsup::write_file;

const char kIni[] =
    "[general]\nshm_name=/logix_drv\n"
    "[trends]\nmainpath_linux=./Trends/\nautodelsec=14\nautodelmin=400\nautodelhour=\n"
    "[scada]\nport=8080\n"
    "[Logix5000]\nlogname=Plant\nloginit=0\nlogerror=1\nlogwrite=0\n"
    "[Logix5000_0]\nipaddr=10.1.1.10\nconnpath=backplane\\2/\ntakt=250\n"
    "item1=A1,c,HMI_A[1]\nitem2=A2,c,HMI_A[2]\nitem3=A3,v,Program:Main.Level\n"
    "item4=D1,c,HMI_D[0].3\nitem5=D2,c,Status.0\nitem6=A40,v,Tank[3].Level\n"
    "item7=A41,v,Tank[3].Temp\nitem8=d7 , c , Pump_Run\n"
    "[Logix5000_1]\nipaddr=10.1.1.11\ntakt=1000\nconnpath=backplane\\0\n"
    "item1=A100,c,Flow\nitem2=A101,c,Flow\n";

void expect_same(const logix_config &ini, const logix_config &yml) {
    EXPECT_EQ(ini.group_count, yml.group_count);
    EXPECT_EQ(ini.analogs, yml.analogs);
    EXPECT_EQ(ini.discretes, yml.discretes);
    EXPECT_STREQ(ini.log_name, yml.log_name);
    EXPECT_EQ(ini.log_init, yml.log_init);
    EXPECT_EQ(ini.log_error, yml.log_error);
    EXPECT_EQ(ini.log_write, yml.log_write);
    for (int g = 0; g < ini.group_count && g < yml.group_count; g++) {
        const logix_group &a = ini.groups[g], &b = yml.groups[g];
        SCOPED_TRACE(a.name);
        EXPECT_STREQ(a.name, b.name);
        EXPECT_STREQ(a.ip, b.ip);
        EXPECT_EQ(a.port, b.port);
        EXPECT_EQ(a.slot, b.slot);
        EXPECT_EQ(a.takt_ms, b.takt_ms);
        EXPECT_EQ(a.array_segment_count, b.array_segment_count);
        EXPECT_EQ(a.general_segment_count, b.general_segment_count);
        ASSERT_EQ(a.item_count, b.item_count);
        for (int i = 0; i < a.item_count; i++) {
            const logix_item &x = a.items[i], &y = b.items[i];
            SCOPED_TRACE(x.text);
            EXPECT_EQ(x.ordinal, y.ordinal);
            EXPECT_EQ(x.channel, y.channel);
            EXPECT_EQ(x.is_discrete, y.is_discrete);
            EXPECT_STREQ(x.text, y.text);
            EXPECT_EQ(x.path_len, y.path_len);
            EXPECT_EQ(0, memcmp(x.path, y.path, sizeof x.path));
            EXPECT_EQ(x.bit_from, y.bit_from);
            EXPECT_EQ(x.bit_to, y.bit_to);
            EXPECT_EQ(x.duplicate_of, y.duplicate_of);
            EXPECT_EQ(x.array_seg, y.array_seg);
            EXPECT_EQ(x.general_segment, y.general_segment);
        }
    }
}

TEST(LegacyCrossCheck, DriverAndRecorderReadTheSameSettings) {
    tsup::TempDir tmp("legx");
    std::string old_dir = tmp / "old", new_dir = tmp / "new";
    ASSERT_EQ(mkdir(old_dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(new_dir.c_str(), 0755), 0);
    std::string ini = old_dir + "/zqbridge.ini", yaml = new_dir + "/config.yaml";
    ASSERT_TRUE(write_file(ini, kIni));
    ASSERT_EQ(config_ini_to_yaml(ini.c_str(), yaml.c_str()), 0);

    logix_config from_ini, from_yaml;
    ASSERT_EQ(logix_config_load_ini(&from_ini, ini.c_str()), 0);
    ASSERT_EQ(logix_config_load_yaml_text(&from_yaml, read_file(yaml).c_str(), yaml.c_str()), 0);
    ASSERT_EQ(from_ini.group_count, 2);
    expect_same(from_ini, from_yaml);
    logix_config_free(&from_ini);
    logix_config_free(&from_yaml);

    trend_config t_ini, t_yaml;
    ASSERT_EQ(trend_config_load(&t_ini, ini.c_str(), old_dir.c_str()), 0);
    ASSERT_EQ(trend_config_load(&t_yaml, (new_dir + "/zqbridge.ini").c_str(), new_dir.c_str()), 0);
    EXPECT_EQ(t_ini.autodel_sec, 14);
    EXPECT_EQ(t_ini.autodel_sec, t_yaml.autodel_sec);
    EXPECT_EQ(t_ini.autodel_min, t_yaml.autodel_min);
    EXPECT_EQ(t_ini.autodel_hour, t_yaml.autodel_hour);
    EXPECT_EQ(t_ini.mainpath, t_yaml.mainpath);
    EXPECT_EQ(t_ini.sec, t_yaml.sec);
    EXPECT_EQ(t_ini.min, t_yaml.min);
    EXPECT_EQ(t_ini.hour, t_yaml.hour);
}

}  // namespace

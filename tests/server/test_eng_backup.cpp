// Backups through the engineering API of a real zqserver: the settings in
// config.yaml, requests, the archive list and downloads, quick copies and
// restore; and the text rules those endpoints stand on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "common/yaml.h"
#include "common/yaml_edit.h"
#include "eng_test_util.h"
#include "server/eng_backup.h"
#include "tests/fuzz/corpus_files.h"

using namespace engtest;

namespace {

const std::string CFG_TAIL =
    "logix:\n  shm_name: /zqx\n";  // the section the backup settings go before

std::string cfg_of(const eng_server &s) {
    return read_file(s.dir + "/config.yaml");
}

}  // namespace

TEST(EngBackupRules, NamesStampsSchedules) {
    EXPECT_TRUE(eng_backup_name_ok("20260307_020000_plant.tar.gz"));
    EXPECT_TRUE(eng_backup_name_ok("plant_latest.tar.gz"));
    for (const char *bad :
         {"atar.gz", "../x_20260307.tar.gz", "x/20260307_0200.tar.gz", "20260307_020000 p.tar.gz",
          "20260307_020000_p.tar", "..tar.gz.tar.gz", "20260307_020000_p\n.tar.gz"})
        EXPECT_FALSE(eng_backup_name_ok(bad)) << bad;
    EXPECT_FALSE(eng_backup_name_ok((std::string(90, 'a') + ".tar.gz").c_str()));

    EXPECT_TRUE(eng_backup_stamp_ok("20260307_235959"));
    for (const char *bad :
         {"20260307_240000", "20261307_120000", "20260300_120000", "20260307-120000",
          "2026030_1200000", "20260307_12000", "../../etc/x", "20260307_120000x"})
        EXPECT_FALSE(eng_backup_stamp_ok(bad)) << bad;

    EXPECT_EQ(eng_backup_stamp_of("config_20260307_120000.yaml"), "20260307_120000");
    EXPECT_EQ(eng_backup_stamp_of("my_file_20260307_120000.json"), "20260307_120000");
    EXPECT_EQ(eng_backup_stamp_of("config_2026_0307_120000.yaml"), "");
    EXPECT_EQ(eng_backup_copy_name("config.yaml", "S"), "config_S.yaml");
    EXPECT_EQ(eng_backup_copy_name("Makefile", "S"), "Makefile_S");

    int h = -1, m = -1;
    EXPECT_TRUE(eng_backup_schedule_ok("7:05", &h, &m));
    EXPECT_EQ(h * 100 + m, 705);
    for (const char *bad :
         {"24:00", "12:60", "-1:00", "12", "12:", ":30", " 1:00", "1:00x", "123:00", "+1:00"})
        EXPECT_FALSE(eng_backup_schedule_ok(bad, &h, &m)) << bad;
}

TEST(EngBackupRules, SectionWrittenOnceBeforeLogixKeepingDirAndComments) {
    std::string t = "scada:\n  port: 1\n" + CFG_TAIL;
    ASSERT_EQ(eng_backup_section_set(&t, true, 3, 5, 9), YAML_EDIT_OK);
    EXPECT_EQ(t,
              "scada:\n  port: 1\nbackup:\n  enabled: true\n  dir: ./backups\n  schedule: "
              "\"03:05\"\n  keep: 9\n" +
                  CFG_TAIL);
    ASSERT_EQ(eng_backup_section_set(&t, false, 4, 0, 2), YAML_EDIT_OK);
    EXPECT_EQ(tsup::count_of(t, "backup:"), 1u);
    EXPECT_LT(t.find("backup:"), t.find("logix:"));

    // A custom folder, a comment after the section and a key we do not
    // know all stay.
    t = "backup:\n  enabled: false\n  dir: /mnt/zq/nas/bk   # NAS\n  keep: 3\n# next\nalarm:\n  "
        "dir: ./alarm\n";
    ASSERT_EQ(eng_backup_section_set(&t, true, 23, 59, 9999), YAML_EDIT_OK);
    json_ptr root(yaml_parse(t.c_str()));
    const json_node *bk = json_get(root.get(), "backup");
    EXPECT_EQ(std::string(json_gets(bk, "dir", "")), "/mnt/zq/nas/bk");
    EXPECT_EQ(std::string(json_gets(bk, "schedule", "")), "23:59");
    EXPECT_EQ(json_geti(bk, "keep", 0), 9999);
    EXPECT_EQ(json_getb(bk, "enabled", 0), 1);
    EXPECT_NE(t.find("# NAS"), std::string::npos);
    EXPECT_NE(t.find("\n# next\nalarm:"), std::string::npos) << t;

    // No logix section: at the end; a file starting with it: at the start.
    t = "scada:\n  port: 1";
    ASSERT_EQ(eng_backup_section_set(&t, false, 2, 0, 30), YAML_EDIT_OK);
    EXPECT_EQ(t.find("scada:\n  port: 1\nbackup:\n"), 0u);
    t = CFG_TAIL;
    ASSERT_EQ(eng_backup_section_set(&t, false, 2, 0, 30), YAML_EDIT_OK);
    EXPECT_EQ(t.find("backup:\n"), 0u);
    // "backupx:" and "  backup:" are other keys.
    EXPECT_FALSE(eng_backup_has_section("backupx:\n  a: 1\nscada:\n  backup: 1\n"));
    EXPECT_TRUE(eng_backup_has_section("a: 1\nbackup:\r\n  keep: 1\n"));
}

TEST(EngBackup, SettingsReadWriteAndRefusals) {
    eng_server s("", CFG_TAIL);
    ASSERT_TRUE(s.start());
    response r = s.eget("/api/eng/backup");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body,
              "{\"enabled\":false,\"schedule\":\"02:00\",\"keep\":30,\"dir\":\"./backups\","
              "\"backups\":[]}");

    std::string before = cfg_of(s);
    for (const char *bad : {"{\"enabled\":true,\"schedule\":\"24:00\",\"keep\":3}",
                            "{\"enabled\":true,\"schedule\":\"02:00\",\"keep\":0}",
                            "{\"enabled\":true,\"schedule\":\"02:00\",\"keep\":\"3x\"}"}) {
        r = s.epost("/api/eng/backup/config", bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(member(r.body, "error").empty(), false);
    }
    EXPECT_EQ(cfg_of(s), before);

    r = s.epost("/api/eng/backup/config",
                "{\"enabled\":true,\"schedule\":\"3:7\",\"keep\":\"12\"}");
    ASSERT_EQ(r.status, 200) << r.body;
    r = s.epost("/api/eng/backup/config", "{\"enabled\":\"1\",\"schedule\":\"04:30\",\"keep\":12}");
    ASSERT_EQ(r.status, 200) << r.body;
    std::string cfg = cfg_of(s);
    EXPECT_EQ(tsup::count_of(cfg, "\nbackup:"), 1u) << cfg;
    EXPECT_LT(cfg.find("backup:"), cfg.find("logix:"));
    r = s.eget("/api/eng/backup");
    EXPECT_EQ(r.body.find("{\"enabled\":true,\"schedule\":\"04:30\",\"keep\":12,"), 0u) << r.body;
    EXPECT_NE(s.audit().find("backup/config enabled=1 schedule=04:30 keep=12"), std::string::npos);
}

TEST(EngBackup, RequestListAndDownload) {
    eng_server s("", "backup:\n  dir: ./arch\n  keep: 5\n" + CFG_TAIL);
    ASSERT_TRUE(s.start());
    ASSERT_EQ(s.epost("/api/eng/backup/now", "").status, 200);
    EXPECT_TRUE(file_exists(s.dir + "/backup.req"));

    mkdir((s.dir + "/arch").c_str(), 0755);
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); i++)
        bytes[i] = char(i * 7 + i / 251);
    write_file(s.dir + "/arch/20260307_020000_p.tar.gz", bytes);
    write_file(s.dir + "/arch/p_latest.tar.gz", bytes);
    write_file(s.dir + "/secret.tar.gz", "secret");
    ASSERT_EQ(symlink((s.dir + "/secret.tar.gz").c_str(),
                      (s.dir + "/arch/20260308_020000_p.tar.gz").c_str()),
              0);
    ASSERT_EQ(mkfifo((s.dir + "/arch/20260309_020000_p.tar.gz").c_str(), 0644), 0);

    // Listed: the regular archive only, from the configured folder.
    response r = s.eget("/api/eng/backup");
    json_ptr root(json_parse(r.body.c_str()));
    const json_node *list = json_get(root.get(), "backups");
    ASSERT_EQ(json_count(list), 1u) << r.body;
    EXPECT_EQ(std::string(json_gets(json_at(list, 0), "name", "")), "20260307_020000_p.tar.gz");
    EXPECT_EQ(json_geti(json_at(list, 0), "size", 0), 200000);
    EXPECT_EQ(std::string(json_gets(root.get(), "dir", "")), "./arch");

    r = s.eget("/api/eng/backup/get?f=20260307_020000_p.tar.gz");
    ASSERT_EQ(r.status, 200);
    EXPECT_EQ(r.body, bytes);
    EXPECT_EQ(r.header("Content-Type"), "application/gzip");
    EXPECT_NE(s.audit().find("backup/get 20260307_020000_p.tar.gz"), std::string::npos);

    for (const char *bad : {"..%2Fsecret.tar.gz", "%2Fetc%2Fx.tar.gz", "a%2Fb_long.tar.gz", ""}) {
        r = s.eget(std::string("/api/eng/backup/get?f=") + bad);
        EXPECT_EQ(r.status, 400) << bad;
        EXPECT_EQ(r.body, "{\"error\":\"bad name\"}");
    }
    // A link or a FIFO in the folder is not served (and does not hang).
    EXPECT_EQ(s.eget("/api/eng/backup/get?f=20260308_020000_p.tar.gz").status, 500);
    EXPECT_EQ(s.eget("/api/eng/backup/get?f=20260309_020000_p.tar.gz").status, 500);
    EXPECT_EQ(s.eget("/api/eng/backup/get?f=20260310_020000_p.tar.gz").status, 404);
    // Without credentials nothing.
    EXPECT_EQ(parse(s.get("/api/eng/backup/get?f=20260307_020000_p.tar.gz")).status, 401);
}

TEST(EngBackup, QuickCopiesRestoreAndPruning) {
    eng_server s("", CFG_TAIL);
    write_file(s.dir + "/channels.json", "{\"channels\":[1]}\n");
    ASSERT_TRUE(s.start());
    std::string cfg0 = cfg_of(s);

    response r = s.epost("/api/eng/backup", "");
    ASSERT_EQ(r.status, 200) << r.body;
    std::string msg = member(r.body, "msg");
    ASSERT_EQ(msg.find("2 file(s) → copy_base/ ["), 0u) << msg;
    std::string stamp = msg.substr(msg.find('[') + 1, 15);
    ASSERT_TRUE(eng_backup_stamp_ok(stamp.c_str())) << stamp;
    struct stat st;
    ASSERT_EQ(stat((s.dir + "/copy_base/config_" + stamp + ".yaml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    r = s.eget("/api/eng/backups");
    std::string disp = stamp.substr(6, 2) + "." + stamp.substr(4, 2) + "." + stamp.substr(0, 4) +
                       " " + stamp.substr(9, 2) + ":" + stamp.substr(11, 2) + ":" +
                       stamp.substr(13, 2);
    EXPECT_EQ(r.body, "[{\"stamp\":\"" + stamp + "\",\"display\":\"" + disp + "\"}]");

    // The engineer breaks both files, then restores.
    write_file(s.dir + "/config.yaml", cfg0 + "broken: [\n");
    write_file(s.dir + "/channels.json", "{}");
    r = s.epost("/api/eng/restore", "{\"stamp\":\"" + stamp + "\"}");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(member(r.body, "msg"), "2 file(s) restored from [" + stamp + "]");
    EXPECT_EQ(cfg_of(s), cfg0);
    EXPECT_EQ(read_file(s.dir + "/channels.json"), "{\"channels\":[1]}\n");
    // The replaced files were kept aside.
    std::string aside = tsup::read_dir_files(s.dir, "config.yaml.pre_");
    EXPECT_EQ(aside, cfg0 + "broken: [\n");

    EXPECT_EQ(s.epost("/api/eng/restore", "{\"stamp\":\"../../etc/pa\"}").status, 400);
    EXPECT_EQ(s.epost("/api/eng/restore", "{\"stamp\":\"20261399_999999\"}").status, 400);
    r = s.epost("/api/eng/restore", "{\"stamp\":\"20200101_000000\"}");
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(member(r.body, "error"), "No backup files found for 20200101_000000");

    // Only config.yaml copied for a stamp: channels.json stays as it is.
    write_file(s.dir + "/copy_base/config_20200102_030405.yaml", "scada:\n  port: 1\n");
    r = s.epost("/api/eng/restore", "{\"stamp\":\"20200102_030405\"}");
    EXPECT_EQ(member(r.body, "msg"), "1 file(s) restored from [20200102_030405]");
    EXPECT_EQ(read_file(s.dir + "/channels.json"), "{\"channels\":[1]}\n");
    write_file(s.dir + "/config.yaml", cfg0);

    // 19 older stamps, the two above and a new copy make 22: the two
    // oldest go, other files in copy_base stay.
    for (int i = 0; i < 19; i++) {
        char name[64];
        snprintf(name, sizeof name, "/copy_base/channels_201901%02d_000000.json", i + 1);
        write_file(s.dir + name, "{}");
    }
    write_file(s.dir + "/copy_base/notes.txt", "keep me");
    wait_for([] { return false; }, 1100);  // a new second, a new stamp
    ASSERT_EQ(s.epost("/api/eng/backup", "").status, 200);
    EXPECT_FALSE(file_exists(s.dir + "/copy_base/channels_20190101_000000.json"));
    EXPECT_FALSE(file_exists(s.dir + "/copy_base/channels_20190102_000000.json"));
    EXPECT_TRUE(file_exists(s.dir + "/copy_base/config_20200102_030405.yaml"));
    EXPECT_TRUE(file_exists(s.dir + "/copy_base/channels_20190103_000000.json"));
    EXPECT_TRUE(file_exists(s.dir + "/copy_base/notes.txt"));
    r = s.eget("/api/eng/backups");
    json_ptr list(json_parse(r.body.c_str()));
    EXPECT_EQ(json_count(list.get()), 20u);
}

TEST(EngBackupFuzzCorpus, EverySectionEditEndsAsRecorded) {
    const std::map<std::string, std::string> recorded = {
        {"crlf.yaml", "0 5 03:04"}, {"custom_dir.yaml", "0 5 03:04"}, {"flow_map.yaml", "-1 0 "},
        {"list.yaml", "-1 0 "},     {"no_newline.yaml", "0 5 03:04"}, {"plain.yaml", "0 5 03:04"},
    };
    fuzz_corpus_expect("eng_backup", recorded, [](const std::string &data) {
        std::string text = data;
        int rc = eng_backup_section_set(&text, true, 3, 4, 5);
        json_ptr root(yaml_parse(text.c_str()));
        const json_node *bk = json_get(root.get(), "backup");
        return std::to_string(rc) + " " + std::to_string(json_geti(bk, "keep", 0)) + " " +
               json_gets(bk, "schedule", "");
    });
}

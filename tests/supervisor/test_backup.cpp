// The backup decisions without a clock or a tar: settings, schedule,
// archive names, pruning, tar's exit status and its arguments.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/local_time.h"
#include "common/yaml.h"
#include "sup_backup.h"

namespace {

struct tm at(int y, int mo, int d, int h, int mi) {
    return zq_tm_of(y, mo, d, h, mi, 0);
}

sup_backup_cfg cfg_of(const char *yaml, sup_backup_cfg base = {}) {
    json_ptr root(yaml_parse(yaml));
    sup_backup_cfg c = base;
    sup_backup_cfg_from_tree(root.get(), &c);
    return c;
}

}  // namespace

TEST(BackupSettings, SectionValuesClampsAndDefaults) {
    sup_backup_cfg c =
        cfg_of("backup:\n  enabled: true\n  dir: /srv/bk\n  schedule: \"23:45\"\n  keep: 7\n");
    EXPECT_TRUE(c.enabled);
    EXPECT_EQ(c.dir, "/srv/bk");
    EXPECT_EQ(c.hh, 23);
    EXPECT_EQ(c.mm, 45);
    EXPECT_EQ(c.keep, 7);

    c = cfg_of("backup:\n  enabled: true\n  schedule: \"25:70\"\n  keep: 0\n");
    EXPECT_EQ(c.hh, 2);
    EXPECT_EQ(c.mm, 0);
    EXPECT_EQ(c.keep, 1);
    EXPECT_EQ(cfg_of("backup:\n  keep: 123456\n").keep, 9999);
    EXPECT_EQ(cfg_of("backup:\n  keep: -5\n").keep, 1);

    // Unparsable time keeps the previous one; no section turns the schedule
    // off and keeps the rest.
    sup_backup_cfg prev = cfg_of("backup:\n  enabled: true\n  schedule: \"04:30\"\n  keep: 3\n");
    c = cfg_of("backup:\n  enabled: true\n  schedule: soon\n", prev);
    EXPECT_EQ(c.hh, 4);
    EXPECT_EQ(c.mm, 30);
    c = cfg_of("scada:\n  port: 1\n", prev);
    EXPECT_FALSE(c.enabled);
    EXPECT_EQ(c.keep, 3);
    EXPECT_EQ(c.hh, 4);
}

TEST(BackupSchedule, OncePerDayAtOrAfterTheTime) {
    sup_backup_cfg c;
    c.enabled = true;  // 02:00
    // A start at 09:00 on a day without an archive runs one at once.
    EXPECT_TRUE(sup_backup_due(c, 20260306, at(2026, 3, 7, 9, 0)));
    // Made today: nothing more until tomorrow.
    EXPECT_FALSE(sup_backup_due(c, 20260307, at(2026, 3, 7, 10, 0)));
    EXPECT_FALSE(sup_backup_due(c, 20260307, at(2026, 3, 7, 23, 59)));
    // Before the time: wait, also after midnight.
    EXPECT_FALSE(sup_backup_due(c, 20260307, at(2026, 3, 8, 1, 59)));
    EXPECT_TRUE(sup_backup_due(c, 20260307, at(2026, 3, 8, 2, 0)));
    // No archive at all.
    EXPECT_TRUE(sup_backup_due(c, 0, at(2026, 3, 8, 2, 0)));
    c.enabled = false;
    EXPECT_FALSE(sup_backup_due(c, 0, at(2026, 3, 8, 12, 0)));
}

TEST(BackupNames, ExactProjectMatchOnly) {
    EXPECT_EQ(sup_backup_name_ymd("20260307_020000_b.tar.gz", "b"), 20260307);
    // Another project whose name ends in ours is not ours.
    EXPECT_EQ(sup_backup_name_ymd("20260307_020000_a_b.tar.gz", "b"), 0);
    EXPECT_EQ(sup_backup_name_ymd("20260307_020000_b.tar.gz", "a_b"), 0);
    EXPECT_EQ(sup_backup_name_ymd("20260307_020000_a_b.tar.gz", "a_b"), 20260307);
    for (const char *bad :
         {"b_latest.tar.gz", "20260307_020000_b.tar.gz.tmp", "2026030x_020000_b.tar.gz",
          "20260307-020000_b.tar.gz", "20260307_0200_b.tar.gz", "x20260307_020000_b.tar.gz",
          "20260307_020000_b.tar", "20260307_020000_bb.tar.gz", ""})
        EXPECT_EQ(sup_backup_name_ymd(bad, "b"), 0) << bad;

    EXPECT_TRUE(sup_backup_is_tmp_name("20260307_020000_b.tar.gz.tmp", "b"));
    EXPECT_TRUE(sup_backup_is_tmp_name("b_latest.tar.gz.tmp", "b"));
    EXPECT_FALSE(sup_backup_is_tmp_name("20260307_020000_a_b.tar.gz.tmp", "b"));
    EXPECT_FALSE(sup_backup_is_tmp_name("notes.tmp", "b"));

    EXPECT_EQ(sup_backup_newest_ymd({"20260101_000000_b.tar.gz", "20261231_235959_a_b.tar.gz",
                                     "20260305_120000_b.tar.gz", "b_latest.tar.gz"},
                                    "b"),
              20260305);
    EXPECT_EQ(sup_backup_newest_ymd({}, "b"), 0);
}

TEST(BackupPrune, KeepsNewestNeverTheNewOneNorForeign) {
    std::vector<std::string> names = {"20260301_020000_b.tar.gz", "20260302_020000_b.tar.gz",
                                      "20260303_020000_b.tar.gz", "20260301_020000_a_b.tar.gz",
                                      "b_latest.tar.gz",          "readme.txt",
                                      "20260304_020000_b.tar.gz"};
    auto del = sup_backup_prune_list(names, "b", 2, "20260304_020000_b.tar.gz");
    EXPECT_EQ(del,
              (std::vector<std::string>{"20260301_020000_b.tar.gz", "20260302_020000_b.tar.gz"}));
    // keep 0 behaves as 1: only the new archive stays.
    del = sup_backup_prune_list(names, "b", 0, "20260304_020000_b.tar.gz");
    EXPECT_EQ(del.size(), 3u);
    EXPECT_EQ(std::count(del.begin(), del.end(), "20260304_020000_b.tar.gz"), 0);
    // A clock stepped back: the new archive sorts first and still stays.
    del = sup_backup_prune_list(names, "b", 1, "20250101_000000_b.tar.gz");
    EXPECT_EQ(del.size(), 4u);
    EXPECT_EQ(std::count(del.begin(), del.end(), "20250101_000000_b.tar.gz"), 0);
    // The foreign project's archives are never touched.
    EXPECT_TRUE(sup_backup_prune_list(names, "a_b", 1, "20260309_020000_a_b.tar.gz").size() == 1);
    EXPECT_TRUE(sup_backup_prune_list(names, "b", 30, "20260304_020000_b.tar.gz").empty());
}

TEST(BackupTar, ExitStatusVerdict) {
    int rc = 99;
    EXPECT_EQ(sup_backup_tar_verdict(0, &rc), SUP_TAR_OK);
    EXPECT_EQ(rc, 0);
    // Exit 1: files changed while read, the archive is good.
    EXPECT_EQ(sup_backup_tar_verdict(1 << 8, &rc), SUP_TAR_WARN);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(sup_backup_tar_verdict(2 << 8, &rc), SUP_TAR_FAIL);
    EXPECT_EQ(rc, 2);
    EXPECT_EQ(sup_backup_tar_verdict(127 << 8, &rc), SUP_TAR_FAIL);
    EXPECT_EQ(sup_backup_tar_verdict(SIGKILL, &rc), SUP_TAR_FAIL);  // killed: status is the signal
    EXPECT_EQ(rc, -1);
}

TEST(BackupTar, BackupFolderInsideAnArchivedPathIsLeftOut) {
    std::vector<std::string> paths = {"config.yaml", "www", "logs"};
    EXPECT_EQ(sup_backup_inner_dir("/p/www/bk", "/p", paths), "www/bk");
    EXPECT_EQ(sup_backup_inner_dir("/p/logs", "/p", paths), "logs");
    EXPECT_EQ(sup_backup_inner_dir("/p/backups", "/p", paths), "");
    EXPECT_EQ(sup_backup_inner_dir("/p/wwwx/bk", "/p", paths), "");
    EXPECT_EQ(sup_backup_inner_dir("/pp/www/bk", "/p", paths), "");
    EXPECT_EQ(sup_backup_inner_dir("/srv/bk", "/p", paths), "");

    auto argv = sup_backup_tar_argv(paths, "www/bk");
    auto pos = [&](const std::string &s) {
        return std::find(argv.begin(), argv.end(), s) - argv.begin();
    };
    ASSERT_LT(size_t(pos("--exclude=www/bk")), argv.size());
    EXPECT_LT(pos("--anchored"), pos("--exclude=www/bk"));
    EXPECT_LT(pos("--exclude=www/bk"), pos("--"));
    EXPECT_EQ(argv.back(), "logs");
    EXPECT_EQ(size_t(pos("--")) + 4, argv.size());
    EXPECT_EQ(std::vector<std::string>(argv.begin(), argv.begin() + 3),
              (std::vector<std::string>{"tar", "czf", "-"}));
    EXPECT_EQ(sup_backup_tar_argv(paths, "").size() + 3, argv.size());

    // The backup folder is an archived path itself: its other files stay in.
    argv = sup_backup_tar_argv(paths, "logs");
    EXPECT_EQ(pos("--exclude=logs"), long(argv.size()));
    EXPECT_LT(size_t(pos("--exclude=logs/*.tar.gz")), argv.size());
    EXPECT_LT(size_t(pos("--exclude=logs/*.tar.gz.tmp")), argv.size());
}

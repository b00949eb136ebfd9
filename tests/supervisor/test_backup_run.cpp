// Backups as a plant sees them: the real zqsup on a temporary project makes
// archives on request and on schedule, keeps the right ones, survives tar's
// warnings and failures, and never stalls its loop or leaves half an
// archive behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/shm.h"
#include "tests/support/proc.h"

#include "test_backup_util.h"

using namespace bktest;

namespace {

std::string tar_list(const std::string &archive) {
    tsup::RunResult r = tsup::run({.argv = {"/usr/bin/tar", "tzf", archive}});
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

bool has_line(const std::string &list, const std::string &line) {
    return ("\n" + list).find("\n" + line + "\n") != std::string::npos;
}

std::vector<std::string> dated(const std::vector<std::string> &names) {
    std::vector<std::string> v;
    for (const std::string &n : names)
        if (n.size() > 16 && n[8] == '_' && n.find("latest") == std::string::npos) v.push_back(n);
    return v;
}

void project_files(const std::string &p) {
    write_file(p + "/channels.json", "{\"channels\":[]}\n");
    mkdir((p + "/www").c_str(), 0755);
    write_file(p + "/www/index.html", "<p>plant</p>\n");
    mkdir((p + "/calc").c_str(), 0755);
    write_file(p + "/calc/calc.st", "x := 1;\n");
    write_file(p + "/calc/calc_state.json", "{}\n");
    write_file(p + "/calc/calc.st.import", "y := 2;\n");
    mkdir((p + "/Trends").c_str(), 0755);
    write_file(p + "/Trends/history.rps", "trend");
}

}  // namespace

TEST(BackupRun, RequestedArchiveHoldsTheProjectButNotItself) {
    sup_project s;
    // A backup folder inside an archived path must not end up in later archives.
    s.config("backup:\n  dir: ./www/bk\n");
    project_files(s.proj);
    ASSERT_TRUE(s.start());
    s.request();
    ASSERT_TRUE(s.wait_out("[zqsup] backup OK (ручний): ")) << s.out();
    EXPECT_FALSE(file_exists(s.proj + "/backup.req"));
    std::vector<std::string> first = dated(s.archives("www/bk"));
    ASSERT_EQ(first.size(), 1u) << s.out();
    EXPECT_EQ(first[0].substr(15), "_" + s.project + ".tar.gz");
    std::string path = s.bkdir("www/bk") + "/" + first[0];
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "archives hold passwords";
    ASSERT_EQ(stat((s.bkdir("www/bk") + "/" + s.project + "_latest.tar.gz").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // config.yaml channels.json www calc alarm logs (zqsup makes the last two).
    EXPECT_EQ(s.count(" КБ, 6 поз.)"), 1u) << s.out();

    std::string list = tar_list(path);
    for (const char *in : {"config.yaml", "channels.json", "www/index.html", "calc/calc.st"})
        EXPECT_TRUE(has_line(list, in)) << in << "\n" << list;
    for (const char *out : {"Trends/history.rps", "calc/calc_state.json", "calc/calc.st.import"})
        EXPECT_FALSE(has_line(list, out)) << out << "\n" << list;

    // The second archive (a new second for a new name) lacks the first.
    wait_for([] { return false; }, 1100);
    s.request();
    ASSERT_TRUE(wait_for([&] { return s.count("[zqsup] backup OK (ручний): ") == 2; })) << s.out();
    std::vector<std::string> both = dated(s.archives("www/bk"));
    ASSERT_EQ(both.size(), 2u);
    list = tar_list(s.bkdir("www/bk") + "/" + both[1]);
    EXPECT_TRUE(has_line(list, "www/index.html"));
    EXPECT_EQ(list.find("www/bk"), std::string::npos) << list;
}

TEST(BackupRun, ScheduleOncePerDayAcrossRestartAndExactPruning) {
    sup_project s;
    s.config("backup:\n  enabled: true\n  schedule: \"02:00\"\n  keep: 2\n");
    std::string bk = s.bkdir();
    mkdir(bk.c_str(), 0755);
    // Three earlier days of ours, and a project whose name ends in ours.
    std::vector<std::string> ours = {"20260304_020000_", "20260305_020000_", "20260306_020000_"};
    for (const std::string &d : ours)
        write_file(bk + "/" + d + s.project + ".tar.gz", "old");
    std::string foreign = "20260301_020000_a_" + s.project + ".tar.gz";
    write_file(bk + "/" + foreign, "theirs");

    ASSERT_TRUE(s.start(local_ms(2026, 3, 7, 9, 0, 0)));
    ASSERT_TRUE(s.wait_out("[zqsup] backup OK (розклад): 20260307_0900")) << s.out();
    ASSERT_TRUE(wait_for([&] { return s.count("[zqsup] backup prune: ") == 2; })) << s.out();
    std::vector<std::string> names = s.archives();
    std::sort(names.begin(), names.end());
    EXPECT_TRUE(std::count(names.begin(), names.end(), foreign)) << "foreign archive pruned";
    EXPECT_FALSE(std::count(names.begin(), names.end(), ours[0] + s.project + ".tar.gz"));
    EXPECT_FALSE(std::count(names.begin(), names.end(), ours[1] + s.project + ".tar.gz"));
    EXPECT_TRUE(std::count(names.begin(), names.end(), ours[2] + s.project + ".tar.gz"));
    EXPECT_TRUE(std::count(names.begin(), names.end(), s.project + "_latest.tar.gz"));
    EXPECT_EQ(names.size(), 4u);  // two dated of ours, latest, foreign
    ASSERT_EQ(s.stop(), 0);

    // A restart later the same day makes none.
    ASSERT_TRUE(s.start(local_ms(2026, 3, 7, 10, 0, 0)));
    wait_for([] { return false; }, 1500);
    EXPECT_EQ(s.count("backup"), 0u) << s.out();
    ASSERT_EQ(s.stop(), 0);

    // The next day: nothing before the time, one archive at it.
    ASSERT_TRUE(s.start(local_ms(2026, 3, 8, 1, 59, 58)));
    ASSERT_TRUE(s.wait_out("[zqsup] backup OK (розклад): 20260308_0200")) << s.out();
    wait_for([] { return false; }, 600);
    EXPECT_EQ(s.count("backup OK"), 1u);
}

TEST(BackupRun, TarExitOneKeepsTheArchive) {
    sup_project s;
    s.config("");
    // What GNU tar does when a log grows while it reads it.
    s.fake_tar(
        "/usr/bin/tar \"$@\" || exit $?\n"
        "echo 'tar: logs/zqsup.log: file changed as we read it' >&2\nexit 1\n");
    ASSERT_TRUE(s.start());
    s.request();
    ASSERT_TRUE(s.wait_out("[zqsup] backup OK (ручний): ")) << s.out();
    EXPECT_EQ(s.count("tar rc=1"), 1u) << s.out();
    EXPECT_EQ(s.count("file changed as we read it"), 1u);
    std::vector<std::string> d = dated(s.archives());
    ASSERT_EQ(d.size(), 1u);
    EXPECT_TRUE(has_line(tar_list(s.bkdir() + "/" + d[0]), "config.yaml"));
}

TEST(BackupRun, LogGrowingDuringTheBackupKeepsTheArchive) {
    sup_project s;
    s.config("");
    mkdir((s.proj + "/logs").c_str(), 0755);
    std::string log = s.proj + "/logs/zqtrend-20260307.log";
    write_file(log, std::string(32 << 20, 'x'));
    ASSERT_TRUE(s.start());
    // A program appends to its log all the while, as the stack does.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        FILE *f = fopen(log.c_str(), "a");
        while (f && !stop) {
            fputs("2026-03-07 12:00:00 [trend] tick\n", f);
            fflush(f);
            usleep(200);
        }
        if (f) fclose(f);
    });
    s.request();
    bool ok = s.wait_out("[zqsup] backup OK (ручний): ", 60000);
    stop = true;
    writer.join();
    ASSERT_TRUE(ok) << s.out();
    std::vector<std::string> d = dated(s.archives());
    ASSERT_EQ(d.size(), 1u);
    EXPECT_TRUE(has_line(tar_list(s.bkdir() + "/" + d[0]), "logs/zqtrend-20260307.log"));
}

TEST(BackupRun, FailedScheduledBackupLeavesNothingAndRetriesLater) {
    sup_project s;
    s.config("backup:\n  enabled: true\n  schedule: \"02:00\"\n");
    s.fake_tar("printf partial\necho 'tar: www: Cannot open: Permission denied' >&2\nexit 2\n");
    // 100 times as fast: the 10-minute pause lasts 6 s.
    ASSERT_TRUE(s.start(local_ms(2026, 3, 7, 9, 0, 0), 100));
    const std::string fail = "[zqsup] backup: tar rc=2 — архів не створено";
    ASSERT_TRUE(s.wait_out(fail)) << s.out();
    EXPECT_EQ(s.count("Permission denied"), 1u);
    EXPECT_TRUE(s.archives().empty()) << "partial archive left: " << s.archives()[0];
    // Not tried again on the next passes.
    wait_for([] { return false; }, 1500);
    EXPECT_EQ(s.count(fail), 1u) << s.out();
    ASSERT_TRUE(wait_for([&] { return s.count(fail) == 2; }, 30000)) << s.out();
    EXPECT_TRUE(s.archives().empty());

    // Once tar works again the retry succeeds.
    s.fake_tar("exec /usr/bin/tar \"$@\"\n");
    ASSERT_TRUE(s.wait_out("[zqsup] backup OK (розклад): ", 30000)) << s.out();
    EXPECT_EQ(dated(s.archives()).size(), 1u);
}

TEST(BackupRun, SlowBackupKeepsHeartbeatAndSigtermRemovesPartialArchive) {
    sup_project s;
    s.config("");
    s.fake_tar("printf partial\necho $$ > \"$FAKE_TAR_PID\"\nexec sleep 300\n");
    s.env.push_back("FAKE_TAR_PID=" + s.root + "/tar.pid");
    ASSERT_TRUE(s.start());
    s.request();
    // Written whole once the line ends.
    ASSERT_TRUE(wait_for([&] {
        std::string t = read_file(s.root + "/tar.pid");
        return !t.empty() && t.back() == '\n';
    })) << s.out();
    pid_t tar = atoi(read_file(s.root + "/tar.pid").c_str());
    ASSERT_GT(tar, 1);
    std::vector<std::string> names = s.archives();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].substr(names[0].size() - 4), ".tmp");

    ShmHandle h;
    ASSERT_EQ(shm_handle_open(&h, s.shm_name.c_str(), false), 0);
    uint32_t before = shm_header(&h)->poll_count;
    EXPECT_TRUE(wait_for([&] { return shm_header(&h)->poll_count >= before + 3; }, 10000))
        << "heartbeat stalled during the backup";
    shm_handle_close(&h);
    EXPECT_TRUE(tsup::pid_alive(tar));

    EXPECT_EQ(s.stop(), 0);
    EXPECT_TRUE(s.archives().empty()) << "left: " << s.archives()[0];
    EXPECT_TRUE(wait_for([&] { return !tsup::pid_alive(tar); }, 5000)) << "tar outlived zqsup";
    EXPECT_EQ(s.count("[zqsup] backup перервано зупинкою"), 1u) << s.out();
}

TEST(BackupRun, RunTimeCapStopsAHungTar) {
    sup_project s;
    s.config("");
    s.fake_tar("printf partial\nexec sleep 300\n");
    s.env.push_back("ZQSUP_BACKUP_MAX_S=1");
    ASSERT_TRUE(s.start());
    s.request();
    ASSERT_TRUE(s.wait_out("зупинено, архів не створено")) << s.out();
    EXPECT_TRUE(s.archives().empty());
    // The supervisor carries on: a new request is taken.
    s.request();
    EXPECT_TRUE(wait_for([&] { return s.count("[zqsup] backup (ручний): tar pid=") == 2; }))
        << s.out();
}

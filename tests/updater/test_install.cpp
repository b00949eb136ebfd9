// The updater as the server runs it: archives dropped as /tmp/zqupd_*
// temp files, a target folder holding the (test-key) zqupdate, and what the
// user sees afterwards: files, update.status, the log, exit code, stderr.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/support/files.h"
#include "tests/support/proc.h"
#include "upd_test_util.h"

namespace {

using updt::entry;

std::string slurp(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void spit(const std::string &path, const std::string &data, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << data;
    chmod(path.c_str(), mode);
}

// Every file below dir with its contents and permission bits, without the
// updater's own bookkeeping.
void walk(const std::string &dir, const std::string &rel, std::map<std::string, std::string> *out) {
    DIR *d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent *de = readdir(d)) {
        std::string n = de->d_name;
        if (n == "." || n == "..") continue;
        if (rel.empty() && (n == "updates" || n == "update.status" || n == "update.lock" ||
                            n == "zqupdate" || n == "dist.version"))
            continue;
        std::string p = dir + "/" + n, r = rel.empty() ? n : rel + "/" + n;
        struct stat st;
        lstat(p.c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            walk(p, r, out);
        } else {
            char link[256] = "";
            if (S_ISLNK(st.st_mode)) (void)!readlink(p.c_str(), link, sizeof link - 1);
            (*out)[r] = std::to_string(st.st_mode & 07777) + ":" +
                        (S_ISLNK(st.st_mode) ? std::string("->") + link : slurp(p));
        }
    }
    closedir(d);
}

struct Updater : ::testing::Test {
    tsup::TempDir target{"upd_target"}, logs{"upd_log"};
    std::string archive = "/tmp/zqupd_" + tsup::unique_name("t") + ".run";

    void SetUp() override {
        ASSERT_FALSE(target.path.empty());
        chmod(target.path.c_str(), 0755);
        spit(target / "zqupdate", slurp(ZQ_UPD_TEST_EXE), 0755);
        spit(target / "zqsup", "old zqsup", 0755);
        spit(target / "zqserver", "old zqserver", 0755);
        mkdir((target / "www-sys").c_str(), 0755);
        spit(target / "www-sys/index.html", "old page");
        spit(target / "config.yaml", "server:\n  port: 8080  # ours\n");
    }
    void TearDown() override { unlink(archive.c_str()); }

    tsup::RunResult run(std::vector<std::string> args) {
        tsup::ChildOpts o;
        o.argv = {target / "zqupdate"};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.env = {"ZQUPD_LOG=" + (logs / "zqupdate.log")};
        return tsup::run(o);
    }
    tsup::RunResult install(const std::string &run_bytes, const char *verb = "full") {
        spit(archive, run_bytes, 0600);
        return run({verb, archive, "zqstack"});
    }
    std::map<std::string, std::string> tree() {
        std::map<std::string, std::string> t;
        walk(target.path, "", &t);
        return t;
    }
    std::string status() { return slurp(target / "update.status"); }
    std::vector<std::string> snapshots() {
        std::vector<std::string> v;
        if (DIR *d = opendir((target / "updates").c_str())) {
            while (struct dirent *de = readdir(d))
                if (de->d_name[0] != '.') v.push_back(de->d_name);
            closedir(d);
        }
        std::sort(v.begin(), v.end());
        return v;
    }
};

const std::vector<entry> kRelease = {{"zqsup", "new zqsup"},
                                     {"zqserver", "new zqserver"},
                                     {"www-sys", "", updt::DIR},
                                     {"www-sys/index.html", "new page"},
                                     {"www-sys/css/app.css", "body{}"},
                                     {"config.yaml", "server:\n  port: 80\n  tls: false\n"},
                                     {"zqnew", "a program the old release lacks"},
                                     {"lib", "", updt::DIR},
                                     {"lib/libzq.so", "a folder the old release lacks"}};

TEST_F(Updater, FullUpdateInstallsKeepsConfigAndRollsBackExactly) {
    auto before = tree();
    auto r = install(updt::good_run(kRelease, "2.1"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(status().find("\"state\":\"ok\",\"step\":\"готово\",\"msg\":\"стек оновлено до 2.1, "
                            "сервіси перезапущено\",\"version\":\"2.1\""),
              std::string::npos)
        << status();
    auto after = tree();
    EXPECT_EQ(after["zqsup"], "493:new zqsup");  // 0755, never the archive's mode
    EXPECT_EQ(after["www-sys/css/app.css"], "420:body{}");
    // The installed configuration keeps its lines and only gains new keys.
    std::string cfg = slurp(target / "config.yaml");
    EXPECT_EQ(cfg.rfind("server:\n  port: 8080  # ours\n", 0), 0u) << cfg;
    EXPECT_NE(cfg.find("tls: false"), std::string::npos) << cfg;
    EXPECT_EQ(access(archive.c_str(), F_OK), -1) << "server temp file is removed";
    std::string log = slurp(logs / "zqupdate.log");
    EXPECT_NE(log.find("manifest ok: product=zqstack version=2.1 files=7 key_id=7e57c0de"),
              std::string::npos);

    auto snaps = snapshots();
    ASSERT_EQ(snaps.size(), 1u);
    struct stat st;
    ASSERT_EQ(stat((target / "updates/" + snaps[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    r = run({"rollback", snaps[0], "zqstack"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(after["zqnew"], "493:a program the old release lacks");
    EXPECT_EQ(after["lib/libzq.so"], "420:a folder the old release lacks");
    // Exactly the old installation: what the release added is gone too, and
    // so the old release's version stamp no longer blocks a reinstall.
    EXPECT_EQ(tree(), before);
    EXPECT_EQ(access((target / "dist.version").c_str(), F_OK), -1);
    EXPECT_NE(slurp(logs / "zqupdate.log").find("removed (not in snapshot): zqnew"),
              std::string::npos);
    EXPECT_EQ(snapshots().size(), 2u) << "a prerollback snapshot is taken first";
}

TEST_F(Updater, WwwUpdateReplacesOnlySystemPagesAndVerifyTouchesNothing) {
    std::string run_bytes = updt::good_run(kRelease, "2.2");
    spit(archive, run_bytes, 0600);
    auto v = run({"verify", archive, "zqstack"});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_EQ(v.out, "OK: підпис і цілісність архіву в нормі (product=zqstack version=2.2)\n");
    EXPECT_EQ(access((target / "update.status").c_str(), F_OK), -1);
    auto r = install(run_bytes, "www");
    ASSERT_EQ(r.status, 0) << r.err;
    auto t = tree();
    EXPECT_EQ(t["www-sys/index.html"], "420:new page");
    EXPECT_EQ(t["zqsup"], "493:old zqsup");
    EXPECT_NE(status().find("веб-файли оновлено до 2.2"), std::string::npos);
}

struct hostile {
    const char *what;
    std::vector<entry> entries;
    std::string message;
};

std::vector<entry> with_manifest(std::vector<entry> files, const std::string &manifest,
                                 const std::string &sig) {
    files.insert(files.begin(), {{"dist_manifest.json", manifest}, {"dist_manifest.sig", sig}});
    return files;
}

std::vector<hostile> hostile_cases() {
    std::vector<entry> one = {{"zqsup", "new zqsup"}};
    std::string m = updt::manifest_for(one, "3.0");
    auto signed_for = [](const std::vector<entry> &listed, std::vector<entry> carried) {
        std::string mm = updt::manifest_for(listed, "3.0");
        return with_manifest(carried, mm, updt::sign(mm));
    };
    std::vector<hostile> v;
    v.push_back({"signature over other bytes", with_manifest(one, m, updt::sign(m + " ")),
                 "підпис не збігається — архів підроблено або пошкоджено"});
    v.push_back({"unknown key", with_manifest(one, m, updt::sign(m, "deadbeef")),
                 "невідомий ключ підпису key_id=deadbeef — відхилено"});
    v.push_back({"no signature file",
                 {{"dist_manifest.json", m}, {"zqsup", "new zqsup"}},
                 "архів без валідного підпису (dist_manifest.sig) — відхилено"});
    v.push_back({"no manifest", one, "архів без dist_manifest.json — не наш дистрибутив"});
    v.push_back({"changed byte", signed_for(one, {{"zqsup", "new zqsuP"}}),
                 "файл «zqsup» не збігається з маніфестом (підробка)"});
    v.push_back({"symlink entry",
                 signed_for(one, {{"zqsup", "new zqsup"}, {"lib", "/etc", updt::SYMLINK}}),
                 "архів містить symlink — відхилено (не покрито підписом)"});
    v.push_back({"hard link entry",
                 signed_for(one, {{"zqsup", "new zqsup"}, {"zqserver", "zqsup", updt::HARDLINK}}),
                 "архів містить symlink — відхилено (не покрито підписом)"});
    v.push_back({"parent element", signed_for(one, {{"zqsup", "new zqsup"}, {"../evil", "x"}}),
                 "manifest: підозрілий шлях файла"});
    v.push_back({"absolute name", signed_for(one, {{"zqsup", "new zqsup"}, {"/tmp/evil", "x"}}),
                 "manifest: підозрілий шлях файла"});
    v.push_back({"duplicate member",
                 signed_for(one, {{"zqsup", "new zqsup"}, {"zqsup", "new zqsup"}}),
                 "manifest: підозрілий шлях файла"});
    v.push_back({"fifo", signed_for(one, {{"zqsup", "new zqsup"}, {"pipe", "", updt::FIFO}}),
                 "розпакування архіву не вдалося"});
    v.push_back({"listed but missing", signed_for({{"zqsup", "new zqsup"}, {"zqserver", "s"}}, one),
                 "файл «zqserver» відсутній або нечитабельний"});
    v.push_back({"extra unlisted file", signed_for(one, {{"zqsup", "new zqsup"}, {"extra", "x"}}),
                 "склад архіву не збігається з маніфестом (файлів 2, у маніфесті 1)"});
    v.push_back({"not a full stack", signed_for({{"zqserver", "s"}}, {{"zqserver", "s"}}),
                 "в архіві нема zqsup — не повний стек"});
    return v;
}

TEST_F(Updater, HostileArchivesAreRefusedWithNothingInstalled) {
    auto before = tree();
    for (const hostile &h : hostile_cases()) {
        auto r = install(updt::make_run(h.entries));
        EXPECT_EQ(r.status, 1) << h.what;
        EXPECT_EQ(r.err, "zqupdate: " + h.message + "\n") << h.what;
        EXPECT_NE(status().find("\"state\":\"error\""), std::string::npos) << h.what;
        EXPECT_EQ(tree(), before) << h.what;
        EXPECT_EQ(access(archive.c_str(), F_OK), -1) << h.what;
        EXPECT_TRUE(snapshots().empty()) << h.what;
    }
    // Damaged transport: cut short, or without the marker in the first 64 KiB.
    std::string good = updt::good_run({{"zqsup", std::string(200000, 'z')}}, "3.0");
    auto r = install(good.substr(0, good.size() / 2));
    EXPECT_EQ(r.err, "zqupdate: розпакування архіву не вдалося\n");
    r = install(std::string(70000, '#') + "\n" + good);
    EXPECT_EQ(r.err, "zqupdate: маркер дистрибутива не знайдено — не наш архів\n");
    EXPECT_EQ(tree(), before);
}

TEST_F(Updater, OlderReleaseIsRefusedAndSameReleaseRepairs) {
    ASSERT_EQ(install(updt::good_run(kRelease, "2.10")).status, 0);
    auto r = install(updt::good_run(kRelease, "2.9"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "zqupdate: версія 2.9 старша за встановлену 2.10 — відхилено\n");
    spit(target / "zqsup", "damaged", 0755);
    ASSERT_EQ(install(updt::good_run(kRelease, "2.10")).status, 0);
    EXPECT_EQ(slurp(target / "zqsup"), "new zqsup");
}

TEST_F(Updater, PlantedSymlinkAtDestinationIsNeverWrittenThrough) {
    tsup::TempDir outside{"upd_outside"};
    spit(outside / "victim", "precious");
    unlink((target / "zqserver").c_str());
    ASSERT_EQ(symlink((outside / "victim").c_str(), (target / "zqserver").c_str()), 0);
    auto before = tree();
    auto r = install(updt::good_run(kRelease, "2.1"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(slurp(outside / "victim"), "precious");
    // Whatever was replaced before the link was met is restored.
    EXPECT_EQ(tree(), before);
}

TEST_F(Updater, InterruptedRunIsRestoredByTheNextRun) {
    auto before = tree();
    ASSERT_EQ(install(updt::good_run(kRelease, "2.1")).status, 0);
    auto snaps = snapshots();
    ASSERT_EQ(snaps.size(), 1u);
    // As a run killed while replacing files leaves it.
    spit(target / "update.inprogress", snaps[0]);
    auto r = install("not an archive");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tree(), before);
    EXPECT_EQ(access((target / "update.inprogress").c_str(), F_OK), -1);
}

TEST_F(Updater, CommandLineIsCheckedBeforeAnythingIsTouched) {
    EXPECT_EQ(run({}).err, "usage: zqupdate <www|full|rollback|verify|license|restart> [args]\n");
    EXPECT_EQ(run({"full", "x"}).err, "usage: full <archive> <product>\n");
    EXPECT_EQ(run({"rollback", "x"}).err, "usage: rollback <snapshot> <product>\n");
    EXPECT_EQ(run({"bogus"}).err, "zqupdate: unknown verb\n");
    EXPECT_EQ(run({"full", archive, "ZQ"}).err, "zqupdate: bad product\n");
    EXPECT_EQ(run({"full", "/tmp/a b", "zqstack"}).err, "zqupdate: bad archive path\n");
    EXPECT_EQ(run({"full", "/tmp/../etc/shadow", "zqstack"}).err, "zqupdate: bad archive path\n");
    EXPECT_EQ(run({"rollback", "../../etc.tar.gz", "zqstack"}).err,
              "zqupdate: bad snapshot name\n");
    EXPECT_EQ(run({"rollback", "a/b_zqstack.tar.gz", "zqstack"}).err,
              "zqupdate: bad snapshot name\n");
    tsup::TempDir other{"upd_other"};
    spit(other / "d.run", updt::good_run(kRelease, "2.1"));
    EXPECT_EQ(run({"full", other / "d.run", "zqstack"}).err,
              "zqupdate: archive must be a server-created /tmp/zqupd_ temp\n");
    // A link named like a server temp file is neither followed nor deleted.
    ASSERT_EQ(symlink((other / "d.run").c_str(), archive.c_str()), 0);
    EXPECT_EQ(run({"full", archive, "zqstack"}).err, "zqupdate: bad archive path\n");
    EXPECT_EQ(access((other / "d.run").c_str(), F_OK), 0);
    EXPECT_EQ(slurp(target / "zqsup"), "old zqsup");
}

TEST_F(Updater, SecondRunIsRefusedWhileOneHoldsTheLock) {
    int fd = open((target / "update.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    auto r = install(updt::good_run(kRelease, "2.1"));
    close(fd);
    EXPECT_EQ(r.err, "zqupdate: інше оновлення вже виконується\n");
    EXPECT_EQ(access((target / "update.status").c_str(), F_OK), -1) << "the running one's";
    EXPECT_EQ(slurp(target / "zqsup"), "old zqsup");
}

TEST_F(Updater, SixteenthSnapshotPrunesTheOldest) {
    mkdir((target / "updates").c_str(), 0755);
    for (int i = 0; i < 15; i++)
        spit(target / ("updates/20200101_0000" + std::to_string(10 + i) + "_zqstack_www.tar.gz"),
             "", 0600);
    ASSERT_EQ(install(updt::good_run(kRelease, "2.1"), "www").status, 0);
    auto snaps = snapshots();
    ASSERT_EQ(snaps.size(), 15u);
    EXPECT_EQ(snaps[0], "20200101_000011_zqstack_www.tar.gz");
}

TEST_F(Updater, DistributionScriptOutputInstalls) {
    tsup::TempDir src{"upd_src"};
    mkdir((src / "www-sys").c_str(), 0755);
    spit(src / "zqsup", "scripted zqsup", 0755);
    spit(src / "www-sys/index.html", "scripted page");
    tsup::ChildOpts o;
    o.argv = {std::string(ZQ_SOURCE_DIR) + "/scripts/make_dist.sh",
              "-k",
              ZQ_UPD_TEST_KEY,
              "-i",
              "7e57c0de",
              "-v",
              "4.0",
              "-o",
              archive,
              src.path};
    auto made = tsup::run(o);
    ASSERT_EQ(made.status, 0) << made.err;
    auto r = run({"full", archive, "zqstack"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(target / "zqsup"), "scripted zqsup");
    EXPECT_EQ(slurp(target / "www-sys/index.html"), "scripted page");
}

}  // namespace

namespace {

// As the server starts it: an unprivileged caller, root through the
// set-user-ID bit. Needs root to give the test copy that bit.
TEST_F(Updater, UnprivilegedCallerInstallsThroughSetUserId) {
    // Only root can give the test copy its set-user-ID bit: a reason outside
    // the project (who runs the tests). setpriv comes with util-linux, which
    // every Debian has, so its absence is a failure.
    if (geteuid() != 0) GTEST_SKIP() << "not running as root: cannot make a set-user-ID copy";
    ASSERT_EQ(access("/usr/bin/setpriv", X_OK), 0) << "setpriv (util-linux) is missing";
    ASSERT_EQ(chown((target / "zqupdate").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod((target / "zqupdate").c_str(), 04755), 0);
    spit(archive, updt::good_run(kRelease, "5.0"), 0644);
    tsup::ChildOpts o;
    o.argv = {"/usr/bin/setpriv",  "--reuid=65534", "--regid=65534", "--clear-groups",
              target / "zqupdate", "full",          archive,         "zqstack"};
    o.env = {"ZQUPD_LOG=" + (logs / "zqupdate.log")};
    auto r = tsup::run(o);
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((target / "zqsup").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(slurp(target / "zqsup"), "new zqsup");
    EXPECT_NE(slurp(logs / "zqupdate.log").find("uid=65534 manifest ok"), std::string::npos);
}

TEST_F(Updater, SetUserIdHelperKeepsTheServiceGroupAcrossAnUpdate) {
    // The package gives set-user-ID helpers to root and the service group
    // only (04750); an update must not widen that to every local user.
    if (geteuid() != 0) GTEST_SKIP() << "not running as root: cannot make a set-user-ID copy";
    spit(target / "zqnet", "old zqnet", 0755);
    ASSERT_EQ(chown((target / "zqnet").c_str(), 0, 4242), 0);
    ASSERT_EQ(chmod((target / "zqnet").c_str(), 04750), 0);
    auto rel = kRelease;
    rel.push_back({"zqnet", "new zqnet"});
    auto r = install(updt::good_run(rel, "2.3"));
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat((target / "zqnet").c_str(), &st), 0);
    EXPECT_EQ(slurp(target / "zqnet"), "new zqnet");
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 4242u);
}

}  // namespace

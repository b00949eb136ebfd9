// zqtrend with alternate paths, as a plant runs it: a share that goes away
// for two minutes and comes back (the mount table is a file the test
// edits), an alternate that is the main folder, an alternate whose file is
// a FIFO. The program runs on its fast test clock.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/shm.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"
#include "trend/trend_v2.h"
#include "trend_test_util.h"

namespace {

using tt::FakeClock;
using tt::real_ms;

struct Site {
    tsup::TempDir dir{"mire2e"};
    std::string shm_name = "/" + tsup::unique_name("zqtrend_m");
    ShmHandle h;
    std::string out;

    explicit Site(const std::string &trends_yaml) {
        tsup::write_file(dir / "config.yaml", "trends:\n  mainpath_linux: " + dir.path +
                                                  "/Trends\n" + trends_yaml +
                                                  "logix:\n  analogs: 4\n  discrets: 4\n");
        tsup::write_file(dir / "channels.json",
                         tt::channels_json({{1, "Температура", "°C", 0, 0, 0, 200},
                                            {2, "Тиск", "bar", 0, 1000, 0, 100}},
                                           {{1, "Насос"}, {2, "Клапан"}}));
        mkdir((dir / "mnt").c_str(), 0755);
        tsup::write_file(dir / "mounts", "");
        EXPECT_EQ(0, shm_open_rw(shm_name.c_str(), 4, 4, 0, &h));
        shm_set_an_vtype(&h, 1, SHM_VT_REAL);
        shm_set_an_vtype(&h, 2, SHM_VT_INT);
        int64_t ts = real_ms();
        shm_update_analog(&h, 1, 1, ts, 12.5);
        shm_update_analog(&h, 2, 1, ts, 500);
        shm_update_discrete(&h, 1, 1, 1, ts);
    }
    ~Site() {
        shm_close(&h);
        shm_unlink(shm_name.c_str());
        tt::remove_trend_lock(shm_name);
    }
    // prefix: a shell line run before zqtrend (in a private mount
    // namespace, with the system's mount table).
    tsup::Child start(const FakeClock &clk, const std::string &prefix = "") {
        out = dir / "out.txt";
        tsup::Child c;
        std::vector<std::string> argv = {ZQ_BIN_DIR "/zqtrend", "-c", "./config.yaml", "-b", "."};
        std::vector<std::string> env = {"LOGIX_SHM_NAME=" + shm_name, "ZQTREND_CLOCK=" + clk.env(),
                                        "TZ=UTC", "ZQ_MOUNT_ROOT=" + dir / "mnt"};
        if (prefix.empty())
            env.push_back("ZQ_PROC_MOUNTS=" + dir / "mounts");
        else
            argv = {"unshare", "-m", "sh", "-c",
                    prefix + " && exec " ZQ_BIN_DIR "/zqtrend -c ./config.yaml -b ."};
        EXPECT_TRUE(tsup::child_start(
            &c, {.argv = argv, .env = env, .dir = dir.path, .out_path = out, .err_to_out = true}));
        return c;
    }
    std::string log() const { return tsup::read_file(out); }
};

bool cmp_same(const std::string &a, const std::string &b) {
    tsup::RunResult r = tsup::run({.argv = {"cmp", a, b}});
    EXPECT_EQ(0, r.status) << r.out << r.err;
    return r.status == 0;
}

const int64_t kLate = 1781135880000LL;  // 2026-06-10 23:58:00 UTC

// Two minutes without the share, across midnight: afterwards every file of
// the share equals the main file, and each message appears once. The
// second alternate (version 2, local) keeps writing through it.
TEST(MirrorE2E, ShareAwayTwoMinutesThenLevel) {
    Site site("  altpath_linux: MNT/nas/trends\n  altpath2_linux: ALT2\n  altpath2_format: 2\n");
    std::string share = site.dir / "mnt/nas";
    std::string cfg = tsup::read_file(site.dir / "config.yaml");
    cfg.replace(cfg.find("MNT"), 3, site.dir / "mnt");
    cfg.replace(cfg.find("ALT2"), 4, site.dir / "alt2");
    tsup::write_file(site.dir / "config.yaml", cfg);
    mkdir(share.c_str(), 0755);
    std::string line = "//srv/nas " + share + " cifs rw 0 0\n";
    tsup::write_file(site.dir / "mounts", line);

    FakeClock clk(kLate, 10.0);
    tsup::Child prog = site.start(clk);
    ASSERT_TRUE(tsup::wait_for([&] { return clk.now() >= kLate + 30000; }, 20000));
    tsup::write_file(site.dir / "mounts", "");
    ASSERT_TRUE(tsup::wait_for([&] { return clk.now() >= kLate + 150000; }, 30000));
    EXPECT_NE(std::string::npos, site.log().find("alt-path slot 0 unavailable")) << site.log();
    tsup::write_file(site.dir / "mounts", line);
    ASSERT_TRUE(tsup::wait_for_text(site.out, "alt-path slot 0 reachable again", 30000))
        << site.log();
    // One more minute row after the return.
    int64_t back = clk.now();
    ASSERT_TRUE(tsup::wait_for([&] { return clk.now() >= back + 65000; }, 30000));
    EXPECT_EQ(0, tsup::child_stop(&prog));

    std::string log = site.log();
    EXPECT_EQ(1u, tsup::count_of(log, "alt-path slot 0 unavailable")) << log;
    EXPECT_EQ(1u, tsup::count_of(log, "alt-path slot 0 reachable again")) << log;
    EXPECT_EQ(0u, tsup::count_of(log, "alt-path slot 1 unavailable")) << log;
    std::vector<std::string> names = tsup::list_dir(site.dir / "Trends");
    EXPECT_EQ(names, tsup::list_dir(share + "/trends"));
    for (const char *n :
         {"26061000.rps", "26061000.rns", "26061000.rpm", "26061000.rnm", "26061100.rps",
          "26061100.rns", "26061100.rpm", "26061100.rnm", "26060100.rph", "26060100.rnh"}) {
        ASSERT_TRUE(tsup::file_exists(site.dir / "Trends/" + n)) << n;
        cmp_same(site.dir / "Trends/" + n, share + "/trends/" + n);
    }
    for (const char *n : {"2026061000.rps", "2026061100.rps", "2026061100.rpm"}) {
        v2_table t;
        EXPECT_EQ(1, v2_file_open_check((site.dir / "alt2/" + n).c_str(), &t)) << n;
    }
}

// An alternate that is the main folder under another name is refused; the
// main files get each row once. An alternate whose file is a FIFO does not
// hold up the main ticks, and SIGTERM still ends the program at once.
TEST(MirrorE2E, SelfAlternateAndFifo) {
    Site site("  altpath_linux: SELF\n  altpath2_linux: FIFO\n");
    std::string cfg = tsup::read_file(site.dir / "config.yaml");
    cfg.replace(cfg.find("SELF"), 4, site.dir / "link");
    cfg.replace(cfg.find("FIFO"), 4, site.dir / "alt2");
    tsup::write_file(site.dir / "config.yaml", cfg);
    mkdir((site.dir / "Trends").c_str(), 0755);
    ASSERT_EQ(0, symlink((site.dir / "Trends").c_str(), (site.dir / "link").c_str()));
    mkdir((site.dir / "alt2").c_str(), 0755);
    ASSERT_EQ(0, mkfifo((site.dir / "alt2/26061000.rps").c_str(), 0644));

    const int64_t noon = 1781092800000LL;  // 2026-06-10 12:00:00 UTC
    FakeClock clk(noon, 10.0);
    tsup::Child prog = site.start(clk);
    std::string rps = site.dir / "Trends/26061000.rps";
    ASSERT_TRUE(tsup::wait_for([&] { return tsup::file_size(rps) >= 16 * 40; }, 30000))
        << site.log();
    long long t0 = tsup::now_ms();
    EXPECT_EQ(0, tsup::child_stop(&prog, 4000));
    EXPECT_LT(tsup::now_ms() - t0, 4000);

    std::string log = site.log();
    EXPECT_NE(std::string::npos, log.find("alt-path slot 0: " + site.dir.path +
                                          "/link/ is the same "
                                          "directory as"))
        << log;
    EXPECT_NE(std::string::npos, log.find("alt-path slot 1 unavailable")) << log;
    // Rows ascend one by one: nothing was appended twice.
    std::vector<uint8_t> b = tsup::read_bytes(rps);
    ASSERT_EQ(0u, b.size() % 16);
    for (size_t off = 16; off < b.size(); off += 16)
        ASSERT_LT(tt::u32(b, off - 4), tt::u32(b, off + 12)) << off;
    struct stat st;
    ASSERT_EQ(0, stat((site.dir / "alt2/26061000.rps").c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// Real mounts in a private mount namespace: an alternate bind-mounted onto
// the main folder is refused, a share really mounted under the mount root is
// written and ends equal to the main files.
TEST(MirrorE2E, RealMountsInPrivateNamespace) {
    if (tsup::run({.argv = {"unshare", "-m", "true"}}).status != 0)
        GTEST_SKIP() << "no private mount namespace here (needs root and unshare -m)";
    Site site("  altpath_linux: BIND\n  altpath2_linux: SHARE\n");
    std::string cfg = tsup::read_file(site.dir / "config.yaml");
    cfg.replace(cfg.find("BIND"), 4, site.dir / "bind");
    cfg.replace(cfg.find("SHARE"), 5, site.dir / "mnt/nas/trends");
    tsup::write_file(site.dir / "config.yaml", cfg);
    for (const char *d : {"Trends", "bind", "mnt/nas", "server"})
        mkdir((site.dir / d).c_str(), 0755);
    std::string mounts = "mount --bind " + site.dir / "Trends" + " " + site.dir / "bind" +
                         " && mount --bind " + site.dir / "server" + " " + site.dir / "mnt/nas";
    const int64_t noon = 1781092800000LL;
    FakeClock clk(noon, 10.0);
    tsup::Child prog = site.start(clk, mounts);
    ASSERT_TRUE(tsup::wait_for([&] { return clk.now() >= noon + 70000; }, 30000)) << site.log();
    EXPECT_EQ(0, tsup::child_stop(&prog));
    std::string log = site.log();
    EXPECT_NE(std::string::npos,
              log.find("alt-path slot 0: " + site.dir.path + "/bind/ is the same"))
        << log;
    EXPECT_EQ(0u, tsup::count_of(log, "unavailable")) << log;
    for (const char *n : {"26061000.rps", "26061000.rns", "26061000.rpm", "26061000.rnm"})
        cmp_same(site.dir / "Trends/" + n, site.dir / "server/trends/" + n);
    // Nothing under the bare mount point outside the namespace.
    EXPECT_TRUE(tsup::list_dir(site.dir / "mnt/nas").empty());
}

}  // namespace

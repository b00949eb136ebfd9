// Mount watching of the real zqsup with a recording stand-in for zqnet and
// a mount table of the test's own (a mount appears when the stand-in adds
// its line, and is lost when the test takes it out).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

#include "sup_test_util.h"

namespace {

using tsup::read_file;
using tsup::wait_for;
using tsup::write_file;

std::atomic<int> g_seq{0};

void copy_exe(const std::string &from, const std::string &to) {
    write_file(to, read_file(from));
    chmod(to.c_str(), 0755);
}

size_t count(const std::string &hay, const std::string &needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        n++;
    return n;
}

bool net_is_mounted_here(const std::string &path) {
    return read_file("/proc/self/mounts").find(" " + path + " ") != std::string::npos;
}

bool group_gone(pid_t pgid) {
    return kill(-pgid, 0) != 0 && errno == ESRCH;
}

class Mounts : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"zqmnt"};
    std::string root = tmp.path, stack = root + "/stack", fake = root + "/fake",
                mnt = root + "/mnt", table = root + "/mounts", proj, prefix, pidfile;
    tsup::Child sup;

    void SetUp() override {
        int n = g_seq++;
        std::string project = "m" + std::to_string(getpid()) + "x" + std::to_string(n);
        proj = root + "/" + project;
        prefix = "/zqmntt" + std::to_string(getpid()) + "n" + std::to_string(n);
        pidfile = "/tmp/zqsup_" + project + ".pid";
        for (const std::string &d : {stack, fake, mnt, proj})
            mkdir(d.c_str(), 0755);
        copy_exe(std::string(ZQ_BIN_DIR) + "/zqsup", stack + "/zqsup");
        for (const char *p : {"zqtrend", "zqserver", "zqalarm"})
            copy_exe(SUP_STUB, stack + "/" + p);
        copy_exe(std::string(ZQ_SOURCE_DIR) + "/tests/support/fake_zqnet", stack + "/zqnet");
        write_file(table, "proc /proc proc rw 0 0\n");
    }

    void TearDown() override {
        if (sup.pid > 0) tsup::child_stop(&sup, 20000);
        for (const std::string &name : suptest::unlink_shm_objects(prefix))
            ADD_FAILURE() << "leaked /dev/shm" << name;
        unlink(pidfile.c_str());
    }

    // wrap: a command the supervisor runs under (unshare); it then reads
    // the real mount table.
    void start(const std::string &mounts, const std::vector<std::string> &env = {},
               std::vector<std::string> wrap = {}) {
        write_file(proj + "/config.yaml",
                   "logix:\n  shm_name: " + prefix + "\nnetwork:\n  mounts:\n" + mounts);
        wrap.push_back(stack + "/zqsup");
        wrap.push_back(proj);
        tsup::ChildOpts o{
            .argv = wrap,
            .env = {"ZQ_MOUNT_ROOT=" + mnt, "ZQNET_FAKE_DIR=" + fake, "ZQ_MOUNT_RETRY_MS=300"},
            .out_path = root + "/out.txt",
            .err_path = root + "/err.txt",
            .stdin_pipe = true};
        if (wrap.size() == 2) o.env.push_back("ZQ_PROC_MOUNTS=" + table);
        o.env.insert(o.env.end(), env.begin(), env.end());
        ASSERT_TRUE(tsup::child_start(&sup, o));
    }

    std::string out() { return read_file(root + "/out.txt"); }
    bool wait_out(const std::string &s, size_t times = 1, int ms = 10000) {
        return wait_for([&] { return count(out(), s) >= times; }, ms);
    }
    std::string calls() { return read_file(fake + "/calls.log"); }
    // Pid of the stand-in that is sleeping (0 while none is).
    pid_t sleeper() {
        std::istringstream in(calls());
        std::string w;
        pid_t pid = 0, p;
        while (in >> w)
            if (w == "sleep" && in >> p) pid = p;
        return pid;
    }
    void lose(const std::string &name) {
        std::string t = read_file(table), keep, line;
        std::istringstream in(t);
        while (std::getline(in, line))
            if (line.find(" " + mnt + "/" + name + " ") == std::string::npos) keep += line + "\n";
        write_file(table, keep);
    }
};

TEST_F(Mounts, PendingShareComesUpAndIsRemountedWhenLost) {
    start(
        "    - type: nfs\n      remote: nas1:/export/trends\n      name: arch\n      mode: ro\n"
        "    - type: smb\n      remote: //srv/share\n      name: win\n      servern: SRV\n");
    ASSERT_TRUE(wait_out("[zqsup] net mount arch UP")) << out();
    ASSERT_TRUE(wait_out("[zqsup] net mount win UP")) << out();
    EXPECT_EQ(count(out(), "net mount arch pending (retrying)"), 1u) << out();
    std::string c = calls();
    EXPECT_NE(c.find("mount-nfs|nas1|/export/trends|arch|ro"), std::string::npos) << c;
    // The credentials' name defaults to the mount's own name.
    EXPECT_NE(c.find("mount-smb|//srv/share|win|rw|win|SRV"), std::string::npos) << c;

    lose("arch");
    ASSERT_TRUE(wait_out("[zqsup] net mount arch UP", 2)) << out();
    std::string o = out();
    EXPECT_EQ(count(o, "net mount arch LOST"), 1u) << o;
    EXPECT_EQ(count(o, "net mount win LOST"), 0u) << o;
    // Only the lost share is mounted again.
    EXPECT_EQ(count(calls(), "|arch|"), 2u) << calls();
    EXPECT_EQ(count(calls(), "mount-smb"), 1u) << calls();
}

TEST_F(Mounts, InvalidEntriesNeverReachZqnet) {
    start(
        "    - remote: nas:/ok\n      name: good\n"
        "    - remote: nas:/x\n      name: ../etc\n"
        "    - remote: -oexec:/x\n      name: dash\n"
        "    - remote: nascolonless\n      name: nocolon\n"
        "    - remote: \"nas:/a b\"\n      name: blank\n"
        "    - type: smb\n      remote: srv/share\n      name: noslash\n"
        "    - remote: nas:/m\n      name: mode\n      mode: rx\n"
        "    - type: smb\n      remote: //srv/s\n      name: sn\n      servern: -x\n"
        "    - type: ftp\n      remote: nas:/t\n      name: kind\n");
    ASSERT_TRUE(wait_out("[zqsup] net mount good UP")) << out();
    // Attempts go on for the entries that stay down; each logs its reason
    // once per attempt, never once per pass.
    ASSERT_TRUE(wait_out("net mount nocolon: bad NFS remote", 3)) << out();
    // Stopped first, so no attempt is half written when the lines are counted.
    kill(sup.pid, SIGTERM);
    ASSERT_GE(tsup::child_wait(&sup, 15000), 0);
    std::string o = out(), c = calls();
    EXPECT_NE(o.find("невірна назва"), std::string::npos) << o;
    for (const char *name : {"dash", "blank", "noslash", "mode", "sn", "kind"})
        EXPECT_NE(o.find(std::string("net mount ") + name + ": "), std::string::npos) << name;
    EXPECT_EQ(count(o, "nocolon pending (retrying)"), 1u) << o;
    size_t attempts = count(o, "nocolon: bad NFS remote");
    EXPECT_EQ(count(o, "net mount dash: "), attempts) << o;
    // The only call is the valid entry's.
    EXPECT_EQ(count(c, "\n"), 1u) << c;
    EXPECT_NE(c.find("mount-nfs|nas|/ok|good|rw"), std::string::npos) << c;
}

TEST_F(Mounts, ZqnetReasonIsLoggedOnceUntilItChanges) {
    write_file(fake + "/fail", "mount.nfs: access denied by server\nsecond line\n");
    start("    - remote: nas:/e\n      name: arch\n");
    ASSERT_TRUE(wait_for([&] { return count(calls(), "mount-nfs") >= 3; }, 15000)) << calls();
    write_file(fake + "/fail", "mount.nfs: Connection timed out\n");
    size_t seen = count(calls(), "mount-nfs");
    ASSERT_TRUE(wait_for([&] { return count(calls(), "mount-nfs") >= seen + 2; }, 15000));
    kill(sup.pid, SIGTERM);
    ASSERT_GE(tsup::child_wait(&sup, 15000), 0);
    std::string o = out();
    EXPECT_EQ(count(o, "[zqsup] net mount arch: zqnet: mount.nfs: access denied by server\n"), 1u)
        << o;
    EXPECT_EQ(count(o, "[zqsup] net mount arch: zqnet: mount.nfs: Connection timed out\n"), 1u)
        << o;
    EXPECT_EQ(count(o, "second line"), 0u);
}

TEST_F(Mounts, OnlySixteenSharesAreKept) {
    std::string list;
    for (int i = 0; i < 17; i++)
        list += "    - remote: nas:/e" + std::to_string(i) + "\n      name: n" + std::to_string(i) +
                "\n";
    start(list);
    ASSERT_TRUE(wait_out("[zqsup] net mount n15 UP")) << out();
    EXPECT_NE(out().find("17 записів"), std::string::npos) << out();
    EXPECT_EQ(calls().find("|n16|"), std::string::npos) << calls();
    EXPECT_EQ(count(calls(), "mount-nfs"), 16u) << calls();
}

TEST_F(Mounts, HangingZqnetIsKilledAfterItsLimit) {
    write_file(fake + "/sleep", "1000");
    start("    - remote: nas:/slow\n      name: slow\n", {"ZQ_MOUNT_TIMEOUT_MS=1000"});
    ASSERT_TRUE(wait_for([&] { return sleeper() != 0; }, 10000)) << calls();
    pid_t first = sleeper();
    ASSERT_TRUE(wait_out("net mount slow: zqnet pid=" + std::to_string(first))) << out();
    // The whole group is gone: the tool and the command it waited for.
    EXPECT_TRUE(wait_for([&] { return group_gone(first); }, 5000));
    // The next attempt runs a new one.
    EXPECT_TRUE(wait_for([&] { return sleeper() != first && sleeper() != 0; }, 10000));
}

TEST_F(Mounts, ZqnetIsStoppedAtShutdown) {
    write_file(fake + "/sleep", "1000");
    start("    - remote: nas:/slow\n      name: slow\n");
    ASSERT_TRUE(wait_for([&] { return sleeper() != 0; }, 10000)) << calls();
    pid_t pid = sleeper();
    ASSERT_TRUE(wait_out("[zqsup] running.")) << out();
    kill(sup.pid, SIGTERM);
    ASSERT_GE(tsup::child_wait(&sup, 15000), 0) << out();
    EXPECT_EQ(sup.status, 0);
    EXPECT_TRUE(wait_for([&] { return group_gone(pid); }, 5000));
    EXPECT_NE(out().find("[zqsup] exited."), std::string::npos) << out();
}

// A real mount: the supervisor in a private mount namespace, with a zqnet
// that mounts a tmpfs, reading the kernel's own mount table.
TEST_F(Mounts, RealMountInPrivateNamespace) {
    if (getuid() != 0) GTEST_SKIP() << "needs root for a private mount namespace";
    tsup::RunResult probe =
        tsup::run({.argv = {"unshare", "-m", "--propagation", "private", "true"}}, 10000);
    if (probe.status != 0) GTEST_SKIP() << "unshare -m not permitted here: " << probe.err;
    write_file(stack + "/zqnet",
               "#!/bin/sh\n[ \"$1\" = mount-nfs ] || exit 2\nmkdir -p \"$ZQ_MOUNT_ROOT/$4\"\n"
               "exec mount -t tmpfs -o size=1m zqtest \"$ZQ_MOUNT_ROOT/$4\"\n");
    start("    - remote: nas:/real\n      name: real\n", {},
          {"unshare", "-m", "--propagation", "private"});
    ASSERT_TRUE(wait_out("[zqsup] net mount real UP")) << out();
    // Outside the namespace nothing is mounted.
    EXPECT_FALSE(net_is_mounted_here(mnt + "/real"));
    tsup::RunResult um = tsup::run(
        {.argv = {"nsenter", "-t", std::to_string(sup.pid), "-m", "umount", mnt + "/real"}}, 10000);
    ASSERT_EQ(um.status, 0) << um.err;
    EXPECT_TRUE(wait_out("[zqsup] net mount real LOST")) << out();
    EXPECT_TRUE(wait_out("[zqsup] net mount real UP", 2)) << out();
}

}  // namespace

// zqsup as an operator sees it: a copy of the real binary in a temporary
// stack directory beside stand-in children, run on a temporary project.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "common/cfg_skeleton.h"
#include "common/shm.h"
#include "tests/support/files.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

#include "sup_test_util.h"

namespace {

using tsup::file_exists;
using tsup::read_file;
using tsup::wait_for;
using tsup::write_file;

void copy_exe(const std::string &from, const std::string &to) {
    write_file(to, read_file(from));
    chmod(to.c_str(), 0755);
}

struct StubStart {
    std::string name;
    pid_t pid;
    long long mono;  // fork time of the stand-in, ms since boot
    std::string line;
};

std::atomic<int> g_seq{0};

class Zqsup : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"zqsup"};
    std::string root = tmp.path, stack, proj, project, prefix, shm_name, pidfile;
    tsup::Child child;
    // The running zqsup (-1 once reaped), the pipe to its console and how it
    // ended, as the tests use them.
    pid_t &sup = child.pid;
    int &in_fd = child.stdin_fd;
    int &exit_status = child.status;
    std::vector<tsup::Child> extra;  // processes the test itself started

    void SetUp() override {
        ASSERT_FALSE(root.empty());
        stack = root + "/stack";
        int n = g_seq++;
        project = "p" + std::to_string(getpid()) + "x" + std::to_string(n);
        proj = root + "/" + project;
        prefix = "/zqsupt" + std::to_string(getpid()) + "n" + std::to_string(n);
        shm_name = prefix + "_" + project;
        pidfile = "/tmp/zqsup_" + project + ".pid";
        mkdir(stack.c_str(), 0755);
        mkdir(proj.c_str(), 0755);
        copy_exe(std::string(ZQ_BIN_DIR) + "/zqsup", stack + "/zqsup");
        for (const char *p : {"zqtrend", "zqserver", "zqalarm"})
            add_stub(p);
    }

    void TearDown() override {
        if (sup > 0 && tsup::child_stop(&child, 20000) == 128 + SIGKILL)
            ADD_FAILURE() << "zqsup did not stop on SIGTERM";
        // Every stand-in it started must be gone, not left running.
        for (const StubStart &s : starts()) {
            if (tsup::pid_alive(s.pid)) {
                ADD_FAILURE() << s.name << " pid " << s.pid << " outlived zqsup";
                kill(s.pid, SIGKILL);
            }
        }
        for (tsup::Child &c : extra)
            tsup::child_stop(&c, 0, SIGKILL);
        // No database object of this test may stay behind.
        for (const std::string &name : suptest::unlink_shm_objects(prefix))
            ADD_FAILURE() << "leaked /dev/shm" << name;
        EXPECT_FALSE(file_exists(pidfile)) << "pid file left behind";
        unlink(pidfile.c_str());
        EXPECT_TRUE(tsup::remove_tree(root));
    }

    void add_stub(const std::string &program) { copy_exe(SUP_STUB, stack + "/" + program); }

    void config(const std::string &body) {
        write_file(proj + "/config.yaml", "logix:\n  shm_name: " + prefix + "\n" + body);
    }

    void start(std::vector<std::string> args = {}, bool with_dir = true) {
        args.insert(args.begin(), stack + "/zqsup");
        if (with_dir) args.push_back(proj);
        ASSERT_TRUE(tsup::child_start(&child, {.argv = args,
                                               .out_path = root + "/stdout.txt",
                                               .err_path = root + "/stderr.txt",
                                               .stdin_pipe = true}));
    }

    bool wait_exit(double seconds) { return tsup::child_wait(&child, int(seconds * 1000)) >= 0; }

    std::string out() { return read_file(root + "/stdout.txt"); }
    std::string err() { return read_file(root + "/stderr.txt"); }
    bool out_has(const std::string &s) { return out().find(s) != std::string::npos; }
    bool wait_out(const std::string &s, int ms = 10000) {
        return wait_for([&] { return out_has(s); }, ms);
    }

    std::vector<StubStart> starts(const std::string &name = "") {
        std::vector<StubStart> v;
        std::istringstream in(read_file(proj + "/stub.log"));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream ls(line);
            std::string word;
            StubStart s;
            ls >> word >> s.name >> s.pid >> s.mono;
            s.line = line;
            if (word == "start" && (name.empty() || s.name == name)) v.push_back(s);
        }
        return v;
    }
    bool stub_noted(const std::string &what) {
        return read_file(proj + "/stub.log").find(what) != std::string::npos;
    }

    void running_stack() {
        ASSERT_TRUE(wait_out("[zqsup] running.")) << out() << err();
        ASSERT_TRUE(wait_for(
            [&] {
                return starts("zqtrend").size() >= 1 && starts("zqserver").size() >= 1 &&
                       starts("zqalarm").size() >= 1;
            },
            10000));
    }

    std::string shm_bytes() { return read_file("/dev/shm" + shm_name); }
};

TEST_F(Zqsup, StartsSizedStackAndStopsCleanly) {
    config("mqtt:\n  items: |\n    A3\n    D10\n      a7,c,X\n");
    start();
    running_stack();
    // Sized from the items; no Logix group, so no driver and the gated suffix.
    EXPECT_TRUE(out_has("[zqsup] SHM " + shm_name +
                        " створено (8A/11D, PLC=0) — logix-груп нема, драйвер не стартує"))
        << out();
    std::string db = shm_bytes();
    ASSERT_EQ(db.size(), 120u + 41 * 8 + 33 * 11);
    ShmHeader h;
    memcpy(&h, db.data(), sizeof h);
    EXPECT_EQ(h.magic, SHM_MAGIC);
    EXPECT_EQ(h.version, SHM_VERSION);
    EXPECT_EQ(h.an_count, 8u);
    EXPECT_EQ(h.di_count, 11u);

    // Without a driver the supervisor keeps the liveness fields moving.
    ASSERT_TRUE(wait_for(
        [&] {
            ShmHeader now;
            std::string b = shm_bytes();
            if (b.size() < sizeof now) return false;
            memcpy(&now, b.data(), sizeof now);
            return now.connected == 1 && now.poll_count >= h.poll_count + 2;
        },
        5000));

    // Children: right arguments and environment, started from the stack dir.
    auto trend = starts("zqtrend");
    ASSERT_EQ(trend.size(), 1u);
    EXPECT_NE(
        trend[0].line.find("shm=" + shm_name + " stack=" + stack + " args=-c ./config.yaml -b ."),
        std::string::npos)
        << trend[0].line;
    EXPECT_NE(starts("zqserver")[0].line.find("args=-c ./config.yaml"), std::string::npos);

    // zqmqtt is required by the mqtt section but not installed: it fails with
    // 127, and the log says so and that it is retried.
    EXPECT_TRUE(wait_out("zqmqtt pid=")) << out();
    EXPECT_TRUE(wait_out("died (exit=127)")) << out();
    EXPECT_TRUE(out_has("/zqmqtt не запущено")) << out();

    std::string pf = read_file(pidfile);
    EXPECT_NE(pf.find("trend:" + std::to_string(trend[0].pid) + "\n"), std::string::npos) << pf;
    EXPECT_NE(pf.find("zqsup:" + std::to_string(sup) + "\n"), std::string::npos) << pf;
    EXPECT_TRUE(file_exists(proj + "/run/zqsup.version"));
    for (const char *d : {"logs", "Trends", "www", "alarm", "copy_base", "run", "calc"}) {
        EXPECT_TRUE(file_exists(proj + "/" + d)) << d;
    }

    // Ended children are reaped while it runs (zqmqtt keeps ending).
    EXPECT_TRUE(wait_for([&] { return tsup::zombie_children(sup) == 0; }, 2000));
    kill(sup, SIGTERM);
    ASSERT_TRUE(wait_exit(15));
    EXPECT_EQ(exit_status, 0);
    std::string o = out();
    EXPECT_NE(o.find("[zqsup] shutdown: scada → trend → driver"), std::string::npos);
    // Reverse table order: zqalarm before scada before trend.
    size_t a = o.find("stopping zqalarm"), s = o.find("stopping scada"),
           t = o.find("stopping trend");
    ASSERT_NE(t, std::string::npos) << o;
    EXPECT_LT(a, s);
    EXPECT_LT(s, t);
    EXPECT_NE(o.find("[zqsup] SHM removed: " + shm_name), std::string::npos);
    EXPECT_NE(o.find("[zqsup] exited."), std::string::npos);
    EXPECT_FALSE(file_exists("/dev/shm" + shm_name));
    EXPECT_TRUE(stub_noted("term zqtrend " + std::to_string(trend[0].pid)));

    // The same lines are in the daily log file.
    std::string log = tsup::read_dir_files(proj + "/logs", "zqsup-");
    EXPECT_NE(log.find("[zqsup] started trend pid=" + std::to_string(trend[0].pid)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[zqsup] exited."), std::string::npos);
}

TEST_F(Zqsup, DriverStartsWithGroupsAndOneBlockPerController) {
    add_stub("zqlogix");
    config(
        "  groups:\n"
        "    - ipaddr: 127.0.0.1\n"
        "      connpath: backplane\\1\n"
        "      items: |\n"
        "        A40,v,T\n"
        "    - ipaddr: 127.0.0.1\n"
        "      connpath: backplane\\1\n"
        "    - ipaddr: 127.0.0.2\n"
        "      connpath: backplane\\1\n"
        "      items: |\n"
        "        D2,v,Run\n");
    start();
    running_stack();
    EXPECT_TRUE(out_has("[zqsup] SHM " + shm_name + " створено (41A/3D, PLC=2)\n")) << out();
    EXPECT_EQ(shm_bytes().size(), 120u + 41 * 41 + 33 * 3 + 128 * 2);
    ASSERT_TRUE(wait_for([&] { return starts("zqlogix").size() >= 1; }, 5000));
    // The driver is the first row.
    std::string o = out();
    EXPECT_LT(o.find("started driver"), o.find("started trend"));
}

TEST_F(Zqsup, RestartsAreThreeSecondsApart) {
    config("");
    write_file(proj + "/stub_zqalarm.exit", "");
    start();
    running_stack();
    // A killed child comes back, not sooner than 3 s after its last start.
    auto first = starts("zqtrend");
    ASSERT_EQ(first.size(), 1u);
    kill(first[0].pid, SIGKILL);
    ASSERT_TRUE(wait_for([&] { return starts("zqtrend").size() >= 2; }, 8000)) << out();
    auto again = starts("zqtrend");
    // Fork times in 10 ms steps; a fork on a loaded host can itself take tens of
    // ms, so only an early restart (well under 3 s) counts as a fault.
    EXPECT_GE(again[1].mono - first[0].mono, 2500);
    EXPECT_TRUE(out_has("trend pid=" + std::to_string(first[0].pid) + " died (exit=-1)"));

    // A child that exits at once is restarted at 3-second intervals.
    ASSERT_TRUE(wait_for([&] { return starts("zqalarm").size() >= 3; }, 12000)) << out();
    auto alarm = starts("zqalarm");
    for (size_t i = 1; i < alarm.size(); i++) {
        EXPECT_GE(alarm[i].mono - alarm[i - 1].mono, 2500) << i;
    }
    EXPECT_TRUE(out_has("died (exit=3)"));
    EXPECT_TRUE(out_has("[zqsup] waiting "));
    // Everything that ended was reaped.
    EXPECT_TRUE(wait_for([&] { return tsup::zombie_children(sup) == 0; }, 2000));
    // The pid file follows the restarts.
    EXPECT_TRUE(wait_for(
        [&] {
            return read_file(pidfile).find("trend:" + std::to_string(again[1].pid)) !=
                   std::string::npos;
        },
        2000));
}

TEST_F(Zqsup, ChildIgnoringTermIsKilledAfterFiveSeconds) {
    config("");
    write_file(proj + "/stub_zqserver.ignterm", "");
    start();
    running_stack();
    pid_t server = starts("zqserver")[0].pid;
    long long t0 = tsup::now_ms();
    kill(sup, SIGTERM);
    ASSERT_TRUE(wait_out("[zqsup] force-killing scada pid=" + std::to_string(server), 15000))
        << out();
    long long waited = tsup::now_ms() - t0;
    EXPECT_GE(waited, 4900);
    ASSERT_TRUE(wait_exit(15));
    EXPECT_EQ(exit_status, 0);
    EXPECT_FALSE(tsup::pid_alive(server));
    EXPECT_TRUE(out_has("[zqsup] trend exited"));
}

TEST_F(Zqsup, Sigusr2ReconcilesOptionalChildrenAndRenamesDb) {
    add_stub("zqcalc");
    config("");
    start();
    running_stack();
    pid_t trend = starts("zqtrend")[0].pid;
    write_file(proj + "/config.yaml",
               read_file(proj + "/config.yaml") + "calc:\n  takt_ms: 500\n  items: |\n    A12\n");
    kill(sup, SIGUSR2);
    ASSERT_TRUE(wait_out("[zqsup] config.yaml тепер вимагає zqcalc — стартую")) << out();
    EXPECT_TRUE(out_has("[zqsup] SIGUSR2: config reload — restarting ALL children"));
    EXPECT_TRUE(wait_out("[zqsup] SHM " + shm_name + " створено (13A/0D, PLC=0)"));
    EXPECT_TRUE(wait_out("[zqsup] SIGTERM → trend pid=" + std::to_string(trend)));
    // Every child comes back once with the new configuration.
    ASSERT_TRUE(wait_for([&] { return starts("zqtrend").size() >= 2; }, 8000)) << out();
    ASSERT_TRUE(wait_for([&] { return starts("zqcalc").size() >= 1; }, 8000)) << out();
    EXPECT_EQ(shm_bytes().size(), 120u + 41 * 13);
    EXPECT_TRUE(
        wait_for([&] { return read_file(pidfile).find("zqcalc:") != std::string::npos; }, 8000));

    // Dropping the section and renaming the database: zqcalc is stopped and
    // removed, the old object disappears and the new one is exported.
    std::string old_name = shm_name;
    std::string old_prefix = prefix;
    prefix = old_prefix + "b";
    shm_name = prefix + "_" + project;
    config("");
    kill(sup, SIGUSR2);
    ASSERT_TRUE(wait_out("[zqsup] config.yaml більше не вимагає zqcalc — зупиняю")) << out();
    EXPECT_TRUE(wait_out("[zqsup] SHM перейменовано: " + old_name + " → " + shm_name));
    EXPECT_TRUE(wait_for([&] { return file_exists("/dev/shm" + shm_name); }, 5000));
    EXPECT_FALSE(file_exists("/dev/shm" + old_name));
    // Restarted children see the new name.
    EXPECT_TRUE(wait_for(
        [&] {
            return starts("zqtrend").back().line.find("shm=" + shm_name + " ") != std::string::npos;
        },
        10000))
        << out();
    prefix = old_prefix;  // teardown looks for leftovers of both names
}

TEST_F(Zqsup, ReloadWithUnreadableConfigKeepsDbAndChildren) {
    add_stub("zqcalc");
    config("calc:\n  items: |\n    A4\n");
    start();
    running_stack();
    ASSERT_TRUE(wait_for([&] { return starts("zqcalc").size() >= 1; }, 5000));
    ASSERT_EQ(rename((proj + "/config.yaml").c_str(), (proj + "/config.yaml.away").c_str()), 0);
    kill(sup, SIGUSR2);
    ASSERT_TRUE(wait_out("[zqsup] WARN: config.yaml не читається — SHM не створено")) << out();
    EXPECT_TRUE(wait_out("склад процесів не змінено"));
    EXPECT_FALSE(out_has("більше не вимагає"));
    EXPECT_EQ(shm_bytes().size(), 120u + 41 * 5);
    // The children are still restarted, zqcalc among them.
    EXPECT_TRUE(wait_for([&] { return starts("zqcalc").size() >= 2; }, 8000)) << out();
}

TEST_F(Zqsup, Sigusr1AppliesImportsAndNotifiesChildren) {
    config("");
    start();
    running_stack();
    write_file(proj + "/channels.json.import", "{\"new\":1}");
    write_file(proj + "/zqbridge.a.base.import", "a-base");
    kill(sup, SIGUSR1);
    ASSERT_TRUE(wait_out("[zqsup] Applied channels.json from .import")) << out();
    EXPECT_TRUE(out_has("[zqsup] SIGUSR1: applying base imports"));
    EXPECT_TRUE(out_has("[zqsup] Applied zqbridge.a.base"));
    EXPECT_EQ(read_file(proj + "/channels.json"), "{\"new\":1}");
    EXPECT_EQ(read_file(proj + "/zqbridge.a.base"), "a-base");
    EXPECT_FALSE(file_exists(proj + "/channels.json.import"));
    for (const char *p : {"zqtrend", "zqserver", "zqalarm"}) {
        pid_t pid = starts(p)[0].pid;
        EXPECT_TRUE(wait_for(
            [&] { return stub_noted(std::string("usr1 ") + p + " " + std::to_string(pid)); }, 5000))
            << p;
    }
    // Children keep running: a data import is no restart.
    EXPECT_EQ(starts("zqtrend").size(), 1u);
}

TEST_F(Zqsup, StaleRunCleanupSparesUnrelatedProcesses) {
    config("");
    // An unrelated process, a stale stack program of this project, and the
    // same program running in another project's directory.
    auto spawn = [&](const std::string &dir, const std::vector<std::string> &argv) {
        extra.emplace_back();
        EXPECT_TRUE(tsup::child_start(&extra.back(), {.argv = argv, .dir = dir}));
        return extra.back().pid;
    };
    std::string other = root + "/other";
    mkdir(other.c_str(), 0755);
    pid_t sleeper = spawn("", {"/bin/sleep", "60"});
    pid_t stale = spawn(proj, {stack + "/zqtrend"});
    pid_t foreign = spawn(other, {stack + "/zqtrend"});
    ASSERT_TRUE(wait_for([&] { return starts("zqtrend").size() >= 1; }, 5000));
    ASSERT_TRUE(wait_for([&] { return file_exists(other + "/stub.log"); }, 5000));
    write_file(pidfile, "trend:" + std::to_string(stale) + "\nscada:" + std::to_string(sleeper) +
                            "\nzqalarm:" + std::to_string(foreign) + "\nzqsup:1\n");
    start();
    ASSERT_TRUE(wait_out("[zqsup] killing stale trend pid=" + std::to_string(stale))) << out();
    running_stack();
    EXPECT_TRUE(wait_for([&] { return !tsup::pid_alive(stale); }, 5000));
    EXPECT_TRUE(tsup::pid_alive(sleeper));
    EXPECT_TRUE(tsup::pid_alive(foreign));
    EXPECT_FALSE(out_has("stale scada"));
    EXPECT_FALSE(out_has("stale zqalarm"));
    // The new pid file names the new children only.
    std::string pf = read_file(pidfile);
    EXPECT_EQ(pf.find(":" + std::to_string(sleeper) + "\n"), std::string::npos) << pf;
}

TEST_F(Zqsup, SameProjectNameInAnotherFolderIsRefused) {
    // /root/<name> runs; /root/b/<name> has the same name, so the same pid
    // file and database name.
    config("");
    start();
    running_stack();
    std::string twin = root + "/b/" + project;
    mkdir((root + "/b").c_str(), 0755);
    mkdir(twin.c_str(), 0755);
    write_file(twin + "/config.yaml", read_file(proj + "/config.yaml"));
    struct stat before;
    ASSERT_EQ(stat(("/dev/shm" + shm_name).c_str(), &before), 0);
    std::string pf = read_file(pidfile);

    tsup::RunResult r = tsup::run({.argv = {stack + "/zqsup", twin}}, 20000);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("вже працює в " + proj + " (zqsup pid=" + std::to_string(sup) + ")"),
              std::string::npos)
        << r.err;
    // The running plant keeps its database object, its pid file and children.
    struct stat after;
    ASSERT_EQ(stat(("/dev/shm" + shm_name).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(read_file(pidfile), pf);
    for (const StubStart &s : starts())
        EXPECT_TRUE(tsup::pid_alive(s.pid)) << s.name;
    EXPECT_FALSE(file_exists(twin + "/stub.log"));

    // Once it stopped, the twin may run.
    kill(sup, SIGTERM);
    ASSERT_TRUE(wait_exit(15));
    proj = twin;
    start();
    running_stack();
}

TEST_F(Zqsup, PidFileSymlinkIsNotFollowed) {
    config("");
    // Someone else's link where the pid file belongs, to a file naming a
    // program of this project: nothing it says is acted on.
    extra.emplace_back();
    ASSERT_TRUE(tsup::child_start(&extra.back(), {.argv = {stack + "/zqtrend"}, .dir = proj}));
    pid_t named = extra.back().pid;
    ASSERT_TRUE(wait_for([&] { return starts("zqtrend").size() >= 1; }, 5000));
    std::string victim = root + "/victim";
    std::string text = "trend:" + std::to_string(named) + "\n";
    write_file(victim, text);
    ASSERT_EQ(symlink(victim.c_str(), pidfile.c_str()), 0);
    start();
    running_stack();
    struct stat st;
    ASSERT_EQ(lstat(pidfile.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_file(victim), text);
    EXPECT_TRUE(tsup::pid_alive(named));
    EXPECT_FALSE(out_has("killing stale")) << out();
    tsup::child_stop(&extra.back(), 3000);
}

TEST_F(Zqsup, ConsoleStatusAndCyrillicQuit) {
    config("");
    start();
    running_stack();
    ASSERT_EQ(write(in_fd, "s", 1), 1);
    ASSERT_TRUE(wait_out("[zqsup] status:")) << out();
    ASSERT_TRUE(wait_for(
        [&] {
            std::string o = out();
            return o.find("  trend         pid=") != std::string::npos &&
                   o.find("  zqalarm       pid=") != std::string::npos;
        },
        5000))
        << out();
    // The key of "q" on a Ukrainian layout.
    ASSERT_EQ(write(in_fd, "\xD0\xB9", 2), 2);
    ASSERT_TRUE(wait_exit(15)) << out();
    EXPECT_EQ(exit_status, 0);
    EXPECT_TRUE(out_has("[zqsup] quit requested"));
    EXPECT_FALSE(file_exists("/dev/shm" + shm_name));
}

// A new project gets the skeleton; a project whose INI cannot be converted
// still starts, its children waiting for a config.yaml.
TEST_F(Zqsup, StartsWithoutConfigAndRefusesAMissingProject) {
    start();
    running_stack();
    EXPECT_TRUE(out_has("[zqsup] wrote skeleton ./config.yaml (no ini found — edit it)")) << out();
    EXPECT_EQ(read_file(proj + "/config.yaml"), config_skeleton_str());
    kill(sup, SIGTERM);
    ASSERT_TRUE(wait_exit(15));
    EXPECT_EQ(exit_status, 0);
    suptest::unlink_shm_objects("/logix_drv_" + project);

    ASSERT_EQ(unlink((proj + "/config.yaml").c_str()), 0);
    ASSERT_EQ(mkdir((proj + "/zqbridge.ini").c_str(), 0755), 0);  // exists, cannot be read
    size_t before = starts().size();
    start();
    ASSERT_TRUE(wait_out("[zqsup] running.")) << out() << err();
    EXPECT_TRUE(out_has("[zqsup] WARN: could not generate ./config.yaml from ini")) << out();
    EXPECT_TRUE(wait_for([&] { return starts().size() >= before + 3; }, 10000));
    EXPECT_FALSE(file_exists(proj + "/config.yaml"));
    kill(sup, SIGTERM);
    ASSERT_TRUE(wait_exit(15));
    EXPECT_EQ(exit_status, 0);

    start({root + "/nope"}, false);
    ASSERT_TRUE(wait_exit(10));
    EXPECT_EQ(exit_status, 1);
    EXPECT_NE(err().find("[zqsup] project dir not found: " + root + "/nope"), std::string::npos);

    start({"--version"}, false);
    ASSERT_TRUE(wait_exit(10));
    EXPECT_EQ(exit_status, 0);
    EXPECT_EQ(out().rfind("zqsup ", 0), 0u) << out();
}

TEST_F(Zqsup, AbsurdSizeIsRefusedAndStackStillRuns) {
    config("calc:\n  items: |\n    A99999999999\n");
    start();
    running_stack();
    EXPECT_TRUE(out_has("SHM не змінено")) << out();
    EXPECT_FALSE(file_exists("/dev/shm" + shm_name));
}

TEST_F(Zqsup, WithoutArgumentsTheStackDirIsTheProject) {
    // The stack directory is the project here; its name makes the pid file
    // and database names, so it is unique to this run.
    std::string name = "stack" + project;
    std::string own = root + "/" + name;
    mkdir(own.c_str(), 0755);
    for (const char *p : {"zqtrend", "zqserver", "zqalarm"})
        copy_exe(SUP_STUB, own + "/" + p);
    copy_exe(stack + "/zqsup", own + "/zqsup");
    stack = own;
    write_file(stack + "/config.yaml", "logix:\n  shm_name: " + prefix + "\n");
    proj = stack;
    shm_name = prefix + "_" + name;
    pidfile = "/tmp/zqsup_" + name + ".pid";
    start({}, false);
    running_stack();
    EXPECT_TRUE(out_has("[zqsup] base_dir  = " + stack + "\n")) << out();
    EXPECT_TRUE(out_has("[zqsup] pidfile   = " + pidfile + "\n")) << out();
    ASSERT_EQ(write(in_fd, "q", 1), 1);
    ASSERT_TRUE(wait_exit(15));
    EXPECT_EQ(exit_status, 0);
}

}  // namespace

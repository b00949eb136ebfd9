// zqsup as an operator sees it: a copy of the real binary in a temporary
// stack directory beside stand-in children, run on a temporary project.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/shm.h"

#include "sup_test_util.h"

namespace {

using namespace suptest;

using Clock = std::chrono::steady_clock;

void copy_exe(const std::string &from, const std::string &to) {
    spit(to, slurp(from));
    chmod(to.c_str(), 0755);
}

long long mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// Process state letter from /proc/<pid>/stat, 0 when gone.
char proc_state(pid_t pid) {
    std::string s = slurp("/proc/" + std::to_string(pid) + "/stat");
    size_t p = s.rfind(')');
    return (p == std::string::npos || p + 2 >= s.size()) ? 0 : s[p + 2];
}

bool proc_alive(pid_t pid) {
    char st = proc_state(pid);
    return st != 0 && st != 'Z';
}

// Zombie children of parent (ended but not reaped).
int zombies_of(pid_t parent) {
    int n = 0;
    DIR *d = opendir("/proc");
    if (!d) return 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
        std::string s = slurp(std::string("/proc/") + e->d_name + "/stat");
        size_t p = s.rfind(')');
        if (p == std::string::npos || p + 4 >= s.size()) continue;
        char state = s[p + 2];
        int ppid = atoi(s.c_str() + p + 4);
        if (ppid == parent && state == 'Z') n++;
    }
    closedir(d);
    return n;
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
    std::string root, stack, proj, project, prefix, shm_name, pidfile;
    pid_t sup = -1;
    int in_fd = -1;
    int exit_status = -1;
    std::vector<pid_t> extra;  // processes the test itself started

    void SetUp() override {
        char tmpl[] = "/tmp/zqsupt-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        root = tmpl;
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
        if (sup > 0) {
            kill(sup, SIGTERM);
            if (!wait_exit(20)) {
                kill(sup, SIGKILL);
                waitpid(sup, nullptr, 0);
                ADD_FAILURE() << "zqsup did not stop on SIGTERM";
            }
        }
        if (in_fd >= 0) close(in_fd);
        // Every stand-in it started must be gone, not left running.
        for (const StubStart &s : starts()) {
            if (proc_alive(s.pid)) {
                ADD_FAILURE() << s.name << " pid " << s.pid << " outlived zqsup";
                kill(s.pid, SIGKILL);
            }
        }
        for (pid_t p : extra) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        // No database object of this test may stay behind.
        if (DIR *d = opendir("/dev/shm")) {
            std::string mine = prefix.substr(1);
            while (dirent *e = readdir(d)) {
                if (strncmp(e->d_name, mine.c_str(), mine.size()) == 0) {
                    ADD_FAILURE() << "leaked /dev/shm/" << e->d_name;
                    shm_unlink((std::string("/") + e->d_name).c_str());
                }
            }
            closedir(d);
        }
        EXPECT_FALSE(exists(pidfile)) << "pid file left behind";
        unlink(pidfile.c_str());
        std::string cmd = "rm -rf '" + root + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }

    void add_stub(const std::string &program) { copy_exe(SUP_STUB, stack + "/" + program); }

    void config(const std::string &body) {
        spit(proj + "/config.yaml", "logix:\n  shm_name: " + prefix + "\n" + body);
    }

    void start(std::vector<std::string> args = {}, bool with_dir = true) {
        int pfd[2];
        ASSERT_EQ(pipe(pfd), 0);
        std::string exe = stack + "/zqsup";
        if (with_dir) args.push_back(proj);
        sup = fork();
        ASSERT_GE(sup, 0);
        if (sup == 0) {
            dup2(pfd[0], 0);
            close(pfd[0]);
            close(pfd[1]);
            int out = open((root + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open((root + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::vector<char *> argv{exe.data()};
            for (std::string &a : args)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(exe.c_str(), argv.data());
            _exit(126);
        }
        close(pfd[0]);
        in_fd = pfd[1];
    }

    bool wait_exit(double seconds) {
        bool done = wait_for(
            [&] {
                int st;
                pid_t r = waitpid(sup, &st, WNOHANG);
                if (r == sup) {
                    exit_status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                    return true;
                }
                return false;
            },
            seconds);
        if (done) sup = -1;
        return done;
    }

    std::string out() { return slurp(root + "/stdout.txt"); }
    std::string err() { return slurp(root + "/stderr.txt"); }
    bool out_has(const std::string &s) { return out().find(s) != std::string::npos; }
    bool wait_out(const std::string &s, double seconds = 10) {
        return wait_for([&] { return out_has(s); }, seconds);
    }

    std::vector<StubStart> starts(const std::string &name = "") {
        std::vector<StubStart> v;
        std::istringstream in(slurp(proj + "/stub.log"));
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
        return slurp(proj + "/stub.log").find(what) != std::string::npos;
    }

    void running_stack() {
        ASSERT_TRUE(wait_out("[zqsup] running.")) << out() << err();
        ASSERT_TRUE(wait_for(
            [&] {
                return starts("zqtrend").size() >= 1 && starts("zqserver").size() >= 1 &&
                       starts("zqalarm").size() >= 1;
            },
            10));
    }

    std::string shm_bytes() { return slurp("/dev/shm" + shm_name); }
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
        5));

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

    std::string pf = slurp(pidfile);
    EXPECT_NE(pf.find("trend:" + std::to_string(trend[0].pid) + "\n"), std::string::npos) << pf;
    EXPECT_NE(pf.find("zqsup:" + std::to_string(sup) + "\n"), std::string::npos) << pf;
    EXPECT_TRUE(exists(proj + "/run/zqsup.version"));
    for (const char *d : {"logs", "Trends", "www", "alarm", "copy_base", "run", "calc"}) {
        EXPECT_TRUE(exists(proj + "/" + d)) << d;
    }

    pid_t sup_pid = sup;
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
    EXPECT_FALSE(exists("/dev/shm" + shm_name));
    EXPECT_TRUE(stub_noted("term zqtrend " + std::to_string(trend[0].pid)));

    // The same lines are in the daily log file.
    std::string log;
    if (DIR *d = opendir((proj + "/logs").c_str())) {
        while (dirent *e = readdir(d)) {
            if (strncmp(e->d_name, "zqsup-", 6) == 0) log = slurp(proj + "/logs/" + e->d_name);
        }
        closedir(d);
    }
    EXPECT_NE(log.find("[zqsup] started trend pid=" + std::to_string(trend[0].pid)),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("[zqsup] exited."), std::string::npos);
    EXPECT_EQ(zombies_of(sup_pid), 0);
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
    ASSERT_TRUE(wait_for([&] { return starts("zqlogix").size() >= 1; }, 5));
    // The driver is the first row.
    std::string o = out();
    EXPECT_LT(o.find("started driver"), o.find("started trend"));
}

TEST_F(Zqsup, RestartsAreThreeSecondsApart) {
    config("");
    spit(proj + "/stub_zqalarm.exit", "");
    start();
    running_stack();
    // A killed child comes back, not sooner than 3 s after its last start.
    auto first = starts("zqtrend");
    ASSERT_EQ(first.size(), 1u);
    kill(first[0].pid, SIGKILL);
    ASSERT_TRUE(wait_for([&] { return starts("zqtrend").size() >= 2; }, 8)) << out();
    auto again = starts("zqtrend");
    // Fork times in 10 ms steps; a fork on a loaded host can itself take tens of
    // ms, so only an early restart (well under 3 s) counts as a fault.
    EXPECT_GE(again[1].mono - first[0].mono, 2500);
    EXPECT_TRUE(out_has("trend pid=" + std::to_string(first[0].pid) + " died (exit=-1)"));

    // A child that exits at once is restarted at 3-second intervals.
    ASSERT_TRUE(wait_for([&] { return starts("zqalarm").size() >= 3; }, 12)) << out();
    auto alarm = starts("zqalarm");
    for (size_t i = 1; i < alarm.size(); i++) {
        EXPECT_GE(alarm[i].mono - alarm[i - 1].mono, 2500) << i;
    }
    EXPECT_TRUE(out_has("died (exit=3)"));
    EXPECT_TRUE(out_has("[zqsup] waiting "));
    // Everything that ended was reaped.
    EXPECT_TRUE(wait_for([&] { return zombies_of(sup) == 0; }, 2));
    // The pid file follows the restarts.
    EXPECT_TRUE(wait_for(
        [&] {
            return slurp(pidfile).find("trend:" + std::to_string(again[1].pid)) !=
                   std::string::npos;
        },
        2));
}

TEST_F(Zqsup, ChildIgnoringTermIsKilledAfterFiveSeconds) {
    config("");
    spit(proj + "/stub_zqserver.ignterm", "");
    start();
    running_stack();
    pid_t server = starts("zqserver")[0].pid;
    long long t0 = mono_ms();
    kill(sup, SIGTERM);
    ASSERT_TRUE(wait_out("[zqsup] force-killing scada pid=" + std::to_string(server), 15)) << out();
    long long waited = mono_ms() - t0;
    EXPECT_GE(waited, 4900);
    ASSERT_TRUE(wait_exit(15));
    EXPECT_EQ(exit_status, 0);
    EXPECT_FALSE(proc_alive(server));
    EXPECT_TRUE(out_has("[zqsup] trend exited"));
}

TEST_F(Zqsup, Sigusr2ReconcilesOptionalChildrenAndRenamesDb) {
    add_stub("zqcalc");
    config("");
    start();
    running_stack();
    pid_t trend = starts("zqtrend")[0].pid;
    spit(proj + "/config.yaml",
         slurp(proj + "/config.yaml") + "calc:\n  takt_ms: 500\n  items: |\n    A12\n");
    kill(sup, SIGUSR2);
    ASSERT_TRUE(wait_out("[zqsup] config.yaml тепер вимагає zqcalc — стартую")) << out();
    EXPECT_TRUE(out_has("[zqsup] SIGUSR2: config reload — restarting ALL children"));
    EXPECT_TRUE(wait_out("[zqsup] SHM " + shm_name + " створено (13A/0D, PLC=0)"));
    EXPECT_TRUE(wait_out("[zqsup] SIGTERM → trend pid=" + std::to_string(trend)));
    // Every child comes back once with the new configuration.
    ASSERT_TRUE(wait_for([&] { return starts("zqtrend").size() >= 2; }, 8)) << out();
    ASSERT_TRUE(wait_for([&] { return starts("zqcalc").size() >= 1; }, 8)) << out();
    EXPECT_EQ(shm_bytes().size(), 120u + 41 * 13);
    EXPECT_TRUE(wait_for([&] { return slurp(pidfile).find("zqcalc:") != std::string::npos; }, 8));

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
    EXPECT_TRUE(wait_for([&] { return exists("/dev/shm" + shm_name); }, 5));
    EXPECT_FALSE(exists("/dev/shm" + old_name));
    // Restarted children see the new name.
    EXPECT_TRUE(wait_for(
        [&] {
            return starts("zqtrend").back().line.find("shm=" + shm_name + " ") != std::string::npos;
        },
        10))
        << out();
    prefix = old_prefix;  // teardown looks for leftovers of both names
}

TEST_F(Zqsup, ReloadWithUnreadableConfigKeepsDbAndChildren) {
    add_stub("zqcalc");
    config("calc:\n  items: |\n    A4\n");
    start();
    running_stack();
    ASSERT_TRUE(wait_for([&] { return starts("zqcalc").size() >= 1; }, 5));
    ASSERT_EQ(rename((proj + "/config.yaml").c_str(), (proj + "/config.yaml.away").c_str()), 0);
    kill(sup, SIGUSR2);
    ASSERT_TRUE(wait_out("[zqsup] WARN: config.yaml не читається — SHM не створено")) << out();
    EXPECT_TRUE(wait_out("склад процесів не змінено"));
    EXPECT_FALSE(out_has("більше не вимагає"));
    EXPECT_EQ(shm_bytes().size(), 120u + 41 * 5);
    // The children are still restarted, zqcalc among them.
    EXPECT_TRUE(wait_for([&] { return starts("zqcalc").size() >= 2; }, 8)) << out();
}

TEST_F(Zqsup, Sigusr1AppliesImportsAndNotifiesChildren) {
    config("");
    start();
    running_stack();
    spit(proj + "/channels.json.import", "{\"new\":1}");
    spit(proj + "/zqbridge.a.base.import", "a-base");
    kill(sup, SIGUSR1);
    ASSERT_TRUE(wait_out("[zqsup] Applied channels.json from .import")) << out();
    EXPECT_TRUE(out_has("[zqsup] SIGUSR1: applying base imports"));
    EXPECT_TRUE(out_has("[zqsup] Applied zqbridge.a.base"));
    EXPECT_EQ(slurp(proj + "/channels.json"), "{\"new\":1}");
    EXPECT_EQ(slurp(proj + "/zqbridge.a.base"), "a-base");
    EXPECT_FALSE(exists(proj + "/channels.json.import"));
    for (const char *p : {"zqtrend", "zqserver", "zqalarm"}) {
        pid_t pid = starts(p)[0].pid;
        EXPECT_TRUE(wait_for(
            [&] { return stub_noted(std::string("usr1 ") + p + " " + std::to_string(pid)); }, 5))
            << p;
    }
    // Children keep running: a data import is no restart.
    EXPECT_EQ(starts("zqtrend").size(), 1u);
}

TEST_F(Zqsup, StaleRunCleanupSparesUnrelatedProcesses) {
    config("");
    // An unrelated process, a stale stack program of this project, and the
    // same program running in another project's directory.
    auto spawn = [&](const std::string &dir, const std::string &exe) {
        pid_t p = fork();
        if (p == 0) {
            if (chdir(dir.c_str()) != 0) _exit(1);
            execl(exe.c_str(), exe.c_str(), (char *)nullptr);
            _exit(1);
        }
        extra.push_back(p);
        return p;
    };
    std::string other = root + "/other";
    mkdir(other.c_str(), 0755);
    pid_t sleeper = fork();
    if (sleeper == 0) {
        execl("/bin/sleep", "sleep", "60", (char *)nullptr);
        _exit(1);
    }
    extra.push_back(sleeper);
    pid_t stale = spawn(proj, stack + "/zqtrend");
    pid_t foreign = spawn(other, stack + "/zqtrend");
    ASSERT_TRUE(wait_for([&] { return starts("zqtrend").size() >= 1; }, 5));
    ASSERT_TRUE(wait_for([&] { return exists(other + "/stub.log"); }, 5));
    spit(pidfile, "trend:" + std::to_string(stale) + "\nscada:" + std::to_string(sleeper) +
                      "\nzqalarm:" + std::to_string(foreign) + "\nzqsup:1\n");
    start();
    ASSERT_TRUE(wait_out("[zqsup] killing stale trend pid=" + std::to_string(stale))) << out();
    running_stack();
    EXPECT_TRUE(wait_for([&] { return !proc_alive(stale); }, 5));
    EXPECT_TRUE(proc_alive(sleeper));
    EXPECT_TRUE(proc_alive(foreign));
    EXPECT_FALSE(out_has("stale scada"));
    EXPECT_FALSE(out_has("stale zqalarm"));
    // The new pid file names the new children only.
    std::string pf = slurp(pidfile);
    EXPECT_EQ(pf.find(":" + std::to_string(sleeper) + "\n"), std::string::npos) << pf;
}

TEST_F(Zqsup, PidFileSymlinkIsNotFollowed) {
    config("");
    std::string victim = root + "/victim";
    spit(victim, "keep me\n");
    ASSERT_EQ(symlink(victim.c_str(), pidfile.c_str()), 0);
    start();
    running_stack();
    struct stat st;
    ASSERT_EQ(lstat(pidfile.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(slurp(victim), "keep me\n");
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
        5))
        << out();
    // The key of "q" on a Ukrainian layout.
    ASSERT_EQ(write(in_fd, "\xD0\xB9", 2), 2);
    ASSERT_TRUE(wait_exit(15)) << out();
    EXPECT_EQ(exit_status, 0);
    EXPECT_TRUE(out_has("[zqsup] quit requested"));
    EXPECT_FALSE(exists("/dev/shm" + shm_name));
}

TEST_F(Zqsup, RefusesToRunWithoutConfigOrProject) {
    start();
    ASSERT_TRUE(wait_exit(10));
    EXPECT_EQ(exit_status, 1);
    EXPECT_NE(err().find("config.yaml"), std::string::npos) << err();
    EXPECT_TRUE(starts().empty());
    EXPECT_FALSE(exists("/dev/shm" + shm_name));

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
    EXPECT_FALSE(exists("/dev/shm" + shm_name));
}

TEST_F(Zqsup, WithoutArgumentsTheStackDirIsTheProject) {
    // The stack directory is the project here; its name makes the db name.
    spit(stack + "/config.yaml", "logix:\n  shm_name: " + prefix + "\n");
    std::string saved = proj;
    proj = stack;
    shm_name = prefix + "_stack";
    pidfile = "/tmp/zqsup_stack.pid";
    // Another test run could use the same project name: skip rather than
    // fight over its pid file.
    if (exists(pidfile)) GTEST_SKIP() << pidfile << " in use";
    start({}, false);
    running_stack();
    EXPECT_TRUE(out_has("[zqsup] base_dir  = " + stack + "\n")) << out();
    ASSERT_EQ(write(in_fd, "q", 1), 1);
    ASSERT_TRUE(wait_exit(15));
    EXPECT_EQ(exit_status, 0);
}

}  // namespace

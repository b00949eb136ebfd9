// Single-instance lock file and the signal set-up shared by the programs.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "common/lock_file.h"
#include "common/signals.h"

namespace {

// A program name of this test process, so a running stack is not disturbed.
std::string test_program() {
    return "zqtestlock" + std::to_string(getpid());
}

struct LockFileGone {
    std::string path;
    ~LockFileGone() { unlink(path.c_str()); }
};

// Runs zq_lock_acquire in a child process; its status as the exit code.
int acquire_in_child(const std::string &program, const char *shm_name) {
    pid_t pid = fork();
    if (pid == 0) _exit(zq_lock_acquire(program.c_str(), shm_name));
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace

TEST(LockFile, PathKeepsTheRecorderNames) {
    EXPECT_EQ(zq_lock_path("zqtrend", nullptr), "/tmp/zqtrend_default.lock");
    EXPECT_EQ(zq_lock_path("zqtrend", ""), "/tmp/zqtrend_default.lock");
    EXPECT_EQ(zq_lock_path("zqtrend", "/logix_drv_site"), "/tmp/zqtrend_logix_drv_site.lock");
    EXPECT_EQ(zq_lock_path("zqalarm", "/a/b"), "/tmp/zqalarm_a_b.lock");
}

TEST(LockFile, SecondProcessIsRefusedUntilTheFirstEnds) {
    std::string prog = test_program();
    LockFileGone gone{zq_lock_path(prog.c_str(), "/one")};

    int to_child[2], to_parent[2];
    ASSERT_EQ(pipe(to_child), 0);
    ASSERT_EQ(pipe(to_parent), 0);
    pid_t holder = fork();
    if (holder == 0) {
        char c = zq_lock_acquire(prog.c_str(), "/one") == ZQ_LOCK_OK ? 'y' : 'n';
        if (write(to_parent[1], &c, 1) != 1) _exit(2);
        if (read(to_child[0], &c, 1) != 1) _exit(2);  // holds the lock until told
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(to_parent[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');

    EXPECT_EQ(acquire_in_child(prog, "/one"), ZQ_LOCK_HELD);
    // Another database of the same program is a separate instance.
    LockFileGone other{zq_lock_path(prog.c_str(), "/two")};
    EXPECT_EQ(acquire_in_child(prog, "/two"), ZQ_LOCK_OK);

    ASSERT_EQ(write(to_child[1], "x", 1), 1);
    int st = 0;
    waitpid(holder, &st, 0);
    EXPECT_EQ(acquire_in_child(prog, "/one"), ZQ_LOCK_OK);
    for (int fd : {to_child[0], to_child[1], to_parent[0], to_parent[1]})
        close(fd);
}

TEST(LockFile, UnopenableFileIsAnOpenError) {
    // A directory in place of the lock file cannot be opened read-write.
    std::string prog = test_program() + "dir";
    std::string path = zq_lock_path(prog.c_str(), "/x");
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    EXPECT_EQ(zq_lock_acquire(prog.c_str(), "/x"), ZQ_LOCK_ERR_OPEN);
    EXPECT_EQ(errno, EISDIR);
    rmdir(path.c_str());
}

namespace {

volatile sig_atomic_t g_stops = 0, g_reloads = 0;
void count_stop(int) {
    g_stops = g_stops + 1;
}
void count_reload(int) {
    g_reloads = g_reloads + 1;
}

bool has_flag(int sig, int flag) {
    struct sigaction sa;
    sigaction(sig, nullptr, &sa);
    return (sa.sa_flags & flag) != 0;
}

}  // namespace

TEST(Signals, StopReloadAndPipe) {
    pid_t pid = fork();
    if (pid == 0) {
        // In a child: the handlers must not outlive this test.
        zq_signals_install(count_stop, count_reload, ZQ_SIG_IGNORE_PIPE | ZQ_SIG_QUIT);
        raise(SIGINT);
        raise(SIGTERM);
        raise(SIGQUIT);
        raise(SIGUSR1);
        raise(SIGPIPE);  // would end the process unless ignored
        struct sigaction sa;
        sigaction(SIGPIPE, nullptr, &sa);
        bool ok = g_stops == 3 && g_reloads == 1 && sa.sa_handler == SIG_IGN &&
                  !has_flag(SIGTERM, SA_RESTART);
        _exit(ok ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st)) << "killed by signal " << WTERMSIG(st);
    EXPECT_EQ(WEXITSTATUS(st), 0);

    pid = fork();
    if (pid == 0) {
        // Without a reload handler SIGUSR1 keeps its default; SIGPIPE too.
        zq_signals_install(count_stop, nullptr, ZQ_SIG_RESTART);
        struct sigaction usr1, pipe_sa;
        sigaction(SIGUSR1, nullptr, &usr1);
        sigaction(SIGPIPE, nullptr, &pipe_sa);
        bool ok = usr1.sa_handler == SIG_DFL && pipe_sa.sa_handler == SIG_DFL &&
                  has_flag(SIGINT, SA_RESTART) && has_flag(SIGTERM, SA_RESTART);
        _exit(ok ? 0 : 1);
    }
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}

#include "server/eng_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace {

long long mono_ms() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Only async-signal-safe calls between fork and exec: the server has many
// threads.
[[noreturn]] void child(char *const *argv, const char *cwd, int out_fd, int in_fd,
                        long long fsize_max) {
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    int in = in_fd >= 0 ? in_fd : open("/dev/null", O_RDONLY);
    if (in >= 0 && in != 0) {
        dup2(in, 0);
        close(in);
    }
    dup2(out_fd, 1);
    dup2(out_fd, 2);
    if (out_fd > 2) close(out_fd);
    if (syscall(SYS_close_range, 3u, ~0u, 0u) != 0) {
        long max = sysconf(_SC_OPEN_MAX);
        for (long fd = 3; fd < (max > 0 ? max : 1024); fd++)
            close((int)fd);
    }
    if (cwd && chdir(cwd) != 0) _exit(127);
    if (fsize_max > 0) {
        // A tool writing past it gets SIGXFSZ: a download cannot fill the disk.
        rlimit fl{(rlim_t)fsize_max, (rlim_t)fsize_max};
        setrlimit(RLIMIT_FSIZE, &fl);
        signal(SIGXFSZ, SIG_DFL);
    }
    execvp(argv[0], argv);
    _exit(127);
}

}  // namespace

int eng_run(const std::vector<std::string> &argv, const eng_run_opts &opts, eng_run_result *r) {
    r->status = ENG_RUN_NOT_STARTED;
    r->out.clear();
    if (argv.empty()) return r->status;
    std::vector<char *> av;
    for (const std::string &a : argv)
        av.push_back(const_cast<char *>(a.c_str()));
    av.push_back(nullptr);
    int in[2] = {-1, -1};
    if (!opts.input.empty()) {
        if (opts.input.size() > 4096 || pipe2(in, O_CLOEXEC) != 0) return r->status;
        bool full =
            write(in[1], opts.input.data(), opts.input.size()) == (ssize_t)opts.input.size();
        close(in[1]);
        if (!full) {
            close(in[0]);
            return r->status;
        }
    }
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) {
        if (in[0] >= 0) close(in[0]);
        return r->status;
    }
    pid_t pid = fork();
    if (pid < 0) {
        close(p[0]);
        close(p[1]);
        if (in[0] >= 0) close(in[0]);
        return r->status;
    }
    if (pid == 0) child(av.data(), opts.cwd, p[1], in[0], opts.fsize_max);
    setpgid(pid, pid);  // also from here: no window where a kill misses it
    close(p[1]);
    if (in[0] >= 0) close(in[0]);
    long long deadline = mono_ms() + opts.timeout_ms;
    bool timed_out = false;
    char buf[8192];
    for (;;) {
        long long left = deadline - mono_ms();
        if (left <= 0) {
            timed_out = true;
            break;
        }
        pollfd pfd{p[0], POLLIN, 0};
        int n = poll(&pfd, 1, (int)(left > 1000 ? 1000 : left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        ssize_t got = read(p[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;  // every writer closed: the tool is ending
        size_t room = opts.out_max > r->out.size() ? opts.out_max - r->out.size() : 0;
        r->out.append(buf, (size_t)got < room ? (size_t)got : room);
    }
    close(p[0]);
    int st = 0;
    if (timed_out) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
        }
        r->status = ENG_RUN_TIMEOUT;
        return r->status;
    }
    // The output closed; the tool itself may still take a moment to exit.
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) break;
        if (w < 0 && errno != EINTR) return r->status;
        if (mono_ms() >= deadline) {
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            r->status = ENG_RUN_TIMEOUT;
            return r->status;
        }
        usleep(2000);
    }
    if (WIFEXITED(st))
        r->status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r->status = 128 + WTERMSIG(st);
    if (r->status == 127 && r->out.empty()) r->status = ENG_RUN_NOT_STARTED;
    return r->status;
}

std::string eng_run_error(const char *verb, const eng_run_result &r) {
    if (r.status == 0) return "";
    if (r.status == ENG_RUN_TIMEOUT) return std::string(verb) + ": timeout";
    if (r.status == ENG_RUN_NOT_STARTED) return std::string(verb) + ": cannot start";
    return std::string(verb) + ": exit code " + std::to_string(r.status);
}

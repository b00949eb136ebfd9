#include "tests/support/proc.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>

#include "tests/support/files.h"
#include "tests/support/wait.h"

namespace tsup {

namespace {

int status_of(int st) {
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
}

int open_out(const std::string &path) {
    return open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
}

// The environment the child gets, built before fork: a parent with other
// threads (fake peers) must not allocate in the forked child.
std::vector<std::string> child_environment(const ChildOpts &opts) {
    std::vector<std::string> env;
    auto drop = [&](const std::string &name) {
        for (size_t i = 0; i < env.size();)
            if (env[i].compare(0, name.size() + 1, name + "=") == 0)
                env.erase(env.begin() + long(i));
            else
                i++;
    };
    for (char **e = environ; *e; e++)
        env.push_back(*e);
    for (const std::string &n : opts.unset_env)
        drop(n);
    for (const std::string &e : opts.env) {
        drop(e.substr(0, e.find('=')));
        env.push_back(e);
    }
    return env;
}

[[noreturn]] void exec_child(const ChildOpts &opts, pid_t parent, char *const *argv,
                             char *const *envp, int in_fd, int report_fd) {
    if (opts.die_with_parent) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(126);
    }
    int out = open_out(opts.out_path);
    int err = opts.err_to_out ? out : open_out(opts.err_path);
    if (in_fd < 0) in_fd = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in_fd < 0) _exit(126);
    dup2(in_fd, 0);
    dup2(out, 1);
    dup2(err, 2);
    int e = 0;
    if (!opts.dir.empty() && chdir(opts.dir.c_str()) != 0) {
        e = errno;
    } else {
        execvpe(argv[0], argv, envp);
        e = errno;
    }
    (void)!write(report_fd, &e, sizeof e);
    _exit(127);
}

}  // namespace

Child::~Child() {
    child_stop(this);
}

Child::Child(Child &&o) noexcept
    : pid(std::exchange(o.pid, -1)), stdin_fd(std::exchange(o.stdin_fd, -1)), status(o.status) {}

Child &Child::operator=(Child &&o) noexcept {
    if (this != &o) {
        child_stop(this);
        pid = std::exchange(o.pid, -1);
        stdin_fd = std::exchange(o.stdin_fd, -1);
        status = o.status;
    }
    return *this;
}

bool child_start(Child *c, const ChildOpts &opts) {
    child_stop(c);
    c->status = -1;
    if (opts.argv.empty()) return false;
    std::vector<char *> argv;
    for (const std::string &a : opts.argv)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> env = child_environment(opts);
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    envp.push_back(nullptr);
    pid_t parent = getpid();
    // The child reports a failed chdir or exec through this pipe; a
    // successful exec closes it empty.
    int report[2], in[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0) return false;
    if (opts.stdin_pipe && pipe2(in, O_CLOEXEC) != 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) exec_child(opts, parent, argv.data(), envp.data(), in[0], report[1]);
    close(report[1]);
    if (in[0] >= 0) close(in[0]);
    if (pid < 0) {
        close(report[0]);
        if (in[1] >= 0) close(in[1]);
        return false;
    }
    c->pid = pid;
    c->stdin_fd = in[1];
    int err = 0;
    ssize_t n;
    do {
        n = read(report[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(report[0]);
    if (n > 0) {
        child_wait(c, 5000);
        return false;
    }
    return true;
}

bool child_running(Child *c) {
    if (c->pid <= 0) return false;
    int st = 0;
    pid_t r = waitpid(c->pid, &st, WNOHANG);
    if (r == 0) return true;
    if (r == c->pid) c->status = status_of(st);
    c->pid = -1;
    return false;
}

int child_wait(Child *c, int timeout_ms) {
    if (c->pid <= 0) return c->status;
    if (!wait_for([&] { return !child_running(c); }, timeout_ms)) return -1;
    return c->status;
}

int child_stop(Child *c, int grace_ms, int sig) {
    if (c->stdin_fd >= 0) {
        close(c->stdin_fd);
        c->stdin_fd = -1;
    }
    if (c->pid <= 0) return -1;
    if (!child_running(c)) return c->status;
    kill(c->pid, sig);
    if (child_wait(c, grace_ms) >= 0) return c->status;
    kill(c->pid, SIGKILL);
    int st = 0;
    waitpid(c->pid, &st, 0);
    c->pid = -1;
    c->status = status_of(st);
    return c->status;
}

RunResult run(const ChildOpts &opts, int timeout_ms) {
    RunResult r;
    TempDir tmp("run");
    ChildOpts s = opts;
    s.out_path = tmp / "out";
    s.err_path = tmp / "err";
    Child c;
    if (!child_start(&c, s)) return r;
    r.status = child_wait(&c, timeout_ms);
    if (r.status < 0) child_stop(&c, 0, SIGKILL);
    r.out = read_file(s.out_path);
    r.err = read_file(s.err_path);
    return r;
}

char pid_state(pid_t pid) {
    std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t p = s.rfind(')');
    return (p == std::string::npos || p + 2 >= s.size()) ? 0 : s[p + 2];
}

bool pid_alive(pid_t pid) {
    char st = pid_state(pid);
    return st != 0 && st != 'Z';
}

int zombie_children(pid_t parent) {
    int n = 0;
    for (const std::string &e : list_dir("/proc")) {
        if (e[0] < '1' || e[0] > '9') continue;
        std::string s = read_file("/proc/" + e + "/stat");
        size_t p = s.rfind(')');
        if (p == std::string::npos || p + 4 >= s.size()) continue;
        if (s[p + 2] == 'Z' && atoi(s.c_str() + p + 4) == parent) n++;
    }
    return n;
}

}  // namespace tsup

// Stand-in for the stack's programs in supervisor tests. Copied under the
// names zqtrend, zqserver, ...; it records what it was started with in
// ./stub.log of its working directory (the project) and reacts to files:
//   ./stub_<name>.exit     exit with status 3 at once
//   ./stub_<name>.ignterm  ignore SIGTERM
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

static volatile sig_atomic_t g_term = 0, g_usr1 = 0;

static void on_sig(int sig) {
    if (sig == SIGTERM) g_term = 1;
    if (sig == SIGUSR1) g_usr1 = 1;
}

// When this process was forked (ms since boot, 10 ms steps): what the
// supervisor's restart pacing controls, free of exec and start-up latency.
static long long fork_ms() {
    FILE *f = fopen("/proc/self/stat", "r");
    if (!f) return -1;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    char *p = strrchr(buf, ')');
    if (!p) return -1;
    p += 2;
    for (int field = 3; field < 22 && p; field++) {
        p = strchr(p, ' ');
        if (p) p++;
    }
    if (!p) return -1;
    return atoll(p) * 1000 / sysconf(_SC_CLK_TCK);
}

static void note(const std::string &line) {
    int fd = open("./stub.log", O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd < 0) return;
    std::string s = line + "\n";
    (void)!write(fd, s.data(), s.size());
    close(fd);
}

static bool exists(const std::string &p) {
    return access(p.c_str(), F_OK) == 0;
}

int main(int argc, char **argv) {
    const char *slash = strrchr(argv[0], '/');
    std::string name = slash ? slash + 1 : argv[0];
    std::string args;
    for (int i = 1; i < argc; i++)
        args += std::string(i > 1 ? " " : "") + argv[i];
    const char *shm = getenv("LOGIX_SHM_NAME");
    const char *stack = getenv("ZQSTACK_DIR");
    // Handlers first: tests signal a stand-in as soon as its start is noted.
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_sig;
    sigaction(SIGUSR1, &sa, nullptr);
    if (exists("./stub_" + name + ".ignterm")) {
        sa.sa_handler = SIG_IGN;
    }
    sigaction(SIGTERM, &sa, nullptr);

    char line[2048];
    snprintf(line, sizeof line, "start %s %d %lld shm=%s stack=%s args=%s", name.c_str(),
             int(getpid()), fork_ms(), shm ? shm : "", stack ? stack : "", args.c_str());
    note(line);
    if (exists("./stub_" + name + ".exit")) return 3;

    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    sigprocmask(SIG_BLOCK, &block, &old);
    for (;;) {
        if (g_usr1) {
            g_usr1 = 0;
            snprintf(line, sizeof line, "usr1 %s %d", name.c_str(), int(getpid()));
            note(line);
        }
        if (g_term) {
            snprintf(line, sizeof line, "term %s %d", name.c_str(), int(getpid()));
            note(line);
            return 0;
        }
        sigsuspend(&old);
    }
}

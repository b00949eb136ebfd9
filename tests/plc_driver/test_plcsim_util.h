#pragma once
// Starts zqplcsim for a test on its own loopback address (127.x.y.z:44818)
// and in its own temporary directory, and talks to its control file.

#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

struct plcsim_proc {
    pid_t pid = -1;
    std::string addr;
    std::string dir;
    std::string out_path;
    std::string control_path;

    plcsim_proc() = default;
    plcsim_proc(const plcsim_proc &) = delete;
    plcsim_proc &operator=(const plcsim_proc &) = delete;
    // Also on a failed assertion: no temporary directories left behind.
    ~plcsim_proc() { cleanup(); }

    // Starts the simulator with these extra arguments; retries another
    // address when the chosen one is taken. True once it listens.
    bool start(const std::vector<std::string> &args) {
        char tmpl[] = "/tmp/zqplcsim-test-XXXXXX";
        if (dir.empty()) {
            if (mkdtemp(tmpl) == nullptr) return false;
            dir = tmpl;
        }
        out_path = dir + "/sim.out";
        control_path = dir + "/control";
        static std::atomic<unsigned> counter{0};
        std::random_device rd;
        for (int attempt = 0; attempt < 10; attempt++) {
            unsigned r = rd() ^ ((unsigned)getpid() << 8) ^ counter.fetch_add(1);
            addr = "127." + std::to_string(1 + r % 250) + "." + std::to_string((r >> 8) % 256) +
                   "." + std::to_string(2 + (r >> 16) % 250);
            std::vector<std::string> argv_s = {std::string(ZQ_BIN_DIR) + "/zqplcsim", "--addr",
                                               addr, "--control", control_path};
            argv_s.insert(argv_s.end(), args.begin(), args.end());
            pid = fork();
            if (pid == 0) {
                // A test that dies must not leave its simulator behind.
                prctl(PR_SET_PDEATHSIG, SIGTERM);
                if (chdir(dir.c_str()) != 0) _exit(127);
                FILE *f = freopen(out_path.c_str(), "w", stdout);
                if (f == nullptr) _exit(127);
                dup2(fileno(stdout), 2);
                std::vector<char *> av;
                for (auto &s : argv_s)
                    av.push_back(const_cast<char *>(s.c_str()));
                av.push_back(nullptr);
                execv(av[0], av.data());
                _exit(127);
            }
            if (pid < 0) return false;
            if (wait_output("listening on", 10000)) return true;
            stop();
        }
        return false;
    }

    std::string output() const {
        std::ifstream f(out_path);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }

    bool alive() {
        if (pid <= 0) return false;
        int st;
        return waitpid(pid, &st, WNOHANG) == 0;
    }

    bool wait_output(const std::string &needle, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (output().find(needle) != std::string::npos) return true;
            if (!alive()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Writes control commands and waits until the simulator consumed them.
    bool control(const std::string &commands) {
        std::string tmp = control_path + ".tmp";
        {
            std::ofstream f(tmp);
            f << commands << "\n";
        }
        if (rename(tmp.c_str(), control_path.c_str()) != 0) return false;
        kill(pid, SIGUSR1);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        struct stat sb;
        while (std::chrono::steady_clock::now() < end) {
            if (stat(control_path.c_str(), &sb) != 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    void stop() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            int st;
            for (int i = 0; i < 300; i++) {
                if (waitpid(pid, &st, WNOHANG) == pid) {
                    pid = -1;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            pid = -1;
        }
    }

    void cleanup() {
        stop();
        if (!dir.empty()) {
            std::string cmd = "rm -rf '" + dir + "'";
            (void)system(cmd.c_str());
            dir.clear();
        }
    }
};

// Polls a condition until it holds or the deadline passes.
template <class F>
bool wait_until(F cond, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}

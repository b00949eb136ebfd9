#pragma once
// Starts zqplcsim for a test on its own loopback address (127.x.y.z:44818)
// and in its own temporary directory, and talks to its control file.

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

// The plc_driver tests' name for the support library's condition poll.
inline bool wait_until(const std::function<bool()> &cond, int ms) {
    return tsup::wait_for(cond, ms);
}

struct plcsim_proc {
    std::string addr;
    std::string dir;
    std::string out_path;
    std::string control_path;
    tsup::Child child;
    std::optional<tsup::TempDir> tmp;

    plcsim_proc() = default;
    plcsim_proc(const plcsim_proc &) = delete;
    plcsim_proc &operator=(const plcsim_proc &) = delete;
    // Also on a failed assertion: no temporary directories left behind.
    ~plcsim_proc() { cleanup(); }

    // Starts the simulator with these extra arguments; retries another
    // address when the chosen one is taken. True once it listens.
    bool start(const std::vector<std::string> &args) {
        if (!tmp) {
            tmp.emplace("plcsim");
            if (tmp->path.empty()) return false;
            dir = tmp->path;
        }
        out_path = dir + "/sim.out";
        control_path = dir + "/control";
        static std::atomic<unsigned> counter{0};
        std::random_device rd;
        for (int attempt = 0; attempt < 10; attempt++) {
            unsigned r = rd() ^ ((unsigned)getpid() << 8) ^ counter.fetch_add(1);
            addr = "127." + std::to_string(1 + r % 250) + "." + std::to_string((r >> 8) % 256) +
                   "." + std::to_string(2 + (r >> 16) % 250);
            std::vector<std::string> argv = {std::string(ZQ_BIN_DIR) + "/zqplcsim", "--addr", addr,
                                             "--control", control_path};
            argv.insert(argv.end(), args.begin(), args.end());
            if (!tsup::child_start(
                    &child, {.argv = argv, .dir = dir, .out_path = out_path, .err_to_out = true}))
                return false;
            if (wait_output("listening on", 10000)) return true;
            stop();
        }
        return false;
    }

    std::string output() const { return tsup::read_file(out_path); }

    bool alive() { return tsup::child_running(&child); }

    // False as soon as the simulator ended without printing needle.
    bool wait_output(const std::string &needle, int ms) {
        bool found = false;
        tsup::wait_for(
            [&] {
                found = output().find(needle) != std::string::npos;
                return found || !alive();
            },
            ms);
        return found;
    }

    // Writes control commands and waits until the simulator consumed them.
    bool control(const std::string &commands) {
        std::string tmp_path = control_path + ".tmp";
        if (!tsup::write_file(tmp_path, commands + "\n")) return false;
        if (rename(tmp_path.c_str(), control_path.c_str()) != 0) return false;
        kill(child.pid, SIGUSR1);
        return tsup::wait_for([&] { return !tsup::file_exists(control_path); }, 5000);
    }

    void stop() { tsup::child_stop(&child, 3000); }

    void cleanup() {
        stop();
        tmp.reset();
        dir.clear();
    }
};

// A real zqsup on a temporary project for the backup tests: stand-in
// children (shell scripts that sleep), a fake tar first on PATH when a test
// asks for one, and the supervisor's clock shifted through ZQSUP_CLOCK.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "common/local_time.h"
#include "common/shm.h"
#include "tests/support/files.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

#include "sup_test_util.h"

namespace bktest {

using tsup::file_exists;
using tsup::read_file;
using tsup::wait_for;
using tsup::write_file;

inline void write_exe(const std::string &path, const std::string &text) {
    write_file(path, text);
    chmod(path.c_str(), 0755);
}

// Local date and time as the supervisor's clock anchor, ms since 1970.
inline int64_t local_ms(int y, int mo, int d, int h, int mi, int s) {
    return zq_local_epoch(y, mo, d, h, mi, s) * 1000;
}

struct sup_project {
    tsup::TempDir tmp{"zqbk"};
    std::string root = tmp.path, stack = root + "/stack", fakebin = root + "/fakebin";
    std::string project, proj, prefix, shm_name;
    tsup::Child sup;
    std::vector<std::string> env;
    int starts = 0;

    sup_project() {
        static std::atomic<int> seq{0};
        int n = seq++;
        project = "bk" + std::to_string(getpid()) + "x" + std::to_string(n);
        proj = root + "/" + project;
        prefix = "/zqbkt" + std::to_string(getpid()) + "n" + std::to_string(n);
        shm_name = prefix + "_" + project;
        mkdir(stack.c_str(), 0755);
        mkdir(proj.c_str(), 0755);
        mkdir(fakebin.c_str(), 0755);
        write_file(stack + "/zqsup", read_file(std::string(ZQ_BIN_DIR) + "/zqsup"));
        chmod((stack + "/zqsup").c_str(), 0755);
        for (const char *p : {"zqtrend", "zqserver", "zqalarm"})
            write_exe(stack + "/" + p, "#!/bin/sh\nexec sleep 100000\n");
    }
    ~sup_project() {
        stop();
        suptest::unlink_shm_objects(prefix);
        unlink(("/tmp/zqsup_" + project + ".pid").c_str());
    }

    void config(const std::string &body) {
        write_file(proj + "/config.yaml", "logix:\n  shm_name: " + prefix + "\n" + body);
    }
    // tar on PATH is this script (sh), ahead of the system's.
    void fake_tar(const std::string &script) {
        write_exe(fakebin + "/tar", "#!/bin/sh\n" + script);
    }

    // Starts zqsup; its clock reads `fake_ms` now and runs `speed` times
    // as fast (0: the real clock).
    bool start(int64_t fake_ms = 0, double speed = 1.0) {
        std::vector<std::string> e = env;
        const char *path = getenv("PATH");
        e.push_back("PATH=" + fakebin + ":" + (path ? path : "/usr/bin:/bin"));
        if (fake_ms)
            e.push_back("ZQSUP_CLOCK=" + std::to_string(shm_now_ms()) + "," +
                        std::to_string(fake_ms) + "," + std::to_string(speed));
        std::string out = root + "/out" + std::to_string(++starts) + ".txt";
        if (!tsup::child_start(&sup, {.argv = {stack + "/zqsup", proj},
                                      .env = e,
                                      .out_path = out,
                                      .err_to_out = true,
                                      .stdin_pipe = true}))
            return false;
        return wait_out("[zqsup] running.");
    }
    // SIGTERM; its exit status.
    int stop(int grace_ms = 20000) { return sup.pid > 0 ? tsup::child_stop(&sup, grace_ms) : -1; }

    // What the current (last) run printed.
    std::string out() const { return read_file(root + "/out" + std::to_string(starts) + ".txt"); }
    size_t count(const std::string &s) const { return tsup::count_of(out(), s); }
    bool wait_out(const std::string &s, int ms = 20000) {
        return wait_for([&] { return count(s) > 0; }, ms);
    }
    std::string bkdir(const std::string &rel = "backups") const { return proj + "/" + rel; }
    std::vector<std::string> archives(const std::string &rel = "backups") const {
        return tsup::list_dir(bkdir(rel));
    }
    void request() { write_file(proj + "/backup.req", ""); }
};

}  // namespace bktest

#pragma once
// Runs the real zqlogix in a temporary project directory against zqplcsim
// and reads the database it fills.

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/shm.h"
#include "test_plcsim_util.h"

struct driver_proc {
    pid_t pid = -1;
    std::string dir;
    std::string shm_name;
    ShmHandle db;

    driver_proc() {
        char tmpl[] = "/tmp/zq-driver-test-XXXXXX";
        if (mkdtemp(tmpl)) dir = tmpl;
        static int counter = 0;
        shm_name = "/zq_drvt_" + std::to_string(getpid()) + "_" + std::to_string(++counter);
    }
    driver_proc(const driver_proc &) = delete;
    driver_proc &operator=(const driver_proc &) = delete;
    ~driver_proc() {
        stop();
        shm_handle_close(&db);
        shm_unlink(shm_name.c_str());
        if (!dir.empty()) {
            std::string cmd = "rm -rf '" + dir + "'";
            (void)system(cmd.c_str());
        }
    }

    // Writes config.yaml (the text after "logix:\n") and starts the driver;
    // true once the database exists and is mapped.
    bool start(const std::string &logix_section) {
        std::ofstream(dir + "/config.yaml") << "logix:\n  log:\n    logdir_linux: ./logs\n"
                                            << logix_section;
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            setenv("LOGIX_SHM_NAME", shm_name.c_str(), 1);
            FILE *f = freopen("driver.out", "w", stdout);
            if (!f) _exit(127);
            dup2(fileno(stdout), 2);
            std::string bin = std::string(ZQ_BIN_DIR) + "/zqlogix";
            execl(bin.c_str(), bin.c_str(), "-c", "./zqbridge.ini", static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid < 0) return false;
        return wait_until([&] { return shm_handle_open(&db, shm_name.c_str(), true) == 0; }, 10000);
    }

    // Sends SIGTERM; exit status, or -1 when it did not end within ms.
    int stop(int ms = 8000) {
        if (pid <= 0) return -1;
        kill(pid, SIGTERM);
        int st = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            if (waitpid(pid, &st, WNOHANG) == pid) {
                pid = -1;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
        pid = -1;
        return -1;
    }

    std::string log() const {
        std::string all;
        DIR *d = opendir((dir + "/logs").c_str());
        if (!d) return all;
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream f(dir + "/logs/" + e->d_name);
            std::stringstream ss;
            ss << f.rdbuf();
            all += ss.str();
        }
        closedir(d);
        return all;
    }

    size_t log_count(const std::string &needle) const {
        std::string l = log();
        size_t n = 0;
        for (size_t p = l.find(needle); p != std::string::npos; p = l.find(needle, p + 1))
            ++n;
        return n;
    }

    bool wait_log(const std::string &needle, int ms, size_t count = 1) const {
        return wait_until([&] { return log_count(needle) >= count; }, ms);
    }

    const ShmAnalog *an(int i) const { return shm_analog(&db, i); }
    const ShmDiscrete *di(int i) const { return shm_discrete(&db, i); }
    uint8_t an_vt(int i) const { return *shm_an_vtype(&db, i); }
    uint8_t di_vt(int i) const { return *shm_di_vtype(&db, i); }

    bool an_is(int i, double v, int ms = 8000) const {
        return wait_until([&] { return an(i)->quality == 1 && an(i)->value == v; }, ms);
    }
    bool di_is(int i, int v, int ms = 8000) const {
        return wait_until([&] { return di(i)->quality == 1 && di(i)->value == v; }, ms);
    }
    void write_an(int i, double v) { shm_post_write(shm_an_write_slot(&db, i), v); }
    void write_di(int i, double v) { shm_post_write(shm_di_write_slot(&db, i), v); }
    bool an_pending(int i) const { return shm_write_pending(shm_an_write_slot(&db, i)); }

    // True when every listed analog and discrete channel has the quality q.
    bool all_quality(const std::vector<int> &ans, const std::vector<int> &dis, int q) const {
        for (int i : ans)
            if (an(i)->quality != q) return false;
        for (int i : dis)
            if (di(i)->quality != q) return false;
        return true;
    }
};

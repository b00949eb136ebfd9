#pragma once
// Runs the real zqalarm in a project directory against a database created
// by the test.

#include <signal.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "alarm/alarm_journal.h"
#include "alarm_test_util.h"
#include "tests/server/server_fixture.h"

namespace alarmtest {

struct alarm_proc {
    std::string dir;  // project directory (the program's working directory)
    pid_t pid = -1;

    std::string alarm_dir() const { return dir + "/alarm"; }
    std::string active() const { return read_file(alarm_dir() + "/alarms_active.json"); }
    std::string journal(int ymd) const { return read_file(alarm_journal_path(alarm_dir(), ymd)); }

    // env: extra "NAME=value" entries.
    bool start(const std::string &shm, const std::vector<std::string> &env = {}) {
        pid = fork();
        if (pid == 0) {
            if (chdir(dir.c_str()) != 0) _exit(127);
            setenv("LOGIX_SHM_NAME", shm.c_str(), 1);
            for (const std::string &e : env)
                putenv(strdup(e.c_str()));
            int o = open("alarm.out", O_WRONLY | O_CREAT | O_APPEND, 0644);
            dup2(o, 1);
            dup2(o, 2);
            execl(ZQ_BIN_DIR "/zqalarm", "zqalarm", "-c", "./config.yaml", (char *)nullptr);
            _exit(127);
        }
        // Started once the active file (written at start) exists.
        return srvtest::wait_for([&] { return file_exists(alarm_dir() + "/alarms_active.json"); });
    }
    // Exit status, or -1 when it did not exit within ms.
    int wait_exit(int ms = 10000) {
        int st = 0;
        bool gone = srvtest::wait_for([&] { return waitpid(pid, &st, WNOHANG) == pid; }, ms);
        pid = -1;
        return gone && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    int stop() {
        if (pid <= 0) return -1;
        kill(pid, SIGTERM);
        pid_t p = pid;
        int rc = wait_exit();
        if (rc < 0) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        return rc;
    }
    std::string log() const {
        std::string all;
        if (DIR *d = opendir((dir + "/logs").c_str())) {
            while (dirent *e = readdir(d))
                if (strncmp(e->d_name, "zqalarm", 7) == 0)
                    all += read_file(dir + "/logs/" + e->d_name);
            closedir(d);
        }
        return all;
    }
    ~alarm_proc() { stop(); }
};

// Today's local YYYYMMDD as zqalarm sees it.
inline int today_ymd() {
    return alarm_local_ymd(shm_now_ms());
}

}  // namespace alarmtest

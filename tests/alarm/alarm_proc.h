#pragma once
// Runs the real zqalarm in a project directory against a database created
// by the test.

#include <string>
#include <vector>

#include "alarm/alarm_journal.h"
#include "alarm_test_util.h"
#include "tests/server/server_fixture.h"
#include "tests/support/tsup.h"

namespace alarmtest {

struct alarm_proc {
    std::string dir;  // project directory (the program's working directory)
    tsup::Child proc;

    std::string alarm_dir() const { return dir + "/alarm"; }
    std::string active() const { return read_file(alarm_dir() + "/alarms_active.json"); }
    std::string journal(int ymd) const { return read_file(alarm_journal_path(alarm_dir(), ymd)); }

    // env: extra "NAME=value" entries. What it prints goes to alarm.out.
    bool start(const std::string &shm, const std::vector<std::string> &env = {}) {
        tsup::ChildOpts o{.argv = {ZQ_BIN_DIR "/zqalarm", "-c", "./config.yaml"},
                          .env = {"LOGIX_SHM_NAME=" + shm},
                          .dir = dir,
                          .out_path = dir + "/alarm.out",
                          .err_to_out = true};
        o.env.insert(o.env.end(), env.begin(), env.end());
        if (!tsup::child_start(&proc, o)) return false;
        // Started once the active file (written at start) exists.
        return tsup::wait_for([&] { return file_exists(alarm_dir() + "/alarms_active.json"); });
    }
    // SIGTERM, and SIGKILL when it has not ended 10 s later; its exit status
    // (128 + the signal that ended it), -1 when it was not started.
    int stop() { return tsup::child_stop(&proc, 10000); }
    std::string log() const { return tsup::read_dir_files(dir + "/logs", "zqalarm"); }
};

// Today's local YYYYMMDD as zqalarm sees it.
inline int today_ymd() {
    return alarm_local_ymd(shm_now_ms());
}

}  // namespace alarmtest

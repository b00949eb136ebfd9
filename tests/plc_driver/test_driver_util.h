#pragma once
// Runs the real zqlogix in a temporary project directory against zqplcsim
// and reads the database it fills.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/shm.h"
#include "test_plcsim_util.h"
#include "tests/support/files.h"
#include "tests/support/proc.h"

// Every item form the driver reads (for a group's `items: |` block), and the
// simulator tags that serve them.
inline const char kItemForms[] =
    "        A1,v,Temp\n"
    "        A2,v,Count\n"
    "        A3,v,Levels[3]\n"
    "        D1,c,Flags[5]\n"
    "        D2,c,Status.3\n"
    "        A4,v,Status.4-6\n"
    "        A5,v,Main.Buf[2]\n"
    "        A6,v,Main.Buf[15]\n"
    "        A7,v,Temp\n"
    "        A8,v,Nope\n"
    "        D3,c,Flags[40]\n"
    "        A9,v,Big\n"
    "        A10,v,Dbl[150]\n"
    "        A11,v,Dbl[2]\n"
    "        D4,c,Small\n"
    "        A12,v,Status.0-40\n"
    "        A13,v,Main.Wide[0]\n"
    "        A14,v,Main.Wide[800]\n";

inline const std::vector<std::string> kItemFormTags = {"--tag", "Temp:REAL[1]=21.5",
                                                       "--tag", "Count:DINT[1]=-42",
                                                       "--tag", "Levels:REAL[10]=1.5",
                                                       "--tag", "Flags:BOOL[64]",
                                                       "--tag", "Status:DINT[1]=88",
                                                       "--tag", "Main.Buf:INT[20]=7",
                                                       "--tag", "Big:LINT[1]=-1234567890123",
                                                       "--tag", "Dbl:LREAL[200]=0.25",
                                                       "--tag", "Small:SINT[1]=3",
                                                       "--tag", "Main.Wide:DINT[1000]=4"};

struct driver_proc {
    tsup::TempDir tmp{"driver"};
    std::string dir = tmp.path;
    std::string shm_name = "/" + tsup::unique_name("zq_drvt");
    tsup::Child child;
    ShmHandle db;

    driver_proc() = default;
    driver_proc(const driver_proc &) = delete;
    driver_proc &operator=(const driver_proc &) = delete;
    ~driver_proc() {
        stop();
        shm_handle_close(&db);
        shm_unlink(shm_name.c_str());
    }

    // Starts zqlogix with these arguments in the project directory, on this
    // test's database; its output goes to driver.out.
    bool launch(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {std::string(ZQ_BIN_DIR) + "/zqlogix"};
        argv.insert(argv.end(), args.begin(), args.end());
        return tsup::child_start(&child, {.argv = argv,
                                          .env = {"LOGIX_SHM_NAME=" + shm_name},
                                          .dir = dir,
                                          .out_path = dir + "/driver.out",
                                          .err_to_out = true});
    }

    // Writes config.yaml (the text after "logix:\n") and starts the driver;
    // true once the database exists and is mapped.
    bool start(const std::string &logix_section) {
        tsup::write_file(dir + "/config.yaml",
                         "logix:\n  log:\n    logdir_linux: ./logs\n" + logix_section);
        if (!launch({"-c", "./zqbridge.ini"})) return false;
        return wait_until([&] { return shm_handle_open(&db, shm_name.c_str(), true) == 0; }, 10000);
    }

    // Sends SIGTERM; the exit status, 128 + signal when it had to be killed
    // after ms, -1 when it was not running.
    int stop(int ms = 8000) { return tsup::child_stop(&child, ms); }

    std::string log() const { return tsup::read_dir_files(dir + "/logs"); }

    size_t log_count(const std::string &needle) const { return tsup::count_of(log(), needle); }

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

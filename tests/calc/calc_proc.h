#pragma once
// Runs the real zqcalc in a temporary project against a database created by
// the test.

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cmath>
#include <string>
#include <vector>

#include "common/json.h"
#include "common/shm.h"
#include "tests/support/tsup.h"

namespace calctest {

struct test_db {
    tsup::ShmName own{"zqcalc_test"};
    ShmHandle h;
    bool ok = false;
    explicit test_db(uint32_t an = 64, uint32_t di = 32) {
        ok = shm_open_rw(own.name.c_str(), an, di, 1, &h) == 0;
    }
    ~test_db() {
        shm_close(&h);
        shm_unlink(own.name.c_str());
    }
    void set_a(int n, double v, uint8_t q = 1) { shm_update_analog(&h, n, q, shm_now_ms(), v); }
    double a(int n) { return shm_analog(&h, n)->value; }
    bool a_good(int n) { return shm_analog(&h, n)->quality == 1; }
    ShmWriteSlot *aw(int n) { return shm_an_write_slot(&h, n); }
};

struct project {
    tsup::TempDir tmp{"calc"};
    tsup::Child proc;
    std::string dir;

    project(const std::string &calc_yaml, const std::string &program,
            const std::string &extra = "") {
        dir = tmp.path;
        mkdir((dir + "/calc").c_str(), 0755);
        tsup::write_file(dir + "/config.yaml", "calc:\n  dir: ./calc\n" + calc_yaml + extra);
        if (!program.empty()) tsup::write_file(dir + "/calc/calc.st", program);
    }
    std::string calc_dir() const { return dir + "/calc"; }
    std::string log() const { return tsup::read_dir_files(dir + "/logs", "zqcalc"); }
    std::string state() const { return tsup::read_file(calc_dir() + "/calc_state.json"); }
    bool log_has(const std::string &s) const { return log().find(s) != std::string::npos; }

    // env: extra "NAME=value" entries. Started once it has mapped the database.
    bool start(const test_db &db, const std::vector<std::string> &env = {}) {
        return start(db.own.name, env);
    }
    bool start(const std::string &shm, const std::vector<std::string> &env = {}) {
        tsup::ChildOpts o{.argv = {ZQ_BIN_DIR "/zqcalc", "-c", "./config.yaml"},
                          .env = {"LOGIX_SHM_NAME=" + shm},
                          .dir = dir,
                          .out_path = dir + "/calc.out",
                          .err_to_out = true};
        o.env.insert(o.env.end(), env.begin(), env.end());
        size_t opened = tsup::count_of(log(), "SHM відкрито");
        if (!tsup::child_start(&proc, o)) return false;
        return tsup::wait_for([&] { return tsup::count_of(log(), "SHM відкрито") > opened; });
    }
    int stop() { return tsup::child_stop(&proc, 10000); }
    void signal(int sig) { kill(proc.pid, sig); }
};

// Value of a plain scalar variable in vars.json; NaN when absent or bad.
inline double var_value(const project &p, const std::string &name) {
    json_ptr doc(json_parse(tsup::read_file(p.calc_dir() + "/vars.json").c_str()));
    const json_node *vars = json_get(doc.get(), "vars");
    for (const json_node *v = vars ? vars->child : nullptr; v; v = v->next)
        if (name == json_gets(v, "name", "")) {
            const json_node *x = json_get(v, "v");
            return x && x->type == JSON_NUMBER ? x->number : NAN;
        }
    return NAN;
}

}  // namespace calctest

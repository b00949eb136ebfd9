#pragma once
// The real zqcalc in a zqserver test's project directory, and the values it
// publishes.

#include <sys/mman.h>

#include <cmath>
#include <string>

#include "common/json.h"
#include "common/shm.h"
#include "tests/support/tsup.h"

namespace engcalc {

// Value of a variable in vars.json: a plain scalar, or cell idx of an array.
double var_in(const std::string &vars, const std::string &name, int idx = -1) {
    json_ptr doc(json_parse(vars.c_str()));
    const json_node *list = json_get(doc.get(), "vars");
    for (const json_node *v = list ? list->child : nullptr; v; v = v->next)
        if (name == json_gets(v, "name", "")) {
            const json_node *x = json_get(v, "v");
            if (idx >= 0) x = json_at(x, (size_t)idx);
            return x && x->type == JSON_NUMBER ? x->number : NAN;
        }
    return NAN;
}

// zqcalc in the server's project directory, on a database of its own.
struct engine {
    tsup::ShmName shm{"zqcalc_eng"};
    ShmHandle h{};
    bool db_ok = false;
    tsup::Child proc;
    std::string dir;
    explicit engine(const std::string &d) : dir(d) {
        db_ok = shm_open_rw(shm.name.c_str(), 64, 32, 1, &h) == 0;
    }
    ~engine() {
        if (proc.pid > 0) tsup::child_stop(&proc, 10000);
        shm_close(&h);
        shm_unlink(shm.name.c_str());
    }
    std::string log() const { return tsup::read_dir_files(dir + "/logs", "zqcalc"); }
    bool start() {
        tsup::ChildOpts o{.argv = {ZQ_BIN_DIR "/zqcalc", "-c", "./config.yaml"},
                          .env = {"LOGIX_SHM_NAME=" + shm.name},
                          .dir = dir,
                          .out_path = dir + "/calc.out",
                          .err_to_out = true};
        if (!tsup::child_start(&proc, o)) return false;
        return tsup::wait_for([&] { return log().find("SHM відкрито") != std::string::npos; });
    }
    std::string vars() const { return tsup::read_file(dir + "/calc/vars.json"); }
};

}  // namespace engcalc

// The whole stack as an operator meets it: the demo project run by the real
// zqsup (driver, trend recorder, HTTP server) against the controller
// simulator, looked at through HTTP, trend files and the database.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../plc_driver/test_plcsim_util.h"
#include "common/json.h"
#include "common/shm.h"
#include "tests/support/files.h"
#include "tests/support/http.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

#include "sup_test_util.h"

namespace {

using tsup::file_exists;
using tsup::read_file;
using tsup::wait_for;
using tsup::write_file;

// Replaces the only occurrence of `from`; false when it is missing, so a
// changed demo project fails here instead of silently using its defaults.
bool replace_once(std::string &text, const std::string &from, const std::string &to) {
    size_t p = text.find(from);
    if (p == std::string::npos || text.find(from, p + 1) != std::string::npos) return false;
    text.replace(p, from.size(), to);
    return true;
}

// One request on its own connection, as the operator's browser sends it.
tsup::HttpResponse http(int port, const std::string &method, const std::string &target,
                        const std::string &body = "") {
    tsup::HttpHeaders headers;
    if (method == "POST") headers.push_back({"Content-Type", "application/json"});
    return tsup::http_request(port, method, target, body, headers, 5000);
}

// A live process still running one of our programs (pids may be reused).
bool our_program_alive(pid_t pid) {
    return tsup::pid_alive(pid) &&
           read_file("/proc/" + std::to_string(pid) + "/cmdline").rfind(ZQ_BIN_DIR, 0) == 0;
}

class Stack : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"stack"};
    std::string root = tmp.path, proj, project, prefix, shm_name, pidfile;
    int port = 0;
    plcsim_proc sim;
    tsup::Child child;
    // The running zqsup (-1 once reaped) and how it ended.
    pid_t &sup = child.pid;
    int &sup_status = child.status;

    void SetUp() override {
        ASSERT_FALSE(root.empty());
        project = "stack" + std::to_string(getpid());
        proj = root + "/" + project;
        prefix = "/zqe2e" + std::to_string(getpid());
        shm_name = prefix + "_" + project;
        pidfile = "/tmp/zqsup_" + project + ".pid";
        port = tsup::free_port();
    }

    void TearDown() override {
        tsup::child_stop(&child, 15000);
        for (auto &c : children()) {
            if (our_program_alive(c.second)) {
                ADD_FAILURE() << c.first << " pid " << c.second << " outlived zqsup";
                kill(c.second, SIGKILL);
            }
        }
        sim.cleanup();
        suptest::unlink_shm_objects(prefix);
        unlink(pidfile.c_str());
        // The recorder's single-instance lock file, named after the database.
        unlink(("/tmp/zqtrend_" + shm_name.substr(1) + ".lock").c_str());
        if (HasFailure()) {
            std::cerr << "--- zqsup stdout\n" << out() << "--- zqsup stderr\n" << err();
            std::cerr << "--- zqplcsim\n" << sim.output();
        }
        EXPECT_TRUE(tsup::remove_tree(root));
    }

    void copy_demo() {
        ASSERT_EQ(
            tsup::run({.argv = {"cp", "-r", std::string(ZQ_SOURCE_DIR) + "/examples/demo", proj}})
                .status,
            0);
    }

    // Points the project at this test's simulator, port and database.
    void configure() {
        std::string cfg = read_file(proj + "/config.yaml");
        ASSERT_TRUE(replace_once(cfg, "ipaddr: 127.0.0.1", "ipaddr: " + sim.addr));
        ASSERT_TRUE(replace_once(cfg, "  port: 8080", "  port: " + std::to_string(port)));
        ASSERT_TRUE(replace_once(cfg, "shm_name: /logix_drv", "shm_name: " + prefix));
        ASSERT_TRUE(replace_once(cfg, "takt: 500", "takt: 100"));
        write_file(proj + "/config.yaml", cfg);
    }

    // A dying test takes the stack down in order (the child dies with its
    // parent by default).
    void start_sup() {
        ASSERT_TRUE(tsup::child_start(&child, {.argv = {std::string(ZQ_BIN_DIR) + "/zqsup", proj},
                                               .unset_env = {"LOGIX_SHM_NAME", "ZQSTACK_DIR"},
                                               .out_path = root + "/stdout.txt",
                                               .err_path = root + "/stderr.txt"}));
    }

    bool wait_sup_exit(double seconds) {
        return tsup::child_wait(&child, int(seconds * 1000)) >= 0;
    }

    std::string out() { return read_file(root + "/stdout.txt"); }
    std::string err() { return read_file(root + "/stderr.txt"); }

    // Every child zqsup reported starting: "[zqsup] started <role> pid=<n>".
    std::vector<std::pair<std::string, pid_t>> children() {
        std::vector<std::pair<std::string, pid_t>> v;
        std::istringstream in(out());
        std::string line;
        while (std::getline(in, line)) {
            char role[64];
            int pid;
            if (sscanf(line.c_str(), "[zqsup] started %63s pid=%d", role, &pid) == 2)
                v.emplace_back(role, (pid_t)pid);
        }
        return v;
    }

    // Concatenation of the project's log files whose names start with `stem`.
    std::string logs(const std::string &stem) { return tsup::read_dir_files(proj + "/logs", stem); }

    json_ptr get_json(const std::string &target) {
        tsup::HttpResponse a = http(port, "GET", target);
        return json_ptr(a.status == 200 ? json_parse(a.body.c_str()) : nullptr);
    }

    // /api/poll "values" for these tags; null when the request failed.
    json_ptr poll_values(const std::string &tags) {
        tsup::HttpResponse a =
            http(port, "POST", "/api/poll", "{\"tags\":[" + tags + "],\"pages\":[]}");
        return json_ptr(a.status == 200 ? json_parse(a.body.c_str()) : nullptr);
    }

    static double value_of(const json_node *poll, const char *tag) {
        const json_node *v = json_get(json_get(poll, "values"), tag);
        return v && v->type == JSON_NUMBER ? v->number : NAN;
    }

    // The database as bytes, and one analog record out of it.
    bool db_analog(long n, ShmAnalog *rec, ShmWriteSlot *slot) {
        std::string b = read_file("/dev/shm" + shm_name);
        ShmHeader h;
        if (b.size() < sizeof h) return false;
        memcpy(&h, b.data(), sizeof h);
        if (h.magic != SHM_MAGIC || (uint32_t)n >= h.an_count) return false;
        size_t ra = h.an_off + n * sizeof(ShmAnalog), rw = h.an_wr_off + n * sizeof(ShmWriteSlot);
        if (b.size() < ra + sizeof *rec || b.size() < rw + sizeof *slot) return false;
        memcpy(rec, b.data() + ra, sizeof *rec);
        memcpy(slot, b.data() + rw, sizeof *slot);
        return true;
    }
};

// Local date as the trend recorder names its day files (YYMMDD00).
std::string trend_day_stem() {
    time_t t = time(nullptr);
    tm lt;
    localtime_r(&t, &lt);
    char b[40];
    snprintf(b, sizeof b, "%02d%02d%02d00", lt.tm_year % 100, lt.tm_mon + 1, lt.tm_mday);
    return b;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> v;
    std::string cur;
    std::istringstream in(s);
    while (std::getline(in, cur, sep))
        v.push_back(cur);
    return v;
}

TEST_F(Stack, DemoProjectServesWritesRecordsAndStopsCleanly) {
    copy_demo();
    if (HasFatalFailure()) return;
    ASSERT_TRUE(sim.start({"--tags", proj + "/plcsim-tags.yaml"})) << sim.output();
    configure();
    if (HasFatalFailure()) return;
    start_sup();
    ASSERT_TRUE(
        wait_for([&] { return out().find("[zqsup] running.") != std::string::npos; }, 10000))
        << out() << err();
    EXPECT_NE(out().find("[zqsup] SHM " + shm_name), std::string::npos);
    ASSERT_TRUE(file_exists("/dev/shm" + shm_name));

    // --- the controller is online and its values arrive
    ASSERT_TRUE(wait_for(
        [&] {
            json_ptr st = get_json("/api/status");
            const json_node *g = json_at(json_get(st.get(), "groups"), 0);
            return g && json_getn(g, "connected", 0) == 1 && json_getn(g, "poll_count", 0) >= 2;
        },
        10000))
        << http(port, "GET", "/api/status").body;
    {
        json_ptr plc = get_json("/api/plc");
        const json_node *b = json_at(json_get(plc.get(), "plc"), 0);
        ASSERT_NE(b, nullptr);
        EXPECT_STREQ(json_gets(b, "ip", ""), sim.addr.c_str());
        EXPECT_EQ(json_getn(b, "connected", 0), 1);
        EXPECT_STREQ(json_gets(b, "mode", ""), "run");
        EXPECT_STREQ(json_gets(b, "name", ""), "ZQSIM");
    }
    json_ptr first;
    ASSERT_TRUE(wait_for(
        [&] {
            first = poll_values("\"A1\",\"A3\",\"D1\",\"A5\"");
            return !std::isnan(value_of(first.get(), "A1")) &&
                   !std::isnan(value_of(first.get(), "A3")) &&
                   !std::isnan(value_of(first.get(), "A5"));
        },
        5000));
    EXPECT_EQ(json_getn(first.get(), "_c", 0), 1);
    double a1 = value_of(first.get(), "A1"), a3 = value_of(first.get(), "A3");
    EXPECT_GE(a1, 72 - 1e-3);
    EXPECT_LE(a1, 88 + 1e-3);
    // Feed_Flow 8000..20000 through code 0..27648 → 0..50 m³/h.
    EXPECT_GE(a3, 8000 * 50.0 / 27648 - 1e-6);
    EXPECT_LE(a3, 20000 * 50.0 / 27648 + 1e-6);
    EXPECT_EQ(json_getn(json_get(first.get(), "values"), "D1", -1), 1);
    EXPECT_EQ(value_of(first.get(), "A5"), 80);
    {
        // The same record as controller code and as physical value.
        json_ptr live = get_json("/api/live");
        const json_node *rec = json_at(json_get(live.get(), "an"), 3);
        ASSERT_NE(rec, nullptr) << http(port, "GET", "/api/live").body;
        double shown = json_num_of(json_at(rec, 0), NAN), raw = json_num_of(json_at(rec, 3), NAN);
        EXPECT_EQ(json_num_of(json_at(rec, 1), 0), 1);
        EXPECT_GE(raw, 8000);
        EXPECT_LE(raw, 20000);
        EXPECT_EQ(raw, std::floor(raw)) << "DINT arrives as a whole number";
        EXPECT_NEAR(shown, raw * 50.0 / 27648, 1e-9);
    }
    {
        tsup::HttpResponse page = http(port, "GET", "/screen1.html");
        EXPECT_EQ(page.status, 200);
        EXPECT_NE(page.body.find("<html"), std::string::npos);
    }

    // --- an operator changes the temperature setpoint
    {
        tsup::HttpResponse w = http(port, "POST", "/api/write", "{\"tag\":\"A5\",\"value\":91.25}");
        EXPECT_EQ(w.status, 200) << w.body;
        EXPECT_NE(w.body.find("\"ok\":true"), std::string::npos) << w.body;
    }
    ASSERT_TRUE(wait_for(
        [&] {
            json_ptr p = poll_values("\"A5\"");
            return value_of(p.get(), "A5") == 91.25;
        },
        5000))
        << logs("Logix5000");
    {
        // It holds over further polls, so the controller has it, not just
        // the database.
        json_ptr st = get_json("/api/status");
        double polls = json_getn(json_at(json_get(st.get(), "groups"), 0), "poll_count", 0);
        ASSERT_TRUE(wait_for(
            [&] {
                json_ptr s = get_json("/api/status");
                return json_getn(json_at(json_get(s.get(), "groups"), 0), "poll_count", 0) >=
                       polls + 3;
            },
            5000));
        json_ptr p = poll_values("\"A5\"");
        EXPECT_EQ(value_of(p.get(), "A5"), 91.25);
        ShmAnalog rec;
        ShmWriteSlot slot;
        ASSERT_TRUE(db_analog(5, &rec, &slot));
        EXPECT_EQ(rec.value, 91.25);
        EXPECT_EQ(rec.quality, 1);
        EXPECT_EQ(slot.pending, 0u) << "write slot not consumed";
    }
    EXPECT_NE(logs("Logix5000").find("Запис A5 = 91.25"), std::string::npos) << logs("Logix5000");
    {
        std::string ctl = logs("control");
        EXPECT_NE(ctl.find("\"tag\":\"A5\""), std::string::npos) << ctl;
        EXPECT_NE(ctl.find("\"from\":80,\"to\":91.25"), std::string::npos) << ctl;
    }

    // --- the trend recorder keeps seconds, the new setpoint included
    std::string rows;
    size_t a5_col = 0;
    bool recorded = wait_for(
        [&] {
            std::string file = proj + "/Trends/" + trend_day_stem() + ".rps";
            if (!file_exists(file)) return false;
            rows = tsup::run({.argv = {std::string(ZQ_BIN_DIR) + "/zqtrend-dump", "--csv", file},
                              .err_to_out = true})
                       .out;
            std::vector<std::string> lines = split(rows, '\n');
            if (lines.size() < 2) return false;
            std::vector<std::string> head = split(lines[0], ',');
            for (a5_col = 0; a5_col < head.size() && head[a5_col] != "A5"; a5_col++) {
            }
            for (size_t i = 1; i < lines.size(); i++) {
                std::vector<std::string> cells = split(lines[i], ',');
                if (a5_col < cells.size() && cells[a5_col] == "91.25") return true;
            }
            return false;
        },
        6000);
    EXPECT_TRUE(recorded) << rows;
    EXPECT_EQ(rows.rfind("time,A1,A2,A3,A4,A5,A6,A10,A11,A12,A13,A14,A15,A16,D1,D2,D3,D4\n", 0), 0u)
        << rows;

    // --- the operator stops the stack
    auto kids = children();
    std::map<std::string, pid_t> role;
    for (auto &c : kids)
        role[c.first] = c.second;
    for (const char *r : {"driver", "trend", "scada"}) {
        ASSERT_TRUE(role.count(r)) << r << "\n" << out();
        EXPECT_TRUE(our_program_alive(role[r])) << r << " died while running\n" << out();
    }
    // zqalarm is not built yet: it fails and is retried, and each failed
    // start is reaped.
    EXPECT_NE(out().find("zqalarm pid="), std::string::npos);
    EXPECT_TRUE(wait_for([&] { return tsup::zombie_children(sup) == 0; }, 3000));

    kill(sup, SIGTERM);
    ASSERT_TRUE(wait_sup_exit(12)) << out();
    EXPECT_EQ(sup_status, 0);
    std::string o = out();
    EXPECT_NE(o.find("[zqsup] SHM removed: " + shm_name), std::string::npos) << o;
    EXPECT_NE(o.find("[zqsup] exited."), std::string::npos) << o;
    for (const char *r : {"scada", "trend", "driver"})
        EXPECT_NE(o.find(std::string("[zqsup] ") + r + " exited"), std::string::npos) << r;
    EXPECT_FALSE(file_exists("/dev/shm" + shm_name));
    EXPECT_FALSE(file_exists(pidfile));
    for (auto &c : kids)
        EXPECT_FALSE(our_program_alive(c.second)) << c.first << " pid " << c.second;
    EXPECT_EQ(http(port, "GET", "/api/status").status, 0) << "server still answers";
}

}  // namespace

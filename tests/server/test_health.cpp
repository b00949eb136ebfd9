// /api/health and /metrics on a running stack: the demo project under the
// real zqsup against the controller simulator. The metrics are read with a
// strict parser of the Prometheus text format; the health answer follows
// the driver as it is killed, cannot come back, and then does.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "../plc_driver/test_plcsim_util.h"
#include "../supervisor/sup_test_util.h"
#include "common/json.h"
#include "tests/support/files.h"
#include "tests/support/http.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"

namespace {

using tsup::read_file;
using tsup::wait_for;
using tsup::write_file;

// ---- a strict reader of the Prometheus text format (version 0.0.4) -------

struct prom_doc {
    std::map<std::string, std::string> type;  // family -> counter/gauge/...
    std::map<std::string, double> series;     // name{labels} -> value
    std::string error;                        // first violation, "" when none
};

bool name_ok(const std::string &n, bool colon) {
    if (n.empty() || isdigit((unsigned char)n[0])) return false;
    for (char c : n)
        if (!(isalnum((unsigned char)c) || c == '_' || (colon && c == ':'))) return false;
    return true;
}

bool number_ok(const std::string &v, double *out) {
    if (v == "NaN") return *out = NAN, true;
    if (v == "+Inf" || v == "-Inf") return *out = v[0] == '-' ? -INFINITY : INFINITY, true;
    char *end = nullptr;
    *out = strtod(v.c_str(), &end);
    return !v.empty() && end && *end == '\0' && v.find_first_of("xXpP") == std::string::npos;
}

prom_doc prom_parse(const std::string &text) {
    prom_doc d;
    auto fail = [&](const std::string &why, const std::string &line) {
        if (d.error.empty()) d.error = why + ": " + line;
    };
    if (text.empty() || text.back() != '\n') fail("no final newline", "");
    std::set<std::string> helped, closed, sampled;
    std::string current;  // family whose lines are running
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line[0] == '#') {
            std::istringstream ls(line);
            std::string hash, kw, name, rest;
            ls >> hash >> kw >> name;
            std::getline(ls, rest);
            if (kw != "HELP" && kw != "TYPE") continue;  // a plain comment
            if (!name_ok(name, true)) fail("bad family name", line);
            if (kw == "HELP" && !helped.insert(name).second) fail("second HELP", line);
            if (kw == "TYPE") {
                std::string t = rest.empty() ? "" : rest.substr(1);
                if (t != "counter" && t != "gauge" && t != "histogram" && t != "summary" &&
                    t != "untyped")
                    fail("bad type", line);
                if (d.type.count(name)) fail("second TYPE", line);
                if (sampled.count(name)) fail("TYPE after samples", line);
                d.type[name] = t;
            }
            if (name != current) {
                if (!current.empty()) closed.insert(current);
                if (closed.count(name)) fail("family split", line);
                current = name;
            }
            continue;
        }
        size_t i = 0;
        while (i < line.size() && line[i] != '{' && line[i] != ' ')
            i++;
        std::string name = line.substr(0, i), key = name;
        if (!name_ok(name, true)) fail("bad metric name", line);
        if (i < line.size() && line[i] == '{') {
            i++;
            key += "{";
            bool first = true;
            while (i < line.size() && line[i] != '}') {
                if (!first) {
                    if (line[i] != ',') return fail("label separator", line), d;
                    i++;
                }
                size_t eq = line.find('=', i);
                if (eq == std::string::npos) return fail("label without =", line), d;
                std::string ln = line.substr(i, eq - i);
                if (!name_ok(ln, false)) fail("bad label name", line);
                i = eq + 1;
                if (i >= line.size() || line[i] != '"') return fail("unquoted label", line), d;
                i++;
                std::string val;
                while (i < line.size() && line[i] != '"') {
                    if (line[i] == '\\') {
                        if (i + 1 >= line.size() || !strchr("\\\"n", line[i + 1]))
                            return fail("bad escape", line), d;
                        i++;
                    }
                    val += line[i++];
                }
                if (i >= line.size()) return fail("open label value", line), d;
                i++;
                key += (first ? "" : ",") + ln + "=\"" + val + "\"";
                first = false;
            }
            if (i >= line.size()) return fail("open label set", line), d;
            i++;
            key += "}";
        }
        if (i >= line.size() || line[i] != ' ') return fail("no value", line), d;
        std::istringstream vs(line.substr(i + 1));
        std::string v, ts, extra;
        vs >> v >> ts >> extra;
        double num;
        if (!number_ok(v, &num)) fail("bad value", line);
        if (!extra.empty()) fail("trailing text", line);
        if (name != current) {
            if (!current.empty()) closed.insert(current);
            if (closed.count(name)) fail("family split", line);
            current = name;
        }
        if (d.type[name] == "counter" &&
            (num < 0 || name.size() < 6 || name.compare(name.size() - 6, 6, "_total") != 0))
            fail("counter not a non-negative *_total", line);
        sampled.insert(name);
        if (!d.series.emplace(key, num).second) fail("duplicate series", line);
    }
    return d;
}

// ---- the stack -----------------------------------------------------------

bool replace_once(std::string &text, const std::string &from, const std::string &to) {
    size_t p = text.find(from);
    if (p == std::string::npos || text.find(from, p + 1) != std::string::npos) return false;
    text.replace(p, from.size(), to);
    return true;
}

class Health : public ::testing::Test {
  protected:
    tsup::TempDir tmp{"health"};
    std::string root = tmp.path, stack, proj, prefix;
    int port = 0;
    plcsim_proc sim;
    tsup::Child sup;

    void SetUp() override {
        ASSERT_FALSE(root.empty());
        stack = root + "/stack";
        std::string project = "health" + std::to_string(getpid());
        proj = root + "/" + project;
        prefix = "/zqhealth" + std::to_string(getpid());
        port = tsup::free_port();
        // A stack folder of its own, so the driver's program can be taken
        // away: zqsup copied (it finds its children beside itself), the
        // rest linked.
        mkdir(stack.c_str(), 0755);
        write_file(stack + "/zqsup", read_file(std::string(ZQ_BIN_DIR) + "/zqsup"));
        chmod((stack + "/zqsup").c_str(), 0755);
        for (const char *p : {"zqlogix", "zqtrend", "zqserver", "zqalarm", "zqcalc", "www-sys"})
            ASSERT_EQ(
                symlink((std::string(ZQ_BIN_DIR) + "/" + p).c_str(), (stack + "/" + p).c_str()), 0);
        ASSERT_EQ(
            tsup::run({.argv = {"cp", "-r", std::string(ZQ_SOURCE_DIR) + "/examples/demo", proj}})
                .status,
            0);
        ASSERT_TRUE(sim.start({"--tags", proj + "/plcsim-tags.yaml"})) << sim.output();
        std::string cfg = read_file(proj + "/config.yaml");
        ASSERT_TRUE(replace_once(cfg, "ipaddr: 127.0.0.1", "ipaddr: " + sim.addr));
        ASSERT_TRUE(replace_once(cfg, "  port: 8080", "  port: " + std::to_string(port)));
        ASSERT_TRUE(replace_once(cfg, "shm_name: /logix_drv", "shm_name: " + prefix));
        write_file(proj + "/config.yaml", cfg);
        ASSERT_TRUE(tsup::child_start(&sup, {.argv = {stack + "/zqsup", proj},
                                             .unset_env = {"LOGIX_SHM_NAME", "ZQSTACK_DIR"},
                                             .out_path = root + "/out.txt",
                                             .err_path = root + "/err.txt"}));
    }

    void TearDown() override {
        symlink((std::string(ZQ_BIN_DIR) + "/zqlogix").c_str(), (stack + "/zqlogix").c_str());
        tsup::child_stop(&sup, 30000);
        sim.cleanup();
        suptest::unlink_shm_objects(prefix);
        std::string project = proj.substr(proj.rfind('/') + 1);
        unlink(("/tmp/zqsup_" + project + ".pid").c_str());
        unlink(("/tmp/zqtrend_" + prefix.substr(1) + "_" + project + ".lock").c_str());
        if (HasFailure()) std::cerr << read_file(root + "/out.txt") << read_file(root + "/err.txt");
        tsup::remove_tree(root);
    }

    tsup::HttpResponse get(const std::string &target) {
        return tsup::http_request(port, "GET", target, "", {}, 5000);
    }

    prom_doc metrics() {
        tsup::HttpResponse a = get("/metrics");
        EXPECT_EQ(a.status, 200);
        prom_doc d = prom_parse(a.body);
        EXPECT_EQ(d.error, "") << a.body;
        return d;
    }

    // Waits for the health status; the last answer's body in *body.
    bool wait_health(int status, int ms, std::string *body) {
        return wait_for(
            [&] {
                tsup::HttpResponse a = get("/api/health");
                *body = a.body;
                return a.status == status;
            },
            ms);
    }

    int driver_pid() {
        json_node *j = json_parse(read_file(proj + "/run/zqsup.status").c_str());
        int pid = 0;
        const json_node *ch = json_get(j, "children");
        for (size_t i = 0; i < json_count(ch); i++)
            if (std::string(json_gets(json_at(ch, i), "name", "")) == "driver")
                pid = int(json_geti(json_at(ch, i), "pid", 0));
        json_free(j);
        return pid;
    }
};

TEST_F(Health, MetricsMoveAndHealthFollowsTheDriver) {
    std::string body;
    ASSERT_TRUE(wait_health(200, 90000, &body)) << body;
    json_node *j = json_parse(body.c_str());
    ASSERT_TRUE(j) << body;
    EXPECT_EQ(json_getb(j, "ok", 0), 1);
    EXPECT_EQ(json_count(json_get(j, "controllers")), 1u) << body;
    EXPECT_EQ(json_count(json_get(j, "programs")), 5u) << body;
    json_free(j);
    // Read-only: other methods are refused.
    EXPECT_EQ(tsup::http_request(port, "POST", "/api/health", "{}", {}, 5000).status, 405);
    EXPECT_EQ(tsup::http_request(port, "POST", "/metrics", "", {}, 5000).status, 405);

    prom_doc m1 = metrics();
    EXPECT_EQ(m1.type["zq_trend_rows_written_total"], "counter");
    EXPECT_EQ(m1.type["zq_controller_connected"], "gauge");
    EXPECT_EQ(m1.series["zq_program_up{program=\"driver\"}"], 1);
    EXPECT_EQ(m1.series["zq_database_ready"], 1);
    EXPECT_EQ(m1.series.count("zq_alarms_active"), 1u);
    std::string conn = "zq_controller_connected{plc=\"0\",ip=\"" + sim.addr + "\",slot=\"0\"}";
    EXPECT_EQ(m1.series[conn], 1) << "no series " << conn;
    // Counters move while the stack runs.
    prom_doc m2;
    ASSERT_TRUE(wait_for(
        [&] {
            m2 = metrics();
            return m2.series["zq_trend_rows_written_total"] >
                       m1.series["zq_trend_rows_written_total"] &&
                   m2.series["zq_driver_passes_total"] > m1.series["zq_driver_passes_total"];
        },
        20000));
    EXPECT_GT(m2.series["zq_http_requests_total{code=\"200\"}"],
              m1.series["zq_http_requests_total{code=\"200\"}"]);
    EXPECT_GE(m2.series["zq_http_requests_total{code=\"503\"}"], 0);

    // The driver's own figures per controller, with the connected series' labels.
    std::string labels = "{plc=\"0\",ip=\"" + sim.addr + "\",slot=\"0\"}";
    EXPECT_EQ(m2.type["zq_controller_requests_per_pass"], "gauge");
    EXPECT_EQ(m2.type["zq_controller_pass_seconds"], "gauge");
    EXPECT_EQ(m2.type["zq_controller_errors_total"], "counter");
    EXPECT_EQ(m2.type["zq_controller_reconnects_total"], "counter");
    prom_doc d1, d2;
    ASSERT_TRUE(wait_for(
        [&] {
            d1 = metrics();
            return d1.series.count("zq_controller_passes_total" + labels) &&
                   d1.series["zq_controller_requests_per_pass" + labels] > 0;
        },
        20000))
        << "no driver figures for " << labels;
    ASSERT_TRUE(wait_for(
        [&] {
            d2 = metrics();
            return d2.series["zq_controller_passes_total" + labels] >
                   d1.series["zq_controller_passes_total" + labels];
        },
        20000));
    EXPECT_GE(d2.series["zq_controller_pass_seconds" + labels], 0);
    EXPECT_LT(d2.series["zq_controller_pass_seconds" + labels], 60);
    EXPECT_EQ(d2.series.count("zq_controller_errors_total" + labels), 1u);
    EXPECT_EQ(d2.series.count("zq_controller_reconnects_total" + labels), 1u);

    // The driver killed and its program gone: it cannot come back.
    int pid = driver_pid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(unlink((stack + "/zqlogix").c_str()), 0);
    kill(pid, SIGKILL);
    ASSERT_TRUE(wait_health(503, 20000, &body)) << body;
    EXPECT_NE(body.find("driver not running"), std::string::npos) << body;
    prom_doc m3 = metrics();
    EXPECT_EQ(m3.series["zq_program_up{program=\"driver\"}"], 0);
    // The supervisor counts the attempt when it reaps the child, which may
    // come after the server already saw the process gone.
    EXPECT_TRUE(wait_for(
        [&] {
            m3 = metrics();
            return m3.series["zq_program_restarts_total{program=\"driver\"}"] >= 1;
        },
        20000));

    // Back: the supervisor's next attempt starts it and it reconnects.
    ASSERT_EQ(symlink((std::string(ZQ_BIN_DIR) + "/zqlogix").c_str(), (stack + "/zqlogix").c_str()),
              0);
    ASSERT_TRUE(wait_health(200, 30000, &body)) << body;
    EXPECT_EQ(metrics().series["zq_program_up{program=\"driver\"}"], 1);
}

}  // namespace

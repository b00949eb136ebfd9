// Calculation editing through the engineering API against the real zqcalc:
// programs are checked before they reach calc.st.import, a saved program is
// what the engine runs after its reload, and variable changes travel as
// cmd.req lines the engine executes.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "eng_test_util.h"
#include "test_eng_calc_util.h"

using namespace engtest;
using namespace engcalc;

namespace {

const char *kCalc =
    "calc:\n  dir: ./calc\n  takt_ms: 50\n  stale_ms: 0\n"
    "  items:\n    - A10, real, total\n    - d3, bool, run\n    - A0, lreal, never\n"
    "    - A11, nosuch, fallback\n";

std::string text_body(const std::string &text) {
    return "{\"text\":\"" + json_escape_str(text) + "\"}";
}

TEST(EngCalc, ProgramCheckedThenAppliedByTheEngine) {
    eng_server srv("", kCalc);
    ASSERT_TRUE(srv.start());
    mkdir((srv.dir + "/calc").c_str(), 0755);
    const std::string first = "VAR n : LREAL; END_VAR\nn := n + 1;\n";
    write_file(srv.dir + "/calc/calc.st", first);
    engine eng(srv.dir);
    ASSERT_TRUE(eng.db_ok);
    ASSERT_TRUE(eng.start());
    ASSERT_TRUE(wait_for([&] { return var_in(eng.vars(), "n") >= 1; }));

    EXPECT_EQ(srv.eget("/api/eng/calc-st").body, first);
    EXPECT_GE(var_in(srv.eget("/api/eng/calc/vars").body, "n"), 1);

    // An error on line 3 is refused with that line; nothing reaches the engine.
    const std::string broken = "VAR n : LREAL; k : LREAL; END_VAR\nk := 5;\nn := n + ;\n";
    for (const char *target : {"/api/eng/calc-st", "/api/eng/calc-st?dry=1"}) {
        response r = srv.epost(target, text_body(broken));
        EXPECT_EQ(r.status, 400) << r.body;
        json_ptr j(json_parse(r.body.c_str()));
        EXPECT_EQ(json_geti(j.get(), "line", 0), 3) << r.body;
        EXPECT_FALSE(std::string(json_gets(j.get(), "error", "")).empty());
    }
    EXPECT_FALSE(file_exists(srv.dir + "/calc/calc.st.import"));
    EXPECT_EQ(read_file(srv.dir + "/calc/calc.st"), first);

    // The raw text (not JSON) is taken too; dry writes nothing.
    const std::string good = "VAR n : LREAL; k : LREAL; END_VAR\nk := 5;\nn := n + 1;\n";
    response d = parse(
        srv.post("/api/eng/calc-st?dry", good, {srv.auth()[0], {"Content-Type", "text/plain"}}));
    EXPECT_EQ(d.status, 200) << d.body;
    EXPECT_EQ(member(d.body, "error"), "");
    EXPECT_FALSE(file_exists(srv.dir + "/calc/calc.st.import"));

    response s = srv.epost("/api/eng/calc-st", text_body(good));
    ASSERT_EQ(s.status, 200) << s.body;
    EXPECT_EQ(read_file(srv.dir + "/calc/calc.st.import"), good);
    // The editor continues from the saved program until the engine takes it.
    EXPECT_EQ(srv.eget("/api/eng/calc-st").body, good);
    EXPECT_NE(srv.audit().find("calc-st save"), std::string::npos);

    kill(eng.proc.pid, SIGUSR1);
    EXPECT_TRUE(wait_for([&] { return var_in(eng.vars(), "k") == 5; })) << eng.vars();
    EXPECT_EQ(read_file(srv.dir + "/calc/calc.st"), good);
    EXPECT_FALSE(file_exists(srv.dir + "/calc/calc.st.import"));
    // Accumulated state survives the reload.
    EXPECT_GE(var_in(eng.vars(), "n"), 1);
}

TEST(EngCalc, SetVarReachesTheEngine) {
    eng_server srv("  logcontrol: 1\n  logcontrolpath: ./logs\n", kCalc);
    ASSERT_TRUE(srv.start());
    mkdir((srv.dir + "/calc").c_str(), 0755);
    write_file(srv.dir + "/calc/calc.st",
               "VAR sp : LREAL; arr : ARRAY[0..3] OF LREAL; c : ARRAY[0..63] OF LREAL; "
               "t : ARRAY[0..1] OF FBD_TIMER; END_VAR\n");
    engine eng(srv.dir);
    ASSERT_TRUE(eng.db_ok);
    ASSERT_TRUE(eng.start());
    ASSERT_TRUE(wait_for([&] { return !std::isnan(var_in(eng.vars(), "sp")); }));

    response r = srv.epost("/api/eng/calc/set-var", "{\"name\":\"sp\",\"value\":2.5}");
    EXPECT_EQ(r.body, "{\"ok\":true}");
    r = srv.epost("/api/eng/calc/set-var", "{\"name\":\"arr\",\"value\":\"7\",\"idx\":2}");
    EXPECT_EQ(r.body, "{\"ok\":true}");
    EXPECT_TRUE(wait_for([&] {
        return var_in(eng.vars(), "sp") == 2.5 && var_in(eng.vars(), "arr", 2) == 7;
    })) << eng.vars();
    std::string ctl = tsup::read_dir_files(srv.dir + "/logs", "control");
    EXPECT_NE(ctl.find("\"tag\":\"calc VAR\",\"name\":\"sp\",\"from\":0,\"to\":2.5"),
              std::string::npos)
        << ctl;
    EXPECT_NE(ctl.find("\"name\":\"arr[2]\""), std::string::npos) << ctl;

    // A structure cell is logged under its element and member.
    std::string tvars = eng.vars();
    json_ptr doc(json_parse(tvars.c_str()));
    long long slen = 0, mi = -1;
    std::string mname;
    for (const json_node *v = json_get(doc.get(), "vars")->child; v; v = v->next)
        if (std::string("t") == json_gets(v, "name", "")) {
            slen = json_geti(v, "slen", 0);
            const json_node *m = json_get(v, "members")->child;
            while (m && json_geti(m, "i", 0) < 1)
                m = m->next;
            if (m) mi = json_geti(m, "i", -1), mname = json_gets(m, "n", "");
        }
    ASSERT_GT(slen, 1);
    ASSERT_GE(mi, 1) << tvars;
    r = srv.epost("/api/eng/calc/set-var",
                  "{\"name\":\"t\",\"value\":1,\"idx\":" + std::to_string(slen + mi) + "}");
    EXPECT_EQ(r.body, "{\"ok\":true}");
    ctl = tsup::read_dir_files(srv.dir + "/logs", "control");
    EXPECT_NE(ctl.find("\"name\":\"t[1]." + mname + "\""), std::string::npos) << ctl;

    // Refusals write nothing.
    struct bad {
        const char *body;
        int status;
    } refusals[] = {
        {"{\"value\":1}", 400},
        {"{\"name\":\"a.b\",\"value\":1}", 500},
        {"{\"name\":\"a b\",\"value\":1}", 500},
        {"{\"name\":\"sp\",\"value\":\"nan\"}", 400},
        {"{\"name\":\"sp\",\"value\":1e999}", 400},
        {"{\"name\":\"arr\",\"value\":1,\"idx\":4}", 400},
        {"{\"name\":\"arr\",\"value\":1,\"idx\":-1}", 400},
        {"{\"name\":\"arr\",\"value\":1,\"idx\":1.5}", 400},
        {"{\"name\":\"arr\",\"value\":1}", 400},
        {"{\"name\":\"sp\",\"value\":1,\"idx\":0}", 400},
        {"not json", 400},
    };
    ASSERT_TRUE(wait_for([&] { return !file_exists(srv.dir + "/calc/cmd.req"); }));
    for (const bad &b : refusals) {
        response x = srv.epost("/api/eng/calc/set-var", b.body);
        EXPECT_EQ(x.status, b.status) << b.body << " -> " << x.body;
        EXPECT_EQ(member(x.body, "ok"), "") << x.body;
    }
    EXPECT_FALSE(file_exists(srv.dir + "/calc/cmd.req"));

    // A foreign page cannot post through the engineer's browser.
    response x = srv.epost("/api/eng/calc/set-var", "{\"name\":\"sp\",\"value\":9}", "",
                           {{"Origin", "http://evil.example"}});
    EXPECT_EQ(x.status, 403);
    x = srv.epost("/api/eng/calc-st", text_body("VAR q : LREAL; END_VAR\n"), "",
                  {{"Origin", "http://evil.example"}});
    EXPECT_EQ(x.status, 403);
    EXPECT_FALSE(file_exists(srv.dir + "/calc/calc.st.import"));

    // Concurrent setters while the engine consumes the file: every line runs.
    std::vector<std::thread> th;
    for (int t = 0; t < 4; t++)
        th.emplace_back([&, t] {
            for (int i = 0; i < 16; i++) {
                int cell = t * 16 + i;
                EXPECT_EQ(srv.epost("/api/eng/calc/set-var",
                                    "{\"name\":\"c\",\"value\":" + std::to_string(cell + 1) +
                                        ",\"idx\":" + std::to_string(cell) + "}")
                              .status,
                          200);
            }
        });
    for (auto &t : th)
        t.join();
    EXPECT_TRUE(wait_for([&] {
        std::string v = eng.vars();
        for (int cell = 0; cell < 64; cell++)
            if (var_in(v, "c", cell) != cell + 1) return false;
        return true;
    })) << eng.vars();
}

TEST(EngCalc, TagsAndVarsWithoutEngine) {
    eng_server srv("", kCalc);
    ASSERT_TRUE(srv.start());
    EXPECT_EQ(srv.eget("/api/eng/calc-st").body, "");
    EXPECT_EQ(srv.eget("/api/eng/calc/vars").body, "{}");
    mkdir((srv.dir + "/calc").c_str(), 0755);
    write_file(srv.dir + "/calc/vars.json", "{\"vars\":[");
    EXPECT_EQ(srv.eget("/api/eng/calc/vars").body, "{}");
    EXPECT_EQ(
        srv.eget("/api/eng/calc/tags").body,
        "{\"tags\":[{\"id\":\"A10\",\"name\":\"total\",\"is_d\":0,\"nn\":10,\"type\":\"real\"},"
        "{\"id\":\"D3\",\"name\":\"run\",\"is_d\":1,\"nn\":3,\"type\":\"bool\"},"
        "{\"id\":\"A11\",\"name\":\"fallback\",\"is_d\":0,\"nn\":11,\"type\":\"lreal\"}]}");
    // Without the engine's file a set-var still queues (the engine may be starting).
    unlink((srv.dir + "/calc/vars.json").c_str());
    EXPECT_EQ(srv.epost("/api/eng/calc/set-var", "{\"name\":\"level\",\"value\":2.5}").body,
              "{\"ok\":true}");
    EXPECT_EQ(srv.epost("/api/eng/calc/set-var", "{\"name\":\"v\",\"value\":-1e-3,\"idx\":7}").body,
              "{\"ok\":true}");
    EXPECT_EQ(read_file(srv.dir + "/calc/cmd.req"), "setvar level 2.5\nsetvar v 7 -0.001\n");
    // Methods and the login are enforced.
    EXPECT_EQ(srv.epost("/api/eng/calc/tags", "{}").status, 405);
    EXPECT_EQ(parse(srv.get("/api/eng/calc-st")).status, 401);
}

}  // namespace

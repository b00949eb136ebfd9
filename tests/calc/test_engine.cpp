// The engine in-process on a test database with a clock the test drives:
// dt rules, the state file with non-finite values, report lines and files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "calc/calc_engine.h"
#include "calc_proc.h"
#include "common/log.h"
#include "tests/support/zone.h"

using namespace calctest;

namespace {

struct rig {
    test_db db;
    tsup::TempDir dir{"calceng"};
    calc_engine e;
    bool start(const std::string &calc_yaml, const std::string &program,
               const std::string &extra = "") {
        tsup::write_file(dir / "config.yaml",
                         "calc:\n  dir: " + dir.path + "\n  stale_ms: 0\n" + calc_yaml + extra);
        tsup::write_file(dir / "calc.st", program);
        setenv("LOGIX_SHM_NAME", db.own.name.c_str(), 1);
        e.chan_path = dir / "channels.json";
        int rc = calc_engine_start(&e, (dir / "config.yaml").c_str());
        unsetenv("LOGIX_SHM_NAME");
        return rc == 0 && calc_engine_attach(&e, 1000);
    }
    double cell(const char *name) {
        const calc_var &v = e.cfg.vars[static_cast<size_t>(e.cfg.var_by_name.at(name))];
        return e.cell_bad[static_cast<size_t>(v.base)] ? NAN : e.cells[static_cast<size_t>(v.base)];
    }
    ~rig() { calc_engine_stop(&e, 0); }
};

}  // namespace

TEST(CalcEngine, DtRules) {
    rig r;
    ASSERT_TRUE(
        r.start("  takt_ms: 1000\n", "VAR s : LREAL; d : LREAL; END_VAR\ns := sum_day(1, 1);\n"));
    int64_t t = tsup::utc_epoch(2026, 6, 1, 12) * 1000;
    calc_engine_tick(&r.e, t, 1);
    EXPECT_EQ(r.e.tick[CX_TICK_DT], 0);  // first tick
    EXPECT_FALSE(r.e.clamp_logged);
    calc_engine_tick(&r.e, t + 1000, 1001);
    EXPECT_EQ(r.e.tick[CX_TICK_DT], 1000);
    calc_engine_tick(&r.e, t - 5000, 1002);  // stepped back
    EXPECT_EQ(r.e.tick[CX_TICK_DT], 0);
    calc_engine_tick(&r.e, t + 60000, 2000);  // sleep of a minute
    EXPECT_EQ(r.e.tick[CX_TICK_DT], 0);
    EXPECT_TRUE(r.e.clamp_logged);
    calc_engine_tick(&r.e, t + 61000, 3000);
    EXPECT_EQ(r.cell("s"), 2);
}

TEST(CalcEngine, StateFileNeverHoldsNonFinite) {
    rig r;
    ASSERT_TRUE(r.start("  items:\n    - A3\n",
                        "VAR x : LREAL; arr[3] : LREAL := [1, 2, 3]; END_VAR\n"
                        "x := 1e308 * 10;\narr[1] := A9;\nA3 := 7;\n"));
    calc_engine_tick(&r.e, 1000000, 1);
    // a value slot holding a non-finite number (another writer's bug)
    shm_analog(&r.db.h, 3)->value = INFINITY;
    calc_engine_save(&r.e, 1000000);
    std::string st = tsup::read_file(r.dir / "calc_state.json");
    json_ptr doc(json_parse(st.c_str()));
    ASSERT_TRUE(doc) << st;
    EXPECT_EQ(st.find("inf"), std::string::npos) << st;
    EXPECT_EQ(st.find("nan"), std::string::npos) << st;
    EXPECT_NE(st.find("\"v\":[1,null,3]"), std::string::npos) << st;
    json_ptr vars(json_parse(tsup::read_file(r.dir / "vars.json").c_str()));
    ASSERT_TRUE(vars);
    // nulls read back as bad
    calc_engine_reset_store(&r.e);
    ASSERT_EQ(calc_state_load(&r.e), 1);
    EXPECT_TRUE(std::isnan(r.cell("x")));
    EXPECT_EQ(r.e.cfg.tags[0].rem_q, 0);

    // A state file that does not parse is reported and overwritten whole.
    tsup::write_file(r.dir / "calc_state.json", "{\"version\":1,\"items\":[");
    EXPECT_EQ(calc_state_load(&r.e), -1);
    calc_engine_save(&r.e, 1001000);
    EXPECT_TRUE(json_ptr(json_parse(tsup::read_file(r.dir / "calc_state.json").c_str())));
}

TEST(CalcEngine, SavesKeepTagsWithoutDatabase) {
    rig r;
    ASSERT_TRUE(r.start("  items:\n    - A3\n    - D4\n", "A3 := 12.5;\nD4 := 3;\n"));
    calc_engine_tick(&r.e, 1000000, 1);
    calc_engine_save(&r.e, 1000000);
    shm_handle_close(&r.e.db);
    r.e.attached = false;
    calc_engine_save(&r.e, 1002000);
    std::string st = tsup::read_file(r.dir / "calc_state.json");
    EXPECT_NE(st.find("{\"id\":\"A3\",\"raw\":12.5,\"q\":1}"), std::string::npos) << st;
    EXPECT_NE(st.find("{\"id\":\"D4\",\"raw\":3,\"q\":1}"), std::string::npos) << st;
}

TEST(CalcEngine, ReportLinesAndFiles) {
    tsup::ZoneGuard tz("UTC");
    rig r;
    std::string fields;
    for (int i = 0; i < 120; i++)
        fields += "        - \"column_number_" + std::to_string(i) + "_x,A3\"\n";
    ASSERT_TRUE(
        r.start("  items:\n    - A3\n  shift_order: 1,2\n"
                "  schedule:\n"
                "    - cron: \"@hourly\"\n      name: wide\n      topic: t\n      file: " +
                    r.dir.path + "/sub/wide.jsonl\n      fields:\n" + fields +
                    "    - cron: \"@hourly\"\n      name: wcsv\n      format: csv\n      file: " +
                    r.dir.path + "/wide.csv\n      fields:\n" + fields +
                    "    - cron: \"@hourly\"\n      name: c\n      format: csv\n"
                    "      daily: true\n      file: " +
                    r.dir.path +
                    "/rep.csv\n      fields:\n        - \"a,A3\"\n"
                    "        - \"b,A9\"\n",
                "A3 := 1.5;\n", "mqtt:\n  dir: " + r.dir.path + "/mq\n"));
    int64_t t = tsup::utc_epoch(2026, 1, 1, 23, 59, 30) * 1000;
    calc_engine_tick(&r.e, t, 1);
    calc_engine_tick(&r.e, t + 60000, 2);  // 00:00:30 on the 2nd: both fire
    std::string wide = tsup::read_file(r.dir / "sub/wide.jsonl");
    ASSERT_FALSE(wide.empty());
    std::string line = wide.substr(0, wide.find('\n'));
    EXPECT_LE(line.size(), 2048u);
    EXPECT_EQ(line.back(), '}');
    EXPECT_TRUE(json_ptr(json_parse(line.c_str()))) << line;
    EXPECT_EQ(line.substr(0, 29), "{\"ts\":\"20260102000030\",\"sno\":");
    EXPECT_NE(line.find(",\"seq\":1,\"column_number_0_x\":1.5,"), std::string::npos) << line;
    // the CSV form has room for every field
    EXPECT_EQ(tsup::count_of(tsup::read_file(r.dir / "wide.csv"), "\n"), 121u);
    std::vector<std::string> spool = tsup::list_dir(r.dir / "mq/spool", "rpt_");
    ASSERT_EQ(spool.size(), 1u);
    EXPECT_EQ(tsup::read_file(r.dir / "mq/spool" + ("/" + spool[0])), "t\t0\t0\n" + line);
    double crew = 0;
    calc_engine_read(&r.e, 0, CALC_SHIFT_NO, &crew);
    std::string sno = std::to_string(static_cast<int>(crew));
    std::string csv = tsup::read_file(r.dir / "rep_20260102.csv");
    EXPECT_EQ(csv, "ts,sno,seq,param,value\n20260102000030," + sno + ",1,a,1.5\n20260102000030," +
                       sno + ",1,b,\n");
    calc_engine_tick(&r.e, t + 3660000, 3);
    csv = tsup::read_file(r.dir / "rep_20260102.csv");
    EXPECT_EQ(tsup::count_of(csv, "ts,sno"), 1u);
    EXPECT_NE(csv.find("20260102010030," + sno + ",2,a,1.5\n"), std::string::npos) << csv;
}

// The configuration loader: own tags, shift settings, schedules, the VAR
// block and the program checks, and checking on several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "calc/calc_cfg.h"
#include "tests/support/tsup.h"

namespace {

calc_cfg load(const std::string &calc_section, const std::string &extra = "") {
    calc_cfg c;
    calc_cfg_load_text(&c, ("calc:\n" + calc_section + extra).c_str());
    return c;
}

bool has_msg(const calc_cfg &c, const std::string &part) {
    for (const calc_msg &m : c.msgs)
        if (m.text.find(part) != std::string::npos) return true;
    return false;
}

// Loads a program text into a configuration; the error message or "".
std::string parse(calc_cfg *c, std::string text, int validate = 0, int *line = nullptr) {
    cx_tree root;
    char err[512] = "";
    int ln = 0;
    int rc = calc_st_parse_text(text.data(), c, &root, validate, err, sizeof err, &ln);
    if (line) *line = ln;
    return rc == 0 ? "" : err;
}

}  // namespace

TEST(CalcCfg, OwnTags) {
    calc_cfg c = load(
        "  items:\n"
        "    - D12, bool, Pump_On\n"
        "    - A3, bool\n"
        "    - a4, Real, lvl\n"
        "    - A5, c\n"
        "    - A6, word\n"
        "    - A0\n"
        "    - A999998\n"
        "    - A999997, dint\n"
        "    - D12, usint, again\n"
        "    - X7\n");
    ASSERT_EQ(c.tags.size(), 6u);
    EXPECT_EQ(c.tags[0].isd, 1);
    EXPECT_EQ(c.tags[0].type, CX_T_BOOL);
    EXPECT_EQ(c.tags[0].typed, 1);
    EXPECT_EQ(c.tags[0].name, "Pump_On");
    EXPECT_EQ(c.tags[1].type, CX_T_LREAL);
    EXPECT_EQ(c.tags[1].typed, 0);
    EXPECT_TRUE(has_msg(c, "тип «bool» несумісний зі слотом A у «A3, bool» — беру LREAL"));
    EXPECT_EQ(c.tags[2].type, CX_T_REAL);
    EXPECT_EQ(c.tags[2].name, "lvl");
    EXPECT_EQ(c.tags[3].typed, 0);
    EXPECT_TRUE(has_msg(c, "невідомий тип «word»"));
    EXPECT_EQ(c.tags[4].type, CX_T_LREAL);
    EXPECT_EQ(c.tags[5].ch, 999997);
    EXPECT_TRUE(has_msg(c, "«A0» — канал поза 1..999997"));
    EXPECT_TRUE(has_msg(c, "«A999998» — канал поза"));
    EXPECT_TRUE(has_msg(c, "канал D12 уже власний"));
    EXPECT_TRUE(has_msg(c, "незрозумілий item «X7»"));
}

TEST(CalcCfg, SettingsAndShift) {
    calc_cfg c = load(
        "  takt_ms: 10\n  stale_ms: 500\n  shift_period_h: 5\n"
        "  shift_anchor: \"2026-01-05 06:30\"\n  shift_order: 1,3;2\n",
        "mqtt:\n  broker: x\n");
    EXPECT_EQ(c.takt_ms, 50);
    EXPECT_EQ(c.stale_ms, 500);
    EXPECT_EQ(c.pc.shift_h, 12);
    EXPECT_TRUE(has_msg(c, "shift_period_h=5 не ділить 24"));
    EXPECT_EQ(c.pc.anchor_min, 390);
    EXPECT_NE(c.pc.ref_ms, 0);
    EXPECT_EQ(c.shift_order, (std::vector<int>{1, 3, 2}));
    EXPECT_EQ(c.spool_dir, "./mqtt/spool");
    calc_cfg d = load("  shift_period_h: 8\n  shift_anchor: noon\n  shift_order: [4, \"5\"]\n");
    EXPECT_EQ(d.pc.shift_h, 8);
    EXPECT_EQ(d.pc.anchor_min, 480);
    EXPECT_TRUE(has_msg(d, "shift_anchor «noon» незрозумілий"));
    EXPECT_EQ(d.shift_order, (std::vector<int>{4, 5}));
    EXPECT_EQ(d.spool_dir, "");
    calc_cfg bad;
    EXPECT_EQ(calc_cfg_load(&bad, "/nonexistent/config.yaml"), -1);
}

TEST(CalcCfg, VarDeclarations) {
    calc_cfg c = load("  items:\n    - A7, int, taken\n");
    int line = 0;
    ASSERT_EQ(parse(&c,
                    "// counters\n"
                    "VAR\n"
                    "  t : ARRAY[0..3] OF FBD_TIMER;\n"
                    "  v[4] : INT := [1, 2(7)];\n"
                    "  a, b : REAL := 2*3.5;  (* two *)\n"
                    "  m : ARRAY[0..1, 0..2] OF DINT;\n"
                    "  q[3];\n"
                    "END_VAR\n"
                    "a := v + m[1,2] + q[2];\n"),
              "");
    ASSERT_EQ(c.vars.size(), 6u);
    EXPECT_EQ(c.vars[0].cells, 52);
    EXPECT_EQ(c.vars[0].kind, CX_KIND_TIMER);
    const calc_var &v = c.vars[1];
    EXPECT_EQ(v.base, 52);
    EXPECT_EQ(c.init[52], 1);
    EXPECT_EQ(c.init[53], 7);
    EXPECT_EQ(c.init[54], 7);
    EXPECT_TRUE(std::isnan(c.init[55]));
    EXPECT_EQ(c.init[static_cast<size_t>(c.vars[2].base)], 7);
    EXPECT_EQ(c.init[static_cast<size_t>(c.vars[3].base)], 7);
    EXPECT_EQ(c.vars[4].cells, 6);
    EXPECT_EQ(c.vars[5].type, CX_T_LREAL);
    EXPECT_EQ(c.ncells, 52 + 4 + 1 + 1 + 6 + 3);

    struct bad_case {
        const char *text;
        const char *msg;
        int line;
    } cases[] = {
        {"VAR\n x : REAL := A1;\nEND_VAR\nx := 1;", "VAR «x» — ініціалізатор має бути сталим", 2},
        {"VAR\n x : REAL;\n", "VAR без END_VAR", 1},
        {"VAR x : REAL; x : INT; END_VAR x := 1;", "VAR «x» — ім'я зайняте", 1},
        {"VAR taken : REAL; END_VAR x := 1;", "VAR «taken» — ім'я зайняте", 1},
        {"VAR\n\n if : REAL; END_VAR", "VAR — «if» ключове слово мови", 3},
        {"VAR a, b[3] : REAL; END_VAR", "коротка форма [N] лише для одного імені", 1},
        {"VAR a : ARRAY[1..3] OF REAL; END_VAR", "вимір мусить бути [0..N]", 1},
        {"VAR a : ARRAY[0..1,0..1,0..1,0..1] OF REAL; END_VAR", "макс 3 виміри", 1},
        {"VAR a : ARRAY[0..3 OF REAL; END_VAR", "очікувалась ']'", 1},
        {"VAR a[0] : REAL; END_VAR", "VAR «a» — розмір масиву", 1},
        {"VAR a[2] : REAL := [1, 2, 3]; END_VAR", "більше значень, ніж елементів", 1},
        {"VAR a[2] : REAL := 1; END_VAR", "для масиву — список", 1},
        {"VAR a : REAL := [1]; END_VAR", "список [..] лише для масиву", 1},
        {"VAR a[3] : REAL := [0(1)]; END_VAR", "повтор n(v): n > 0", 1},
        {"VAR t : FBD_TIMER := 1; END_VAR", "ініціалізатор структури не підтримується", 1},
        {"VAR a : REAL := sum_day(1); END_VAR", "ініціалізатор має бути сталим", 1},
        // 64-bit products and the total bound: no posted program may make
        // the checker allocate gigabytes.
        {"VAR a : ARRAY[0..65535, 0..65535, 0..65535] OF REAL; END_VAR", "забагато комірок", 1},
        {"VAR a[1048576]; b[1]; END_VAR", "VAR «b» — забагато комірок", 1},
        {"VAR a[99999999999999999999] : REAL; END_VAR", "забагато комірок", 1},
        {"VAR t : ARRAY[0..80659] OF FBD_TIMER; END_VAR", "забагато комірок", 1},
        // the program after the block keeps the file's line numbers
        {"VAR\n x : REAL;\nEND_VAR\n\nx := ;\n", "", 5},
        {"VAR x : REAL; END_VAR\nVAR y : REAL; END_VAR\nx := 1;", "", 2},
        {"VAR t : FBD_TIMER; END_VAR\nA10 := t;", "", 2},
        {"A1 := 1;\nA3.4 := 1;", "бітовий запис лише у власний тег calc або VAR", 2},
        {"VAR k : INT; END_VAR\nk.16 := 1;", "біт поза шириною типу приймача (тут 0..15)", 2},
    };
    for (const bad_case &bc : cases) {
        calc_cfg d = load("  items:\n    - A7, int, taken\n");
        std::string err = parse(&d, bc.text, 0, &line);
        EXPECT_NE(err, "") << bc.text;
        EXPECT_NE(err.find(bc.msg), std::string::npos) << bc.text << " → " << err;
        EXPECT_EQ(line, bc.line) << bc.text << " → " << err;
    }
    // bits of own tags and variables within their type
    calc_cfg e = load("  items:\n    - A7, int, taken\n    - D2\n");
    EXPECT_EQ(parse(&e, "VAR k : INT; END_VAR\nk.15 := 1; taken.3 := 1; D2.7 := 1;"), "");
}

TEST(CalcCfg, ValidationIsStricter) {
    for (const char *text :
         {"VAR x : REAL junk; END_VAR x := 1;", "VAR x : QWORD; END_VAR x := 1;"}) {
        calc_cfg c;
        EXPECT_EQ(parse(&c, text), "") << text;  // the engine runs with it
        calc_cfg d;
        EXPECT_NE(parse(&d, text, 1), "") << text;  // the editor refuses it
    }
    calc_cfg c;
    parse(&c, "VAR\n x : QWORD;\nEND_VAR\nx := 1;");
    EXPECT_TRUE(has_msg(c, "calc.st: рядок 2: VAR «x» — невідомий тип «QWORD», беру LREAL"));
}

TEST(CalcCfg, Schedules) {
    // Built with the program (entries may name its variables), not by the loader.
    calc_cfg c = load("  schedule:\n    - cron: \"@daily\"\n      file: x\n");
    EXPECT_EQ(c.scheds.size(), 0u);
    calc_cfg d;
    tsup::TempDir dir("calccfg");
    tsup::write_file(
        dir / "config.yaml",
        "calc:\n  dir: " + dir.path +
            "\n  schedule:\n"
            "    - cron: \"*/15 * * * *\"\n      action: set\n      target: A3\n"
            "    - cron: \"61 * * * *\"\n"
            "    - action: report\n"
            "    - cron: \"@weekly\"\n"
            "    - cron: \"@shift\"\n      action: mail\n"
            "    - cron: \"@daily\"\n      action: set\n      target: nosuch\n"
            "    - cron: \"@daily\"\n      action: set\n      target: A2\n      value: \"1 +\"\n"
            "    - cron: \"@shift\"\n      name: r\n      format: csv\n      daily: true\n"
            "      qos: 2\n      fields:\n"
            "        - \"  a_very_long_column_name_beyond_31_chars, total \"\n"
            "        - nocomma\n        - \"x,nosuch\"\n"
            "    - cron: \"@hourly\"\n      name: t\n      topic: plant/r\n");
    tsup::write_file(dir / "calc.st", "VAR total : LREAL; END_VAR\ntotal := 1;\n");
    ASSERT_EQ(calc_cfg_load(&d, (dir / "config.yaml").c_str()), 0);
    EXPECT_EQ(calc_items_load(&d), 1);
    ASSERT_EQ(d.scheds.size(), 3u);
    EXPECT_EQ(d.scheds[0].action, CALC_ACT_SET);
    EXPECT_EQ(d.scheds[0].t_index, 3);
    EXPECT_TRUE(has_msg(d, "schedule cron «61 * * * *»: cron: поле хвилин — пропущено"));
    EXPECT_TRUE(has_msg(d, "schedule cron «(нема)»: порожньо"));
    EXPECT_TRUE(has_msg(d, "невідомий пресет"));
    EXPECT_TRUE(has_msg(d, "action «mail» невідома"));
    EXPECT_TRUE(has_msg(d, "set target «nosuch» невідомий"));
    EXPECT_TRUE(has_msg(d, "schedule value «1 +»"));
    EXPECT_TRUE(has_msg(d, "поле «nocomma» без коми"));
    EXPECT_TRUE(has_msg(d, "тег «nosuch» невідомий"));
    const calc_sched &r = d.scheds[1];
    EXPECT_EQ(r.csv, 1);
    EXPECT_EQ(r.daily, 1);
    EXPECT_EQ(r.qos, 1);
    ASSERT_EQ(r.fields.size(), 1u);
    EXPECT_EQ(r.fields[0].col, "a_very_long_column_name_beyond_");
    EXPECT_EQ(r.fields[0].index, CX_VAR_BASE);
    EXPECT_EQ(d.scheds[2].file, "");
    EXPECT_EQ(d.scheds[2].topic, "plant/r");

    // A reload keeps the marks of unchanged entries only.
    d.scheds[0].has_mark = d.scheds[1].has_mark = true;
    d.scheds[0].mark = 77;
    std::string yaml = tsup::read_file(dir / "config.yaml");
    yaml.replace(yaml.find("name: t"), 7, "name: u");
    tsup::write_file(dir / "config.yaml", yaml);
    d.scheds[2].has_mark = true;
    ASSERT_EQ(calc_cfg_reload_hot(&d, (dir / "config.yaml").c_str()), 0);
    ASSERT_EQ(d.scheds.size(), 3u);
    EXPECT_TRUE(d.scheds[0].has_mark);
    EXPECT_EQ(d.scheds[0].mark, 77);
    EXPECT_TRUE(d.scheds[1].has_mark);
    EXPECT_FALSE(d.scheds[2].has_mark);
}

TEST(CalcCfg, ProgramFileAndImport) {
    tsup::TempDir dir("calccfg");
    tsup::write_file(dir / "config.yaml", "calc:\n  dir: " + dir.path + "\n");
    calc_cfg c;
    ASSERT_EQ(calc_cfg_load(&c, (dir / "config.yaml").c_str()), 0);
    EXPECT_EQ(calc_items_load(&c), 0);  // no file
    tsup::write_file(dir / "calc.st", "// only a comment\n");
    EXPECT_EQ(calc_items_load(&c), 1);
    EXPECT_FALSE(c.prog);
    EXPECT_TRUE(has_msg(c, "без ':=' — програма порожня"));
    tsup::write_file(dir / "calc.st.import", "VAR n : DINT; END_VAR\nn := sum_day(1);\n");
    EXPECT_EQ(calc_apply_import(&c), 1);
    EXPECT_EQ(calc_apply_import(&c), 0);
    EXPECT_EQ(calc_items_load(&c), 1);
    ASSERT_TRUE(c.prog);
    EXPECT_EQ(cx_state_count(c.prog->root.get()), 1);
    EXPECT_TRUE(has_msg(c, "VAR — 1 змінних, 1 комірок"));
    tsup::write_file(dir / "calc.st", "VAR n : DINT; END_VAR\nn := ;\n");
    EXPECT_EQ(calc_items_load(&c), -1);
    EXPECT_FALSE(c.prog);
    EXPECT_TRUE(c.vars.empty());
    EXPECT_TRUE(has_msg(c, "calc.st — рядок 2:"));
}

// The server checks posted programs on its connection threads.
TEST(CalcCfg, CheckIsReentrant) {
    tsup::TempDir dir("calccfg");
    tsup::write_file(dir / "config.yaml", "calc:\n  items:\n    - A5, dint, five\n");
    std::string cfg = dir / "config.yaml";
    std::vector<std::thread> th;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; t++)
        th.emplace_back([&, t] {
            for (int i = 0; i < 200; i++) {
                calc_check_result r;
                std::string name = "v" + std::to_string(t);
                std::string good =
                    "VAR " + name + " : ARRAY[0..9] OF REAL; END_VAR\nfive := " + name + "[3];\n";
                std::string bad = "VAR " + name + " : REAL; END_VAR\n\nfive := " + name + " +;\n";
                bool ok = (i + t) % 2 == 0;
                const std::string &text = ok ? good : bad;
                int rc = calc_st_check(text.data(), text.size(), cfg.c_str(), &r);
                if (ok ? (rc != 0 || r.ncells != 10) : (rc == 0 || r.line != 3)) wrong++;
            }
        });
    for (auto &x : th)
        x.join();
    EXPECT_EQ(wrong.load(), 0);

    char err[256];
    int line = 0;
    EXPECT_EQ(calc_st_validate("x := 1;", "/nonexistent.yaml", err, sizeof err, &line), -1);
    EXPECT_STREQ(err, "не читається config.yaml");
    std::string huge(CALC_MAX_TEXT + 1, ' ');
    calc_check_result r;
    EXPECT_EQ(calc_st_check(huge.data(), huge.size(), nullptr, &r), -1);
    EXPECT_NE(r.error.find("завелика"), std::string::npos);
    EXPECT_EQ(calc_st_validate("VAR x : REAL; END_VAR\nx := 1;", nullptr, err, sizeof err, &line),
              0);
}

// Execution: values with quality, operators, functions, statements, timers,
// counters, routines and the persisted per-node state.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "calc/calc_host.h"
#include "calc/cexpr_tree.h"

namespace {

struct exec_fixture : ::testing::Test {
    calc_host h;
    std::vector<cx_node *> nodes;
    void SetUp() override {
        setenv("TZ", "Europe/Kyiv", 1);
        tzset();
        for (const char *decl : {"n:DINT", "i:DINT", "u:USINT", "s:SINT", "x:LREAL", "arr[5]:LREAL",
                                 "t:FBD_TIMER", "ts[3]:FBD_TIMER", "c:FBD_COUNTER"})
            ASSERT_EQ(calc_host_declare(&h, decl), 0) << decl;
    }
    void TearDown() override {
        for (cx_node *n : nodes)
            cx_free(n);
    }
    cx_node *parse(const char *text) {
        cx_node *n = calc_host_parse(&h, text);
        EXPECT_NE(n, nullptr) << text << ": " << h.err;
        nodes.push_back(n);
        return n;
    }
    cx_val ev(const char *text) { return calc_host_eval(&h, parse(text), true); }
    double val(const char *text) {
        cx_val v = ev(text);
        EXPECT_FALSE(v.bad) << text;
        return v.v;
    }
    bool is_bad(const char *text) { return ev(text).bad != 0; }
    // Runs a program once at the current tick.
    void run(const char *text) { calc_host_run(&h, parse(text)); }
    // Named cells: A5, x, arr[2], t.ACC; NaN when bad.
    double get(const char *name) { return calc_host_value(&h, name); }
    bool good(const char *name) { return !std::isnan(get(name)); }
    void set(const char *name, double v) { EXPECT_EQ(calc_host_set(&h, name, v), 0) << name; }
    void set_bad(const char *name) { EXPECT_EQ(calc_host_set(&h, name, 0, 1), 0) << name; }
    // Member of element e of the timer array ts.
    static std::string ts(int e, const char *member) {
        return "ts[" + std::to_string(e) + "]." + member;
    }
};

TEST_F(exec_fixture, ArithmeticAndQuality) {
    calc_host_at(&h, calc_host_local_ms(2026, 3, 10, 12, 0), 0);
    EXPECT_EQ(val("7 / 2"), 3.5);
    set("n", 7);
    EXPECT_EQ(val("n / 2"), 3.5);  // integer types divide as reals
    EXPECT_EQ(val("7 MOD 2"), 1);
    EXPECT_EQ(val("-7 MOD 2"), -1);
    EXPECT_TRUE(is_bad("1 / 0"));
    EXPECT_TRUE(is_bad("1 MOD 0"));
    EXPECT_TRUE(is_bad("10 ** 400"));
    EXPECT_TRUE(is_bad("(-8) ** 0.5"));
    EXPECT_TRUE(is_bad("1e999"));
    EXPECT_TRUE(is_bad("A1 + 1"));  // unknown channel
    set("A1", 2);
    EXPECT_EQ(val("A1 + 1"), 3);
    EXPECT_EQ(val("(16#F0 AND 16#3C)"), 48);
    EXPECT_EQ(val("16#F0 OR 16#0F"), 255);
    EXPECT_EQ(val("16#FF XOR 16#0F"), 240);
    set("u", 0);
    EXPECT_EQ(val("NOT u"), 255);
    set("n", 0);
    EXPECT_EQ(val("NOT n"), -1);
    EXPECT_EQ(val("NOT 0.0"), 1);
    EXPECT_EQ(val("!5"), 0);
    EXPECT_EQ(val("A1.1"), 1);
    EXPECT_EQ(val("A1.0"), 0);
    EXPECT_EQ(val("1 = 1.0"), 1);
    EXPECT_EQ(val("0.1 + 0.2 = 0.3"), 0);  // exact comparison
    EXPECT_EQ(val("2 <> 3"), 1);
    EXPECT_EQ(val("TRUE XOR TRUE"), 0);
    set("A2", 1e300);
    EXPECT_TRUE(is_bad("A2 * 1e300"));
    set("A3", 1e30);
    EXPECT_EQ(val("A3 AND n"), 0);  // an untyped operand: logical
    EXPECT_TRUE(is_bad("A3.2"));    // out of the 64-bit range
    set("n", 1e30);
    EXPECT_TRUE(is_bad("n AND i"));
    EXPECT_TRUE(is_bad("NOT n"));
    // no short circuit: a bad right operand spoils a logical result too
    EXPECT_TRUE(is_bad("FALSE AND A9"));
}

TEST_F(exec_fixture, Functions) {
    calc_host_at(&h, calc_host_local_ms(2026, 3, 10, 14, 5, 9) + 250, 1000);
    EXPECT_EQ(val("round(2.5)"), 3);
    EXPECT_EQ(val("round(-2.5)"), -3);
    EXPECT_EQ(val("round(1.2345, 2)"), 1.23);
    EXPECT_EQ(val("round(5, 99)"), 5);
    EXPECT_EQ(val("abs(-3)"), 3);
    EXPECT_EQ(val("min(4, 2, 8, 3)"), 2);
    EXPECT_EQ(val("max(4, 2, 8)"), 8);
    EXPECT_EQ(val("clamp(15, 0, 10)"), 10);
    EXPECT_EQ(val("clamp(-1, 0, 10)"), 0);
    EXPECT_EQ(val("sqrt(16)"), 4);
    EXPECT_TRUE(is_bad("sqrt(-1)"));
    EXPECT_TRUE(is_bad("ln(0)"));
    EXPECT_TRUE(is_bad("log(-1)"));
    EXPECT_EQ(val("log(1000)"), 3);
    EXPECT_TRUE(is_bad("asin(2)"));
    EXPECT_TRUE(is_bad("exp(1000)"));
    EXPECT_TRUE(is_bad("sqr(1e200)"));
    EXPECT_EQ(val("sgn(-4)"), -1);
    EXPECT_EQ(val("frac(-2.25)"), -0.25);
    EXPECT_EQ(val("trunc(-2.7)"), -2);
    EXPECT_EQ(val("floor(-2.5)"), -3);
    EXPECT_EQ(val("ceil(2.1)"), 3);
    EXPECT_NEAR(val("deg(rad(90))"), 90, 1e-12);
    EXPECT_EQ(val("if(1, 2, 3)"), 2);
    EXPECT_EQ(val("if(0, 2, 3)"), 3);
    EXPECT_TRUE(is_bad("if(0, 2)"));
    EXPECT_TRUE(is_bad("if(A9, 2, 3)"));
    EXPECT_EQ(val("default(A9, 5)"), 5);
    EXPECT_EQ(val("isbad(A9)"), 1);
    EXPECT_EQ(val("isgood(A9)"), 0);
    EXPECT_TRUE(is_bad("abs(A9)"));
    // calendar of the tick, local time
    EXPECT_EQ(val("year()"), 2026);
    EXPECT_EQ(val("month()"), 3);
    EXPECT_EQ(val("day()"), 10);
    EXPECT_EQ(val("hour()"), 14);
    EXPECT_EQ(val("minute()"), 5);
    EXPECT_EQ(val("second()"), 9);
    EXPECT_EQ(val("dow()"), 2);  // Tuesday
    EXPECT_EQ(val("msec()"), 250);
    EXPECT_EQ(val("now_unix()"), static_cast<double>(h.tick[0] / 1000));
    // without a tick: system time, msec 0, stateful functions bad
    EXPECT_EQ(calc_host_eval(&h, parse("msec()"), false).v, 0);
    EXPECT_GE(calc_host_eval(&h, parse("year()"), false).v, 2024);
    EXPECT_TRUE(calc_host_eval(&h, parse("sum_day(1)"), false).bad);
    EXPECT_TRUE(calc_host_eval(&h, parse("lpf(1, 1)"), false).bad);
}

TEST_F(exec_fixture, EvalRootSkipsATwoArgumentIf) {
    calc_host_at(&h, 1000, 0);
    int skip = -1;
    cx_node *e = parse("if(A1 > 0, 7)");
    set("A1", 0);
    cx_val v = cx_eval_root(e, calc_host_read, &h, h.tick, &skip);
    EXPECT_TRUE(v.bad);
    EXPECT_EQ(skip, 1);
    set("A1", 1);
    v = cx_eval_root(e, calc_host_read, &h, h.tick, &skip);
    EXPECT_EQ(v.v, 7);
    EXPECT_EQ(skip, 0);
    set_bad("A1");
    v = cx_eval_root(e, calc_host_read, &h, h.tick, &skip);
    EXPECT_TRUE(v.bad);
    EXPECT_EQ(skip, 0);
}

TEST_F(exec_fixture, StatementsAndLoops) {
    calc_host_at(&h, 1000, 0);
    // a bad condition runs neither branch
    set("A5", 9);
    run("IF A9 > 0 THEN A5 := 1; ELSE A5 := 2; END_IF");
    EXPECT_EQ(get("A5"), 9);
    set("A1", 5);
    run("IF A1 > 10 THEN A5 := 1; ELSIF A1 > 3 THEN A5 := 2; ELSE A5 := 3; END_IF");
    EXPECT_EQ(get("A5"), 2);
    // FOR: three rounds leave the counter at 4; step 0 runs nothing
    run("x := 0; FOR i := 1 TO 3 DO x := x + i; END_FOR");
    EXPECT_EQ(get("x"), 6);
    EXPECT_EQ(get("i"), 4);
    run("x := 0; FOR i := 1 TO 10 BY 0 DO x := x + 1; END_FOR");
    EXPECT_EQ(get("x"), 0);
    run("x := 0; FOR i := 10 TO 1 BY -3 DO x := x + 1; END_FOR");
    EXPECT_EQ(get("x"), 4);
    // assignments to the counter do not change the iteration
    run("x := 0; FOR i := 1 TO 5 DO i := 100; x := x + 1; END_FOR");
    EXPECT_EQ(get("x"), 5);
    // NaN or huge bounds: nothing runs
    run("x := 0; FOR i := 1 TO 1e300 DO x := x + 1; END_FOR");
    EXPECT_EQ(get("x"), 0);
    run("x := 0; FOR i := 1 TO A9 DO x := x + 1; END_FOR");
    EXPECT_EQ(get("x"), 0);
    // endless loops stop after 100000 rounds within the tick
    run("x := 0; WHILE TRUE DO x := x + 1; END_WHILE");
    EXPECT_EQ(get("x"), 100000);
    run("x := 0; REPEAT x := x + 1; UNTIL FALSE END_REPEAT");
    EXPECT_EQ(get("x"), 100000);
    run("x := 0; FOR i := 0 TO 2000000 DO x := x + 1; END_FOR");
    EXPECT_EQ(get("x"), 100000);
    // nested endless loops: the whole execution has a budget of rounds, so
    // the tick ends instead of running 10^10 rounds
    run("x := 0; FOR i := 0 TO 100000 DO FOR n := 0 TO 100000 DO x := x + 1; END_FOR; END_FOR;"
        "WHILE TRUE DO REPEAT x := x + 1; UNTIL FALSE END_REPEAT; END_WHILE; A7 := 1;");
    EXPECT_GE(get("x"), 900000);
    EXPECT_LT(get("x"), CX_EXEC_BUDGET);
    EXPECT_EQ(get("A7"), 1);
    // the budget is per execution: the next tick loops again
    run("x := 0; WHILE TRUE DO x := x + 1; END_WHILE");
    EXPECT_EQ(get("x"), 100000);
    // EXIT leaves the innermost loop only
    run("x := 0; FOR i := 1 TO 3 DO n := 0; WHILE TRUE DO n := n + 1; IF n >= 2 THEN EXIT; "
        "END_IF; END_WHILE; x := x + n; END_FOR");
    EXPECT_EQ(get("x"), 6);
    run("x := 0; REPEAT x := x + 1; IF x = 7 THEN EXIT; END_IF; UNTIL x > 100 END_REPEAT");
    EXPECT_EQ(get("x"), 7);
    // CASE: ranges, lists, ELSE, bad selector
    cx_node *cs = parse("CASE A1 OF 1, 3..5: A6 := 10; -2: A6 := 20; 7: ; ELSE A6 := 30; END_CASE");
    for (auto [in, out] : {std::pair{4.0, 10.0}, {-2.0, 20.0}, {6.0, 30.0}, {7.0, 0.0}}) {
        set("A1", in);
        set("A6", 0);
        calc_host_run(&h, cs);
        EXPECT_EQ(get("A6"), out) << in;  // 7 hits the empty arm, not ELSE
    }
    set("A6", 1);
    set_bad("A1");
    calc_host_run(&h, cs);
    EXPECT_EQ(get("A6"), 1);
}

TEST_F(exec_fixture, TargetsAndIndices) {
    calc_host_at(&h, 1000, 0);
    set("A1", 2);
    run("A[A1 + 1] := 5; D[A1] := 1; arr[A1] := 7; A10 := arr[2] + A3;");
    EXPECT_EQ(get("A3"), 5);
    EXPECT_EQ(get("D2"), 1);
    EXPECT_EQ(get("arr[2]"), 7);
    EXPECT_EQ(get("A10"), 12);
    int before = h.writes;
    // bad, negative, NaN-like or out-of-range indices leave the statement out
    run("A[A9] := 1; A[-1] := 1; A[1e300] := 1; arr[7] := 1; arr[-1] := 1; A[2000000] := 1");
    EXPECT_EQ(h.writes, before);
    EXPECT_TRUE(is_bad("arr[5]"));  // a constant index out of range stays bad
    EXPECT_EQ(val("arr[2.4]"), 7);  // and an in-range one is rounded
    EXPECT_TRUE(is_bad("A[-1]"));
    EXPECT_TRUE(is_bad("ts[A9].ACC"));
    // a bad value is written as bad
    run("A11 := A9;");
    EXPECT_FALSE(good("A11"));
}

TEST_F(exec_fixture, BitAssignments) {
    auto profile = [](void *u, int isd, int index, int *mb, int *w, int *sg) -> int {
        int type = calc_host_type_of(u, isd, index);
        if (type == CX_T_USINT)
            *mb = 7, *w = 8, *sg = 0;
        else if (type == CX_T_SINT)
            *mb = 7, *w = 8, *sg = 1;
        else
            *mb = 52, *w = 0, *sg = 0;
        return 0;
    };
    calc_host_at(&h, 1000, 0);
    set("u", 255);
    cx_node *p = parse("u.3 := 0;");
    int reason = 0, mb = 0;
    ASSERT_EQ(cx_bit_assign_check(p, profile, &h, &reason, &mb), 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("u"), 247);
    set("s", 0);
    p = parse("s.7 := 1;");
    ASSERT_EQ(cx_bit_assign_check(p, profile, &h, &reason, &mb), 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("s"), -128);
    // unchecked target (no width): plain 64-bit set; a bad read counts as 0
    run("A20.4 := 1; D3.1 := A9; D4.2 := 1");
    EXPECT_EQ(get("A20"), 16);
    EXPECT_FALSE(good("D3"));  // a bad value writes nothing
    EXPECT_EQ(get("D4"), 4);
}

TEST_F(exec_fixture, TimerOnDelay) {
    cx_node *p = parse("t.TimerEnable := A1; t.PRE := 5000; TONR(t); D1 := t.DN; A2 := t.ACC;");
    int64_t t0 = 1000000;
    set("A1", 1);
    for (int k = 0; k <= 6; k++) {
        calc_host_at(&h, t0 + k * 1000, k ? 1000 : 0);
        calc_host_run(&h, p);
        // first enabled scan starts the timing: DN at the 5 s mark
        EXPECT_EQ(get("A2"), std::min(k * 1000.0, 5000.0)) << k;
        EXPECT_EQ(get("D1"), k >= 5 ? 1 : 0) << k;
        if (k == 6) break;
    }
    EXPECT_EQ(get("t.TT"), 0);
    EXPECT_EQ(get("t.EN"), 1);
    // dropping the enable clears ACC and DN
    set("A1", 0);
    calc_host_at(&h, t0 + 7000, 1000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A2"), 0);
    EXPECT_EQ(get("D1"), 0);
    // an irregular tick still sums real time, capped at PRE
    set("A1", 1);
    calc_host_at(&h, t0 + 8000, 1000);
    calc_host_run(&h, p);
    calc_host_at(&h, t0 + 11500, 3500);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A2"), 3500);
    calc_host_at(&h, t0 + 30000, 18500);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A2"), 5000);
    EXPECT_EQ(get("D1"), 1);
}

TEST_F(exec_fixture, TimerOffDelayRetentiveResetAndBadPreset) {
    cx_node *p = parse(
        "t.TimerEnable := A1; t.PRE := A3; t.Reset := A4; TOFR(t); D1 := t.DN;"
        "ts[0].TimerEnable := A1; ts[0].PRE := A3; ts[0].Reset := A4; RTOR(ts[0]);"
        "D2 := ts[0].DN; A5 := ts[0].ACC; A6 := t.Status; D7 := t.PresetInv;");
    set("A3", 3000);
    set("A4", 0);
    set("A1", 1);
    int64_t t0 = 5000000;
    calc_host_at(&h, t0, 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("D1"), 1);  // TOFR: on while enabled
    calc_host_at(&h, t0 + 2000, 2000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A5"), 2000);  // RTOR timing
    // enable drops: TOFR keeps DN for PRE, RTOR keeps its ACC
    set("A1", 0);
    for (int k = 1; k <= 4; k++) {
        calc_host_at(&h, t0 + 2000 + k * 1000, 1000);
        calc_host_run(&h, p);
        EXPECT_EQ(get("A5"), 2000) << k;
        EXPECT_EQ(get("D1"), k <= 3 ? 1 : 0) << k;  // first off scan counts nothing
    }
    // RTOR resumes and reaches PRE
    set("A1", 1);
    calc_host_at(&h, t0 + 8000, 1000);
    calc_host_run(&h, p);
    calc_host_at(&h, t0 + 9000, 1000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A5"), 3000);
    EXPECT_EQ(get("D2"), 1);
    // Reset: RTOR to 0, TOFR to PRE
    set("A4", 1);
    calc_host_at(&h, t0 + 10000, 1000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A5"), 0);
    EXPECT_EQ(get("D2"), 0);
    EXPECT_EQ(get("t.ACC"), 3000);
    // a negative or unknown preset is a fault; ACC and DN stay
    set("A4", 0);
    set("A3", -5);
    calc_host_at(&h, t0 + 11000, 1000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A6"), 3);
    EXPECT_EQ(get("D7"), 1);
    set("A3", 1e300);  // saturates instead
    calc_host_at(&h, t0 + 12000, 1000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A6"), 0);
}

TEST_F(exec_fixture, TimerArrayWithDynamicIndexAndPrescan) {
    // prescan resets every element the index can reach, even stale ones
    for (int e = 0; e < 3; e++) {
        set(ts(e, "ACC").c_str(), 999);
        set(ts(e, "DN").c_str(), 1);
    }
    cx_node *p = parse(
        "FOR i := 0 TO 2 DO ts[i].TimerEnable := 1; ts[i].PRE := (i + 1) * 1000;"
        " END_FOR; i := A1; TONR(ts[i]);");
    set("A1", 1);
    calc_host_at(&h, 100000, 0);
    calc_host_run(&h, p);
    for (int e = 0; e < 3; e++) {
        EXPECT_EQ(get(ts(e, "ACC").c_str()), 0) << e;
        EXPECT_EQ(get(ts(e, "DN").c_str()), 0) << e;
    }
    calc_host_at(&h, 102000, 2000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("ts[1].DN"), 1);  // element 1: PRE 2000 reached
    EXPECT_EQ(get("ts[0].DN"), 0);  // element 0 was not run
    set("A1", 7);                   // out of bounds: the instruction does nothing
    int before = h.writes;
    calc_host_at(&h, 103000, 1000);
    calc_host_run(&h, p);
    EXPECT_EQ(h.writes - before, 1 + 3 * 3 + 1);  // the loop and i only
}

TEST_F(exec_fixture, Counter) {
    cx_node *p = parse(
        "c.CUEnable := A1; c.CDEnable := A2; c.PRE := 3; c.Reset := A3; CTUD(c);"
        "A10 := c.ACC; D1 := c.DN; D2 := c.OV; D3 := c.UN;");
    set("A1", 1);  // already high at start: no edge on the first scan
    set("A2", 0);
    set("A3", 0);
    calc_host_at(&h, 1000, 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 0);
    double seq[] = {0, 1, 0, 1, 0, 1};
    for (double in : seq) {
        set("A1", in);
        calc_host_run(&h, p);
    }
    EXPECT_EQ(get("A10"), 3);
    EXPECT_EQ(get("D1"), 1);
    set("A2", 1);  // down edge
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 2);
    EXPECT_EQ(get("D1"), 0);
    set("A1", 0);
    set("A2", 0);
    calc_host_run(&h, p);
    set("A1", 1);
    set("A2", 1);  // both edges cancel
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 2);
    // wrap at the 32-bit top sets OV, kept until Reset
    set("A1", 0);
    calc_host_run(&h, p);
    set("c.ACC", 2147483647);
    set("A1", 1);
    set("A2", 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), -2147483648.0);
    EXPECT_EQ(get("D2"), 1);
    set("A1", 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("D2"), 1);
    set("A3", 1);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 0);
    EXPECT_EQ(get("D2"), 0);
    // below the bottom: UN
    set("A3", 0);
    set("c.ACC", -2147483648.0);
    set("A2", 1);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 2147483647);
    EXPECT_EQ(get("D3"), 1);
    // a bad enable: the instruction does nothing at all
    set_bad("A1");
    int before = h.writes;
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 2147483647);
    EXPECT_GT(h.writes, before);
}

TEST_F(exec_fixture, RoutinesWithParametersAndReturns) {
    cx_node *p = parse(
        "JSR(Scale, 3, A1, 0, 100, A10, D10);\n"
        "JSR(Scale, 3, A9, 0, 100, A11);\n"
        "JSR(NoRet, 1, 5);\n"
        "ROUTINE Scale\n"
        "  SBR(x, arr[0], arr[1]);\n"
        "  IF isbad(x) THEN RET(0, 0); END_IF;\n"
        "  RET(clamp(x, arr[0], arr[1]) * 2, 1);\n"
        "  A99 := 1;\n"
        "END_ROUTINE\n"
        "ROUTINE NoRet SBR(n); A12 := n * 10; END_ROUTINE\n");
    set("A1", 70);
    calc_host_at(&h, 1000, 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 140);
    EXPECT_EQ(get("D10"), 1);
    EXPECT_EQ(get("A11"), 0);  // bad input arrives bad, the routine answers 0
    EXPECT_EQ(get("A12"), 50);
    EXPECT_FALSE(good("A99"));  // RET ends the routine
    // the call-depth limit holds at run time as well: 25 nested calls run
    std::string prog = "JSR(r0);\n";
    for (int i = 0; i < 25; i++) {
        prog += "ROUTINE r" + std::to_string(i) + " A" + std::to_string(100 + i) + " := 1; ";
        if (i + 1 < 25) prog += "JSR(r" + std::to_string(i + 1) + ")";
        prog += " END_ROUTINE\n";
    }
    calc_host_run(&h, parse(prog.c_str()));
    EXPECT_EQ(get("A124"), 1);
}

TEST_F(exec_fixture, PeriodAccumulators) {
    h.pc.anchor_min = 8 * 60;
    h.pc.shift_h = 12;
    cx_node *p = parse(
        "A10 := sum_shift(A1); A11 := avg_shift(A1); A12 := cnt_shift(D1);"
        "A13 := rhythm_shift(A1); A14 := prev_shift(A1); A15 := sum_day(A1, 60); A16 := lpf(A1, "
        "9)");
    // 19:58 .. 20:02, one tick a minute; the shift changes at 20:00
    int64_t t = calc_host_local_ms(2026, 3, 10, 19, 58);
    set("A1", 60);
    set("D1", 1);  // true at start: no edge
    calc_host_at(&h, t, 0);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 0);
    EXPECT_FALSE(good("A11"));  // no time yet
    EXPECT_EQ(get("A12"), 0);
    EXPECT_EQ(get("A13"), 100);
    EXPECT_FALSE(good("A14"));  // no previous shift
    EXPECT_EQ(get("A16"), 60);
    set("A1", 0);
    set("D1", 0);
    calc_host_at(&h, t + 60000, 60000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 0);  // 0 m3/h for a minute
    EXPECT_EQ(get("A11"), 0);
    EXPECT_NEAR(get("A13"), 100.0 * (43200000 - 60000) / 43200000, 1e-9);
    EXPECT_NEAR(get("A16"), 60 * 9.0 / 69, 1e-9);
    set("A1", 120);
    set("D1", 1);                         // rising edge
    calc_host_at(&h, t + 120000, 60000);  // 20:00: new shift
    calc_host_run(&h, p);
    EXPECT_EQ(get("A10"), 2);  // 120 m3/h for a minute, in the new shift
    EXPECT_EQ(get("A11"), 120);
    EXPECT_EQ(get("A12"), 0);    // the first sample of a period is no edge
    EXPECT_EQ(get("A14"), 0);    // last value of the previous shift
    EXPECT_EQ(get("A15"), 120);  // the day goes on: 120 per minute (k = 60) for a minute
    set("D1", 0);
    calc_host_at(&h, t + 180000, 60000);
    calc_host_run(&h, p);
    set("D1", 1);
    set_bad("A1");
    calc_host_at(&h, t + 240000, 60000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A12"), 1);
    EXPECT_EQ(get("A10"), 4);  // a bad sample adds nothing
    EXPECT_EQ(get("A11"), 120);
    EXPECT_FALSE(good("A16"));
}

TEST_F(exec_fixture, PrevPeriodWithBadLastSample) {
    h.pc.anchor_min = 8 * 60;
    cx_node *p = parse("A14 := prev_day(A1)");
    int64_t t = calc_host_local_ms(2026, 3, 10, 7, 59);
    set("A1", 5);
    calc_host_at(&h, t, 0);
    calc_host_run(&h, p);
    EXPECT_FALSE(good("A14"));
    set_bad("A1");  // the day ends on a bad sample
    calc_host_at(&h, t + 30000, 30000);
    calc_host_run(&h, p);
    set("A1", 6);
    calc_host_at(&h, t + 60000, 30000);  // 08:00
    calc_host_run(&h, p);
    EXPECT_FALSE(good("A14"));
    calc_host_at(&h, calc_host_local_ms(2026, 3, 11, 8, 0), 60000);
    calc_host_run(&h, p);
    EXPECT_EQ(get("A14"), 6);
}

TEST_F(exec_fixture, StateSaveAndRestore) {
    h.pc.anchor_min = 8 * 60;
    const char *prog = "A10 := sum_day(A1) + lpf(A2, 5); A11 := cnt_day(D1); A12 := abs(A1)";
    cx_node *p = parse(prog);
    ASSERT_EQ(cx_state_count(p), 3);
    int64_t t = calc_host_local_ms(2026, 3, 10, 12, 0);
    set("A1", 3600);
    set("A2", 1);
    set("D1", 0);
    calc_host_at(&h, t, 0);
    calc_host_run(&h, p);
    calc_host_at(&h, t + 1000, 1000);
    calc_host_run(&h, p);
    cx_state_rec recs[3];
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(cx_state_get(p, i, &recs[i]), 0);
    EXPECT_STREQ(recs[0].fn, "sum_day");
    EXPECT_STREQ(recs[1].fn, "lpf");
    EXPECT_STREQ(recs[2].fn, "cnt_day");
    EXPECT_EQ(recs[0].acc, 3600000);
    EXPECT_EQ(cx_state_get(p, 3, &recs[0]), -1);
    // a fresh tree continues where the old one stopped
    cx_node *q = parse(prog);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(cx_state_set(q, i, &recs[i]), 0);
    calc_host_at(&h, t + 2000, 1000);
    calc_host_run(&h, q);
    EXPECT_EQ(get("A10"), 2 + 1);
    // a changed formula keeps its node fresh
    cx_node *r = parse("A10 := avg_day(A1) + lpf(A2, 5)");
    EXPECT_EQ(cx_state_set(r, 0, &recs[0]), -1);
    EXPECT_EQ(cx_state_set(r, 1, &recs[1]), 0);
    EXPECT_EQ(cx_state_set(r, 5, &recs[1]), -1);
}

}  // namespace

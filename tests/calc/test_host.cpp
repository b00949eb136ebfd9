// The in-memory host zqst, the tests and the benchmark run programs on:
// declarations, how cells store values, names of cells, and which channels
// a program created.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "calc/calc_host.h"

namespace {

TEST(calc_host, DeclarationsLayOutCells) {
    calc_host h;
    ASSERT_EQ(calc_host_declare(&h, "x"), 0);  // LREAL by default
    ASSERT_EQ(calc_host_declare(&h, "grid[2,3]:int"), 0);
    ASSERT_EQ(calc_host_declare(&h, "ts[2]:FBD_TIMER"), 0);
    int dim[1] = {4};
    ASSERT_EQ(calc_host_add_var(&h, "c", 0, CX_KIND_COUNTER, 0, nullptr), 0);
    ASSERT_EQ(calc_host_add_var(&h, "v", CX_T_REAL, CX_KIND_PLAIN, 1, dim), 0);
    const calc_host_var *g = calc_host_find(&h, "grid");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->type, CX_T_INT);
    EXPECT_EQ(g->base, 1);
    EXPECT_EQ(g->cells, 6);
    EXPECT_EQ(calc_host_find(&h, "ts")->base, 7);
    EXPECT_EQ(calc_host_find(&h, "c")->base, 7 + 2 * CX_STRUCT_LEN);
    EXPECT_EQ(h.cells.size(), 1 + 6 + 2 * 13 + 13 + 4u);
    // structures start at their defaults, everything good
    EXPECT_EQ(calc_host_value(&h, "ts[1].EnableIn"), 1);
    EXPECT_EQ(calc_host_value(&h, "ts[1].PRE"), 0);
    EXPECT_EQ(calc_host_value(&h, "grid[1,2]"), 0);
    EXPECT_EQ(calc_host_type_of(&h, 0, CX_VAR_BASE + 3), CX_T_INT);
    EXPECT_EQ(calc_host_type_of(&h, 0, CX_VAR_BASE + 8), 0);  // structure member

    const char *bad[] = {"",    "1x",     "x",  "then",  "a b",        "y[0]",  "y[2,2,2,2]",
                         "y[3", "y:NOPE", "y:", "y[2]x", "y[1048577]", "y[2,]", "y[1024,1024,2]"};
    for (const char *decl : bad)
        EXPECT_EQ(calc_host_declare(&h, decl), -1) << decl;
    EXPECT_EQ(calc_host_declare(&h, (std::string(64, 'n') + ":INT").c_str()), -1);
    // the cell limit holds for a product that overflows 64 bits too
    EXPECT_EQ(calc_host_declare(&h, "y[1048576,1048576,1048576]:FBD_TIMER"), -1);
    EXPECT_EQ(calc_host_add_var(&h, "y", 0, 7, 0, nullptr), -1);
    EXPECT_EQ(h.vars.size(), 5u);
}

TEST(calc_host, StoresLikeTheEngine) {
    calc_host h;
    ASSERT_EQ(calc_host_declare(&h, "x:DINT"), 0);
    calc_host_store(&h, 1, 3, 0, 2.6);  // discrete: a byte
    EXPECT_EQ(calc_host_value(&h, "D3"), 3);
    calc_host_store(&h, 1, 3, 0, 300);
    EXPECT_EQ(calc_host_value(&h, "D3"), 255);
    calc_host_store(&h, 1, 3, 0, -4);
    EXPECT_EQ(calc_host_value(&h, "D3"), 0);
    calc_host_store(&h, 0, 3, 0, -4.5);
    EXPECT_EQ(calc_host_value(&h, "A3"), -4.5);
    calc_host_store(&h, 0, 3, 0, INFINITY);  // not finite: bad
    EXPECT_TRUE(std::isnan(calc_host_value(&h, "A3")));
    EXPECT_TRUE(std::isnan(calc_host_value(&h, "A4")));  // never stored
    // channels past the table and at the top of the range
    EXPECT_EQ(calc_host_set(&h, "A999997", 7), 0);
    EXPECT_EQ(calc_host_value(&h, "A999997"), 7);
    EXPECT_EQ(h.chan[0].size(), 4u);
    calc_host_store(&h, 0, 0, 0, 1);  // no channel 0
    calc_host_store(&h, 0, CX_CHAN_MAX + 1, 0, 1);
    double v = 0;
    EXPECT_EQ(calc_host_read(&h, 0, 0, &v), -1);
    EXPECT_EQ(calc_host_read(&h, 0, CX_CHAN_MAX + 1, &v), -1);
    // variables
    EXPECT_EQ(calc_host_set(&h, "x", 5), 0);
    EXPECT_EQ(calc_host_value(&h, "x"), 5);
    EXPECT_EQ(calc_host_set(&h, "x", 5, 1), 0);
    EXPECT_TRUE(std::isnan(calc_host_value(&h, "x")));
    EXPECT_EQ(calc_host_read(&h, 0, CX_VAR_BASE + 1, &v), -1);  // past the cells
    EXPECT_EQ(calc_host_set(&h, "nosuch", 1), -1);
    EXPECT_EQ(calc_host_set(&h, "A1 + 1", 1), -1);  // not one cell
    EXPECT_EQ(h.writes, 0);
}

TEST(calc_host, ProgramWritesAndCreatedChannels) {
    calc_host h;
    ASSERT_EQ(calc_host_declare(&h, "x"), 0);
    calc_host_store(&h, 0, 2, 0, 1);  // known before the program runs
    cx_node *p = calc_host_parse(&h, "A5 := 1; A2 := 2; x := 3; D[A2] := A9; A5 := 4;");
    ASSERT_NE(p, nullptr) << h.err;
    calc_host_at(&h, 1000, 0);
    EXPECT_EQ(calc_host_run(&h, p), 0);
    EXPECT_EQ(h.writes, 5);
    ASSERT_EQ(h.created.size(), 2u);  // A5, then D2 (stored as bad)
    EXPECT_EQ(h.created[0], std::make_pair(0, 5));
    EXPECT_EQ(h.created[1], std::make_pair(1, 2));
    EXPECT_TRUE(std::isnan(calc_host_value(&h, "D2")));
    EXPECT_EQ(calc_host_value(&h, "A5"), 4);
    calc_host_run(&h, p);
    EXPECT_EQ(h.created.size(), 2u);
    cx_free(p);

    EXPECT_EQ(calc_host_parse(&h, "A1 := (1 +"), nullptr);
    EXPECT_EQ(h.line, 1);
    EXPECT_EQ(h.col, 11);
}

TEST(calc_host, CellNames) {
    calc_host h;
    ASSERT_EQ(calc_host_declare(&h, "x"), 0);
    ASSERT_EQ(calc_host_declare(&h, "g[2,3]:INT"), 0);
    ASSERT_EQ(calc_host_declare(&h, "ts[2]:FBD_TIMER"), 0);
    const char *names[] = {"x", "g[0,0]", "g[1,2]", "ts[0].EnableIn", "ts[1].DN", "A7", "D12"};
    for (const char *name : names) {
        int isd = 0, index = 0;
        ASSERT_EQ(calc_host_lookup(&h, name, &isd, &index), 0) << name;
        EXPECT_EQ(calc_host_cell_name(&h, isd, index), name);
    }
    EXPECT_EQ(calc_host_cell_name(&h, 0, CX_VAR_BASE + 7 + 12), "ts[0]._T");
    EXPECT_EQ(calc_host_cell_name(&h, 0, CX_VAR_BASE + 1000), "?");
}

TEST(calc_host, LocalTime) {
    setenv("TZ", "Europe/Kyiv", 1);
    tzset();
    EXPECT_EQ(calc_host_local_ms(2026, 3, 10, 12, 0), 1773136800000);
    EXPECT_EQ(calc_host_local_ms(2026, 7, 1, 0, 0, 30) - calc_host_local_ms(2026, 6, 30, 23, 0),
              3630000);
}

}  // namespace

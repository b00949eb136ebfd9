// Parser: literals and typing, precedence, every error message on a minimal
// wrong program, routine checks and hostile input.

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "calc/calc_host.h"
#include "calc/cexpr_tree.h"

namespace {

struct parse_fixture : ::testing::Test {
    calc_host h;
    void SetUp() override {
        for (const char *decl : {"n:DINT", "m:DINT", "u:USINT", "arr[5]:LREAL", "grid[3,4]:INT",
                                 "t:FBD_TIMER", "ts[4]:FBD_TIMER", "c:FBD_COUNTER"})
            ASSERT_EQ(calc_host_declare(&h, decl), 0) << decl;
    }
    // Parses an expression and returns its root (freed by the fixture).
    cx_node *expr(const char *text) {
        cx_node *n = calc_host_parse(&h, text);
        EXPECT_NE(n, nullptr) << text << ": " << h.err;
        nodes.push_back(n);
        return n;
    }
    void TearDown() override {
        for (cx_node *n : nodes)
            cx_free(n);
    }
    std::vector<cx_node *> nodes;
};

TEST_F(parse_fixture, LiteralsAndTheirTypes) {
    cx_node *n = expr("16#FF_FF");
    EXPECT_EQ(n->kind, CX_LIT);
    EXPECT_EQ(n->type, CX_T_DINT);
    EXPECT_EQ(n->value, 65535);
    n = expr("16#FFFFFFFF");
    EXPECT_EQ(n->value, -1);
    EXPECT_EQ(n->type, CX_T_DINT);
    n = expr("16#1_0000_0000");
    EXPECT_EQ(n->type, CX_T_LINT);
    EXPECT_EQ(n->value, 4294967296.0);
    EXPECT_EQ(expr("2#1010")->value, 10);
    EXPECT_EQ(expr("8#17")->value, 15);
    EXPECT_EQ(expr("2147483647")->type, CX_T_DINT);
    EXPECT_EQ(expr("2147483648")->type, CX_T_LINT);
    EXPECT_EQ(expr("99999999999999999999")->type, 0);
    EXPECT_EQ(expr("1.5")->type, 0);
    EXPECT_EQ(expr(".5")->value, 0.5);
    EXPECT_EQ(expr("1e3")->value, 1000);
    EXPECT_EQ(expr("TRUE")->type, CX_T_BOOL);
    EXPECT_EQ(expr("false")->value, 0);
    // a prefix minus on a literal stays a literal (constant index, labels)
    EXPECT_EQ(expr("-5")->kind, CX_LIT);

    EXPECT_EQ(calc_host_parse(&h, "2#102"), nullptr);
    EXPECT_STREQ(h.err, "невірний літерал (цифра не з основи або понад 64 біти) біля «2#102»");
    EXPECT_EQ(calc_host_parse(&h, "16#1_0000_0000_0000_0000"), nullptr);
    EXPECT_EQ(calc_host_parse(&h, "16#FF_"), nullptr);
    EXPECT_EQ(calc_host_parse(&h, "16#FFG"), nullptr);
}

TEST_F(parse_fixture, HashIsARadixMarkOnlyInsideALiteral) {
    cx_node *p = expr("A1 := 16#FF; # comment 16#10\nA2 := 2; # 8#7");
    calc_host_run(&h, p);
    EXPECT_EQ(calc_host_value(&h, "A1"), 255);
    EXPECT_EQ(calc_host_value(&h, "A2"), 2);
    int unc = 0;
    const char *t = "x 16#F";
    EXPECT_EQ(cx_comment_len(t, t + 4, &unc), 0);        // radix mark
    EXPECT_EQ(cx_comment_len(nullptr, t + 4, &unc), 2);  // no start: comment
    const char *t2 = "a16#F";
    EXPECT_EQ(cx_comment_len(t2, t2 + 3, &unc), 2);  // preceded by a letter
    const char *t3 = "(* open";
    EXPECT_EQ(cx_comment_len(t3, t3, &unc), 7);
    EXPECT_EQ(unc, 1);
}

TEST_F(parse_fixture, PrecedenceAndTyping) {
    // NOT a = b is NOT (a = b)
    cx_node *n = expr("NOT n = m");
    EXPECT_EQ(n->kind, CX_UNOP);
    EXPECT_EQ(n->op, CX_OP_LNOT);
    EXPECT_EQ(n->child->op, CX_OP_EQ);
    // -2 ** 2 is -(2 ** 2)
    EXPECT_EQ(calc_host_eval(&h, expr("-2 ** 2"), false).v, -4);
    EXPECT_EQ(calc_host_eval(&h, expr("2 ** -1"), false).v, 0.5);
    EXPECT_EQ(calc_host_eval(&h, expr("2 ** 3 ** 2"), false).v, 64);  // left-associative
    EXPECT_EQ(calc_host_eval(&h, expr("1 + 2 * 3 - 4 / 2"), false).v, 5);
    // word operators on integers are bitwise, symbols stay logical
    n = expr("n AND m");
    EXPECT_EQ(n->op, CX_OP_BAND);
    EXPECT_EQ(n->type, CX_T_DINT);
    n = expr("n && m");
    EXPECT_EQ(n->op, CX_OP_LAND);
    EXPECT_EQ(n->type, CX_T_BOOL);
    EXPECT_EQ(expr("n OR m")->op, CX_OP_BOR);
    EXPECT_EQ(expr("n || m")->op, CX_OP_LOR);
    EXPECT_EQ(expr("n XOR m")->op, CX_OP_BXOR);
    EXPECT_EQ(expr("A1 AND A2")->op, CX_OP_LAND);  // untyped channels: logical
    EXPECT_EQ(expr("NOT n")->op, CX_OP_BNOT);
    EXPECT_EQ(expr("!n")->op, CX_OP_LNOT);
    EXPECT_EQ(expr("n + u")->type, CX_T_DINT);
    EXPECT_EQ(expr("n / m")->type, 0);
    EXPECT_EQ(expr("n < m")->type, CX_T_BOOL);
    EXPECT_EQ(expr("-n")->type, CX_T_DINT);
    EXPECT_EQ(expr("A1 <> A2")->op, CX_OP_NE);
    EXPECT_EQ(expr("A1 != A2")->op, CX_OP_NE);
    EXPECT_EQ(expr("A1 == A2")->op, CX_OP_EQ);
    // a chained comparison stops after the first one
    EXPECT_EQ(calc_host_parse(&h, "A1 := A2 < A3 < A4"), nullptr);
    EXPECT_EQ(std::string(h.err).rfind("очікувалось ';'", 0), 0u) << h.err;
}

TEST_F(parse_fixture, ReferencesSelectorsAndBits) {
    cx_node *n = expr("A5.3");
    EXPECT_EQ(n->kind, CX_BIT);
    EXPECT_EQ(n->bit, 3);
    EXPECT_EQ(n->child->index, 5);
    EXPECT_EQ(calc_host_parse(&h, "A1 := A5 .3"), nullptr);  // a blank: no bit suffix
    n = expr("ts[2].ACC");
    EXPECT_EQ(n->kind, CX_REF);
    EXPECT_EQ(n->index, CX_VAR_BASE + calc_host_find(&h, "ts")->base + 2 * CX_STRUCT_LEN + 5);
    n = expr("ts[n].DN");
    EXPECT_EQ(n->kind, CX_DYNCELL);
    EXPECT_EQ(n->child->kind, CX_TERM);
    EXPECT_EQ(n->child->stride, CX_STRUCT_LEN);
    EXPECT_EQ(n->child->bound, 4);
    n = expr("grid[1, n]");
    EXPECT_EQ(n->kind, CX_ARRAY);
    EXPECT_EQ(n->nargs, 2);
    EXPECT_EQ(n->type, CX_T_INT);
    EXPECT_EQ(expr("d[n + 1]")->kind, CX_INDIRECT);
    EXPECT_EQ(expr("arr")->index, CX_VAR_BASE + calc_host_find(&h, "arr")->base);  // first cell
}

TEST_F(parse_fixture, StatementsAndCase) {
    cx_node *p =
        expr("CASE n OF\n 1, 3..5: A1 := 1;\n -2: A1 := 2;\n 16#10: ;\nELSE A1 := 3;\nEND_CASE");
    ASSERT_EQ(p->kind, CX_LIST);
    cx_node *c = p->child;
    ASSERT_EQ(c->kind, CX_CASE);
    int arms = 0;
    for (cx_node *a = c->child; a; a = a->next)
        arms++;
    EXPECT_EQ(arms, 3);
    EXPECT_EQ(c->child->nranges, 2);
    EXPECT_EQ(c->child->ranges[2], 3);
    EXPECT_EQ(c->child->ranges[3], 5);
    EXPECT_EQ(c->child->next->ranges[0], -2);
    EXPECT_EQ(c->child->next->next->child, nullptr);  // empty arm
    EXPECT_NE(c->next, nullptr);
    // keyword aliases
    expr("if A1 > 0 then A2 := 1 elif A1 < 0 then A2 := 2 else A2 := 3 fi");
    expr(
        "FOR n := 1 TO 3 BY 1 DO A1 := n ENDFOR; WHILE 0 DO A1 := 1 ENDWHILE;"
        "REPEAT A1 := 1 UNTIL 1 ENDREPEAT; CASE n OF 1: A1 := 1 ENDCASE");
    EXPECT_TRUE(cx_is_stmt(expr("A1 := 1")));
    EXPECT_FALSE(cx_is_stmt(expr("A1 + 1")));
}

TEST(looks_stmt, DecidesBetweenProgramAndExpression) {
    EXPECT_TRUE(cx_looks_stmt("A1 := 1"));
    EXPECT_TRUE(cx_looks_stmt("TONR (t)"));
    EXPECT_TRUE(cx_looks_stmt("jsr(r)"));
    EXPECT_TRUE(cx_looks_stmt("ROUTINE r END_ROUTINE"));
    EXPECT_FALSE(cx_looks_stmt("A1 + 1"));
    EXPECT_FALSE(cx_looks_stmt("(* A1 := 1 *) A2"));
    EXPECT_FALSE(cx_looks_stmt("// x := 1\nA2"));
    EXPECT_FALSE(cx_looks_stmt("myjsr(1)"));
}

struct bad_case {
    const char *text;
    const char *msg;
    int line;
};

// Every message of the parser on a minimal wrong program.
TEST_F(parse_fixture, ErrorMessages) {
    std::string many_ret = "JSR(r, 0";
    for (int i = 1; i <= 41; i++)
        many_ret += ", A" + std::to_string(i);
    many_ret += ")";
    std::string many_par = "A1 := 1; ROUTINE r SBR(";
    for (int i = 1; i <= 41; i++)
        many_par += (i > 1 ? ", A" : "A") + std::to_string(i);
    many_par += ") END_ROUTINE";
    std::string long_name = "A1 := 1;\nROUTINE " + std::string(64, 'r') + " END_ROUTINE";
    const bad_case cases[] = {
        {"A1 := 1;\n(* open", "незакритий коментар", 2},
        {"A1 := 2#102", "невірний літерал (цифра не з основи або понад 64 біти)", 1},
        {"1 2", "зайвий текст після виразу", 1},
        {"IF A1 > 0 THEN END_IF; A1 := 1", "порожній блок операторів", 1},
        {"A1 := (1 + 2", "очікувалась ')'", 1},
        {"A1 := min(1, 2, 3, 4, 5)", "забагато аргументів", 1},
        {"A1 := abs(1, 2)", "неправильна кількість аргументів", 1},
        {"A1 := year(1)", "неправильна кількість аргументів", 1},
        {"A1 := TONR(t)", "інструкція — окремий оператор, напр. TONR(t);", 1},
        {"A1 := foo(1)", "невідома функція", 1},
        {"A1 := n[1]", "індексація дозволена лише для VAR-масиву", 1},
        {"A1 := arr[1, 2, 3, 4]", "забагато індексів масиву", 1},
        {"A1 := arr[1, 2]", "невірна кількість індексів масиву", 1},
        {"A1 := ts[1, 2].ACC", "невірна кількість індексів масиву", 1},
        {"A1 := arr[1", "очікувалась ']'", 1},
        {"A1 := ts[4].ACC", "індекс поза межами масиву", 1},
        {"A1 := ts[-1].ACC", "індекс поза межами масиву", 1},
        {"A1 := t.FOO", "невідомий член FBD_TIMER", 1},
        {"A1 := t._T", "невідомий член FBD_TIMER", 1},
        {"A1 := c.FOO", "невідомий член FBD_COUNTER", 1},
        {"A1 := ts.ACC", "масив — вкажи індекс", 1},
        {"A1 := ts", "масив — вкажи індекс", 1},
        {"A1 := t", "FBD_TIMER — вкажи член (напр. t.DN)", 1},
        {"A1 := c", "FBD_COUNTER — вкажи член (напр. c.ACC)", 1},
        {"A1 := then", "очікувався вираз, а не ключове слово", 1},
        {"A1 := nosuch", "невідомий тег/ім'я", 1},
        {"A1 := A1000000", "невідомий тег/ім'я", 1},
        {"A1 := ;", "очікувалось число, тег або '('", 1},
        {"A1 := A5.;", "після '.' очікується номер біта", 1},
        {"A1 := A5.3x", "невірний номер біта", 1},
        {"A1 := A5.64", "номер біта 0..63", 1},
        {"A1 := D2.8", "номер біта дискрета 0..7", 1},
        {"D1.8 := 1", "номер біта дискрета 0..7", 1},
        {"IF A1 > 0 A2 := 1; END_IF", "очікувалось 'then'", 1},
        {"IF A1 > 0 THEN A2 := 1;", "очікувалось 'fi'/'END_IF'", 1},
        {"FOR zz := 1 TO 3 DO A1 := 1; END_FOR", "невідомий лічильник циклу (заведіть VAR)", 1},
        {"FOR := 1 TO 3 DO A1 := 1; END_FOR", "очікувався лічильник циклу", 1},
        {"FOR n = 1 TO 3 DO A1 := 1; END_FOR", "очікувалось ':=' у 'for'", 1},
        {"FOR n := 1 3 DO A1 := 1; END_FOR", "очікувалось 'to'", 1},
        {"FOR n := 1 TO 3 A1 := 1; END_FOR", "очікувалось 'do'", 1},
        {"FOR n := 1 TO 3 DO A1 := 1;", "очікувалось 'END_FOR'", 1},
        {"WHILE A1 > 0 A1 := 1; END_WHILE", "очікувалось 'DO'", 1},
        {"WHILE A1 > 0 DO A1 := 1;", "очікувалось 'END_WHILE'", 1},
        {"REPEAT A1 := 1; END_REPEAT", "очікувалось 'UNTIL'", 1},
        {"REPEAT A1 := 1; UNTIL A1 > 0", "очікувалось 'END_REPEAT'", 1},
        {"A1 := 1;\nEXIT;", "EXIT поза циклом FOR/WHILE/REPEAT", 2},
        {"CASE n A1 := 1; END_CASE", "очікувалось 'OF'", 1},
        {"CASE n OF x: A1 := 1; END_CASE", "очікувалась константа-селектор", 1},
        {"CASE n OF 1..: A1 := 1; END_CASE", "очікувалась верхня межа діапазону", 1},
        {"CASE n OF 5..3: A1 := 1; END_CASE", "діапазон селектора: нижня межа більша за верхню", 1},
        {"CASE n OF 1 A1 := 1; END_CASE", "очікувалась ':' після селектора", 1},
        {"CASE n OF 1 := 1; END_CASE", "очікувалась ':' після селектора", 1},
        {"CASE n OF END_CASE; A1 := 1", "CASE без жодного селектора", 1},
        {"CASE n OF 1: A1 := 1;", "очікувалось 'END_CASE'", 1},
        {"JSR(1)", "JSR: очікувалось ім'я рутини", 1},
        {"JSR(r, 41)", "JSR: кількість входів — ціле 0..40", 1},
        {"JSR(r, x)", "JSR: кількість входів — ціле 0..40", 1},
        {"JSR(r, 2, A1)", "JSR: входів менше, ніж указано", 1},
        {many_ret.c_str(), "JSR: понад 40 повернень", 1},
        {many_par.c_str(), "понад 40 параметрів", 1},
        {"SBR(A1)", "SBR — лише в підпрограмі", 1},
        {"A1 := 1;\nRET;", "RET у головній рутині неможливий", 2},
        {"A1 := 1;\nRET(1)", "RET у головній рутині неможливий", 2},
        {"TONR(c)", "аргумент — структура FBD_TIMER", 1},
        {"TONR(ts)", "аргумент — структура FBD_TIMER", 1},
        {"TONR(A1)", "аргумент — структура FBD_TIMER", 1},
        {"CTUD(t)", "аргумент — структура FBD_COUNTER", 1},
        {"A1 = 1; A2 := 2", "очікувалось ':='", 1},
        {"then := 1", "ключове слово не може бути приймачем", 1},
        {"A1 := 1; ;", "очікувався тег або оператор (if/for/while/repeat/case)", 1},
        {"A[1].2 := 1", "бітовий запис у A[вираз]/D[вираз] заборонено", 1},
        {"zz := 1", "невідомий тег-приймач", 1},
        {"JSR(r, 0, 5)", "очікувався приймач", 1},
        {"A1 := 1;\nROUTINE 5 END_ROUTINE", "ROUTINE: очікувалось ім'я", 2},
        {"A1 := 1;\nROUTINE r A1 := 2;", "очікувалось 'END_ROUTINE'", 2},
        {"A1 := 1; ROUTINE r ROUTINE q END_ROUTINE END_ROUTINE", "вкладених визначень рутин немає",
         1},
        {"A1 := 1;\nEND_IF", "зайвий текст", 2},
        {"A1 := 1;\n5", "зайвий текст", 2},
        {long_name.c_str(), "невірне ім'я рутини", 2},
        {"A1 := 1;\nROUTINE then END_ROUTINE", "ключове слово не може бути іменем рутини", 2},
        {"A1 := 1; ROUTINE r END_ROUTINE\nROUTINE R END_ROUTINE", "дві рутини з однаковим ім'ям",
         2},
    };
    for (const bad_case &bc : cases) {
        cx_node *n = calc_host_parse(&h, bc.text);
        EXPECT_EQ(n, nullptr) << bc.text;
        cx_free(n);
        EXPECT_EQ(std::string(h.err).rfind(bc.msg, 0), 0u)
            << bc.text << "\n  got:  " << h.err << "\n  want: " << bc.msg;
        EXPECT_EQ(h.line, bc.line) << bc.text;
    }
}

// Host-defined structure kinds (16 and up) through host slots 4 and 5.
TEST(parse_user_structs, MembersLengthsAndMessages) {
    cx_host h{};
    h.data_info = [](void *, const char *name, cx_data_desc *d) -> int {
        *d = cx_data_desc{};
        d->base = CX_VAR_BASE;
        if (strcmp(name, "m") == 0)
            d->kind = 16;
        else if (strcmp(name, "ms") == 0)
            d->kind = 16, d->ndim = 1, d->dim[0] = 3;
        else if (strcmp(name, "odd") == 0)
            d->kind = 7, d->ndim = 1, d->dim[0] = 2;
        else
            return -1;
        return 0;
    };
    h.member_info = [](void *, int kind, const char *m, cx_member_desc *out) -> int {
        if (kind != 16 || strcmp(m, "Speed") != 0) return -1;
        *out = cx_member_desc{2, CX_T_REAL, 0, 0};
        return 0;
    };
    h.struct_len = [](void *, int kind) -> int { return kind == 16 ? 4 : 0; };
    char err[256];
    cx_node *n = cx_parse_host("ms[2].Speed", &h, nullptr, err, sizeof err, nullptr);
    ASSERT_NE(n, nullptr) << err;
    EXPECT_EQ(n->index, CX_VAR_BASE + 2 * 4 + 2);
    EXPECT_EQ(n->type, CX_T_REAL);
    cx_free(n);
    const struct {
        const char *text, *msg;
    } bad[] = {
        {"m.Foo", "невідомий член структури"},
        {"m", "структура — вкажи член (напр. m.Speed)"},
        {"odd[1]", "невідома довжина типу структури"},
    };
    for (const auto &b : bad) {
        EXPECT_EQ(cx_parse_host(b.text, &h, nullptr, err, sizeof err, nullptr), nullptr);
        EXPECT_EQ(std::string(err).rfind(b.msg, 0), 0u) << b.text << ": " << err;
    }
}

TEST_F(parse_fixture, ErrorSnippetAndColumn) {
    EXPECT_EQ(calc_host_parse(&h, "A1 := 1;\n  A2 := nosuch + 1234567890123456789"), nullptr);
    EXPECT_STREQ(h.err, "невідомий тег/ім'я біля «nosuch + 1234567…»");
    EXPECT_EQ(h.line, 2);
    EXPECT_EQ(h.col, 9);
    EXPECT_EQ(calc_host_parse(&h, "A1 := "), nullptr);
    EXPECT_STREQ(h.err, "очікувалось число, тег або '(' біля «кінець виразу»");
    // the snippet never splits a UTF-8 sequence
    EXPECT_EQ(calc_host_parse(&h, "A1 := 1 ґґґґґґґґґ"), nullptr);
    EXPECT_STREQ(h.err, "очікувалось ';' біля «ґґґґґґґґ…»");
    // a short error buffer is cut, never overrun
    char small[8];
    EXPECT_EQ(cx_parse_host("A1 := ", &calc_host_slots, &h, small, sizeof small, nullptr), nullptr);
    EXPECT_EQ(strlen(small), 7u);
}

// Program checks: messages alone, with the line of the statement concerned.
TEST_F(parse_fixture, RoutineChecks) {
    const bad_case cases[] = {
        {"A1 := 1;\nROUTINE r A1 := 2;\nSBR(A3) END_ROUTINE",
         "SBR — лише першим оператором підпрограми", 3},
        {"A1 := 1;\nROUTINE r A1 := sum_day(A2) END_ROUTINE",
         "функція зі станом (sum/avg/cnt/rhythm/lpf/prev) у підпрограмі заборонена", 2},
        {"A1 := 1;\nJSR(q)", "невідома рутина", 2},
        {"A1 := 1; ROUTINE r SBR(A3) END_ROUTINE\nJSR(r)",
         "JSR передає 0 вх., SBR рутини приймає 1", 2},
        {"A1 := 1; ROUTINE r A1 := 1 END_ROUTINE\nJSR(r, 0, A5)",
         "рутина без RET, а JSR чекає 1 повернень", 2},
        {"A1 := 1; ROUTINE r RET(1) END_ROUTINE\nJSR(r, 0, A5, A6)",
         "RET рутини повертає 1, а JSR чекає 2", 2},
        {"A1 := 1;\nROUTINE a JSR(b) END_ROUTINE\nROUTINE b JSR(a) END_ROUTINE",
         "рекурсивний виклик рутини", 3},
        {"JSR(a);\nROUTINE a JSR(a) END_ROUTINE", "рекурсивний виклик рутини", 2},
    };
    for (const bad_case &bc : cases) {
        cx_node *n = calc_host_parse(&h, bc.text);
        EXPECT_EQ(n, nullptr) << bc.text;
        cx_free(n);
        EXPECT_STREQ(h.err, bc.msg) << bc.text;
        EXPECT_EQ(h.line, bc.line) << bc.text;
    }
    // call depth: a chain of 26 routines is one too deep, 25 is fine
    for (int depth : {25, 26}) {
        std::string prog = "JSR(r0);\n";
        for (int i = 0; i < depth; i++) {
            prog += "ROUTINE r" + std::to_string(i) + " ";
            prog += i + 1 < depth ? "JSR(r" + std::to_string(i + 1) + ")" : "A1 := 1";
            prog += " END_ROUTINE\n";
        }
        cx_node *n = calc_host_parse(&h, prog.c_str());
        if (depth == 25) {
            ASSERT_NE(n, nullptr) << h.err;
            EXPECT_EQ(cx_call_depth(n), 25);
            cx_free(n);
        } else {
            EXPECT_EQ(n, nullptr);
            EXPECT_STREQ(h.err, "вкладеність викликів понад 25");
        }
    }
}

TEST_F(parse_fixture, ProgramNodeAndRoutineInspection) {
    cx_node *p = expr(
        "JSR(Scale, 1, A1, A2);\n"
        "ROUTINE Scale SBR(A9); RET(A9 * 2) END_ROUTINE;\n"
        "ROUTINE unused\n  RET\nEND_ROUTINE\n"
        "A3 := 1;");
    ASSERT_EQ(p->kind, CX_PROGRAM);
    EXPECT_EQ(cx_routine_count(p), 2);
    EXPECT_STREQ(cx_routine_name(p, 0), "Scale");
    EXPECT_EQ(cx_routine_used(p, 0), 1);
    EXPECT_EQ(cx_routine_used(p, 1), 0);
    EXPECT_EQ(cx_routine_name(p, 2), nullptr);
    EXPECT_EQ(cx_call_depth(p), 1);
    // both main pieces were joined
    int n = 0;
    for (cx_node *c = p->child; c; c = c->next)
        n++;
    EXPECT_EQ(n, 2);
}

TEST_F(parse_fixture, ParseProgramWithSegments) {
    const cx_host &t = calc_host_slots;
    char err[256];
    int64_t pos = 0;
    cx_segment segs[] = {{"Helper", "SBR(A5);\nRET(A5 + 1)"}, {"Other", "A7 := 1"}};
    cx_node *p =
        cx_parse_program("JSR(Helper, 1, 2, A6)", "Main", segs, 2, &t, &h, err, sizeof err, &pos);
    ASSERT_NE(p, nullptr) << err;
    EXPECT_EQ(pos, -1);
    calc_host_at(&h, 1000, 0);
    calc_host_run(&h, p);
    EXPECT_EQ(calc_host_value(&h, "A6"), 3);
    cx_free(p);

    cx_segment bad[] = {{"Helper", "A1 := 1;\nA2 := nosuch"}};
    EXPECT_EQ(cx_parse_program("A1 := 1", "Main", bad, 1, &t, &h, err, sizeof err, &pos), nullptr);
    EXPECT_EQ(pos >> 32, 2);
    EXPECT_EQ(pos & 0xFFFFFFFF, 1);
    cx_segment clash[] = {{"main", "A1 := 1"}};
    EXPECT_EQ(cx_parse_program("A1 := 1", "Main", clash, 1, &t, &h, err, sizeof err, &pos),
              nullptr);
    EXPECT_STREQ(err, "ім'я збігається з головною рутиною");
    EXPECT_EQ(cx_parse_program("JSR(Main)", "Main", nullptr, 0, &t, &h, err, sizeof err, &pos),
              nullptr);
    EXPECT_STREQ(err, "головну рутину викликати не можна");
    EXPECT_EQ(cx_parse_program("", "Main", nullptr, 0, &t, &h, err, sizeof err, &pos), nullptr);
    EXPECT_STREQ(err, "порожній блок операторів біля «кінець виразу»");
}

// The options record: the error's segment, line and column; a program
// where one is required; no record at all.
TEST_F(parse_fixture, LoadOptionsAndPositions) {
    cx_segment segs[] = {{"Helper", "A1 := 1;\n  A2 := nosuch"}};
    cx_load_opts lo = calc_host_opts(&h);
    lo.main_name = "Main";
    lo.segs = segs;
    lo.nsegs = 1;
    EXPECT_EQ(cx_load("A1 := 1", &lo), nullptr);
    EXPECT_STREQ(h.err, "невідомий тег/ім'я біля «nosuch»");
    EXPECT_EQ(lo.segment, 1);
    EXPECT_EQ(lo.line, 2);
    EXPECT_EQ(lo.col, 9);

    lo = calc_host_opts(&h);
    lo.program = 1;
    EXPECT_EQ(cx_load("A1 + 1", &lo), nullptr);
    EXPECT_STREQ(h.err, "очікувалось ':=' біля «+ 1»");
    EXPECT_EQ(lo.line, 1);
    EXPECT_EQ(lo.col, 4);
    cx_node *n = cx_load("A1 := 2", &lo);
    ASSERT_NE(n, nullptr) << h.err;
    EXPECT_EQ(lo.line, 0);
    EXPECT_EQ(lo.col, 0);
    EXPECT_EQ(lo.segment, 0);
    cx_free(n);

    n = cx_load("A1 + 1", nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->kind, CX_BINOP);
    cx_free(n);
    EXPECT_EQ(cx_load("A1 +", nullptr), nullptr);
}

// The server checks posted programs on several threads at once: loads on
// different threads give what one thread gives.
TEST(parse_threads, LoadsOnSeveralThreadsAtOnce) {
    const char *texts[] = {
        ("A1 := (A2 + 3) * 2; IF A1 > 4 THEN D1 := NOT D2; END_IF; JSR(r, 1, A3, A4);\n"
         "ROUTINE r SBR(A9); RET(A9 ** 2) END_ROUTINE"),
        "A1 := 1;\n  A2 := nosuch + 1",
        "A1 := 1; ROUTINE a JSR(b) END_ROUTINE\nROUTINE b JSR(a) END_ROUTINE",
        "x := ",
    };
    auto load_all = [&](std::string *out) {
        calc_host h;
        calc_host_declare(&h, "x:INT");
        for (int round = 0; round < 200; round++)
            for (const char *t : texts) {
                cx_node *n = calc_host_parse(&h, t);
                if (round == 0)
                    *out += std::to_string(n != nullptr) + " " + h.err + " " +
                            std::to_string(h.line) + ":" + std::to_string(h.col) + "\n";
                cx_free(n);
            }
    };
    std::string want;
    load_all(&want);
    std::vector<std::string> got(4);
    std::vector<std::thread> threads;
    for (std::string &g : got)
        threads.emplace_back(load_all, &g);
    for (std::thread &t : threads)
        t.join();
    for (const std::string &g : got)
        EXPECT_EQ(g, want);
}

// Programs the engineering editor may receive from anyone: the parser must
// answer with a message, never overflow the stack or loop.
TEST_F(parse_fixture, HostileProgramsGiveMessages) {
    const int big = 200000;
    struct gen {
        std::string text;
        const char *msg;
    };
    std::vector<gen> gens;
    gens.push_back({"A1 := " + std::string(big, '(') + "1", "вираз надто глибоко вкладений"});
    std::string nots = "A1 := ";
    for (int i = 0; i < big; i++)
        nots += "NOT ";
    gens.push_back({nots + "1", "вираз надто глибоко вкладений"});
    gens.push_back({"A1 := " + std::string(big, '!') + "1", "вираз надто глибоко вкладений"});
    gens.push_back({"A1 := " + std::string(big, '-') + "1", "вираз надто глибоко вкладений"});
    std::string chain = "A1 := 1";
    for (int i = 0; i < big; i++)
        chain += "+1";
    gens.push_back({chain, "вираз надто глибоко вкладений"});
    std::string pow = "A1 := 2";
    for (int i = 0; i < big / 4; i++)
        pow += "**-1";
    gens.push_back({pow, "вираз надто глибоко вкладений"});
    std::string ors = "A1 := A2";
    for (int i = 0; i < big / 4; i++)
        ors += " OR A2 AND A3 = A4";
    gens.push_back({ors, "вираз надто глибоко вкладений"});
    std::string ifs;
    for (int i = 0; i < 5000; i++)
        ifs += "IF 1 THEN ";
    gens.push_back({ifs + "A1 := 1", "блок надто глибоко вкладений"});
    std::string elifs = "IF A1 THEN A2 := 1;";
    for (int i = 0; i < 20000; i++)
        elifs += "ELSIF A1 THEN A2 := 1;";
    gens.push_back({elifs + "END_IF", "надто довгий elif-ланцюг"});
    std::string cases;
    for (int i = 0; i < 5000; i++)
        cases += "CASE 1 OF 1: ";
    gens.push_back({cases + "A1 := 1", "блок надто глибоко вкладений"});
    std::string idx = "A1 := ";
    for (int i = 0; i < big / 4; i++)
        idx += "A[";
    gens.push_back({idx + "1", "вираз надто глибоко вкладений"});
    std::string calls = "A1 := ";
    for (int i = 0; i < big / 8; i++)
        calls += "abs(";
    gens.push_back({calls + "1", "вираз надто глибоко вкладений"});
    gens.push_back({"A1 := 16#" + std::string(5000, 'F'),
                    "невірний літерал (цифра не з основи або понад 64 біти)"});
    gens.push_back({"A1 := " + std::string(100000, 'x'), "невідомий тег/ім'я"});
    gens.push_back({"A1 := 1 (* " + std::string(big, '*'), "незакритий коментар"});
    for (const gen &g : gens) {
        cx_node *n = calc_host_parse(&h, g.text.c_str());
        EXPECT_EQ(n, nullptr) << g.text.substr(0, 40);
        cx_free(n);
        EXPECT_EQ(std::string(h.err).rfind(g.msg, 0), 0u) << g.text.substr(0, 40) << ": " << h.err;
    }
}

// The editor parses in a server connection thread: programs at the depth
// limit must fit a small thread stack (release needs under 256 KiB).
TEST(parse_stack, DepthLimitFitsAOneMegabyteThreadStack) {
    struct job {
        std::string text;
        bool parsed = false;
    };
    std::vector<job> jobs(4);
    jobs[0].text = "A1 := " + std::string(250, '(') + "1" + std::string(250, ')');
    for (int i = 0; i < 250; i++)
        jobs[1].text += "IF A1 THEN ";
    jobs[1].text += "A2 := 1";
    for (int i = 0; i < 250; i++)
        jobs[1].text += " END_IF";
    jobs[2].text = "A1 := " + std::string(100000, '(');
    jobs[3].text = "A1 := 1";
    for (int i = 0; i < 250; i++)
        jobs[3].text += " + NOT -A2";
    auto run = [](void *arg) -> void * {
        job *j = static_cast<job *>(arg);
        char err[256];
        cx_node *n = cx_parse_host(j->text.c_str(), nullptr, nullptr, err, sizeof err, nullptr);
        j->parsed = n != nullptr;
        int64_t tick[CX_TICK_SLOTS] = {1000};
        auto one = [](void *, int, int, double *out) {
            *out = 1;
            return 0;
        };
        if (n) cx_exec_tick(n, one, nullptr, tick, nullptr, nullptr);
        cx_free(n);
        return nullptr;
    };
    for (job &j : jobs) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, 1 << 20);
        pthread_t t;
        ASSERT_EQ(pthread_create(&t, &attr, run, &j), 0);
        pthread_join(t, nullptr);
        pthread_attr_destroy(&attr);
    }
    EXPECT_TRUE(jobs[0].parsed);
    EXPECT_TRUE(jobs[1].parsed);
    EXPECT_FALSE(jobs[2].parsed);
}

TEST_F(parse_fixture, LargeFlatProgramsParseRunAndFree) {
    // 100 000 statements and a 255-level expression: within the limits
    std::string prog;
    for (int i = 0; i < 100000; i++)
        prog += "A1 := default(A1, 0) + 1;\n";
    cx_node *p = calc_host_parse(&h, prog.c_str());
    ASSERT_NE(p, nullptr) << h.err;
    calc_host_at(&h, 1000, 0);
    calc_host_run(&h, p);
    EXPECT_EQ(calc_host_value(&h, "A1"), 100000);
    cx_free(p);
    std::string deep = "A1 := " + std::string(200, '(') + "7" + std::string(200, ')');
    p = calc_host_parse(&h, deep.c_str());
    ASSERT_NE(p, nullptr) << h.err;
    calc_host_run(&h, p);
    EXPECT_EQ(calc_host_value(&h, "A1"), 7);
    cx_free(p);
}

TEST_F(parse_fixture, ManyRoutinesAndLongCallChains) {
    // thousands of routines: names and calls are looked up, not scanned
    std::string prog;
    const int n = 20000;
    for (int i = 0; i < n; i++)
        prog += "JSR(r" + std::to_string(i) + ");\n";
    for (int i = 0; i < n; i++)
        prog += "ROUTINE r" + std::to_string(i) + " A1 := 1 END_ROUTINE\n";
    cx_node *p = calc_host_parse(&h, prog.c_str());
    ASSERT_NE(p, nullptr) << h.err;
    EXPECT_EQ(cx_routine_count(p), n);
    cx_free(p);
    // a chain far deeper than the call limit is reported, not followed
    prog = "JSR(r0);\n";
    for (int i = 0; i < n; i++)
        prog +=
            "ROUTINE r" + std::to_string(i) + " JSR(r" + std::to_string(i + 1) + ") END_ROUTINE\n";
    prog += "ROUTINE r" + std::to_string(n) + " END_ROUTINE";
    EXPECT_EQ(calc_host_parse(&h, prog.c_str()), nullptr);
    EXPECT_STREQ(h.err, "вкладеність викликів понад 25");
}

TEST_F(parse_fixture, ChecksForTheLoader) {
    cx_node *p = expr("A1 := if(A2 > 0, 1)");
    EXPECT_TRUE(cx_if2_misplaced(p));
    EXPECT_FALSE(cx_if2_misplaced(p->child->child));  // the whole root expression
    EXPECT_FALSE(cx_if2_misplaced(expr("A1 := if(A2 > 0, 1, 2)")));
    p = expr("A1 := 1;\nFOR n := 1 TO 3 DO\n  A2 := sum_day(A3);\nEND_FOR");
    int seg = 0, line = 0;
    EXPECT_EQ(cx_stateful_in_loop_loc(p, &seg, &line), 2);
    EXPECT_EQ(line, 2);
    EXPECT_EQ(seg, 0);
    EXPECT_EQ(cx_stateful_in_loop(expr("WHILE lpf(A1, 1) > 0 DO A2 := 1; END_WHILE")), 1);
    EXPECT_EQ(cx_stateful_in_loop(expr("A2 := sum_day(A3)")), 0);

    p = expr(
        "A1 := A2 + D3 + A2 + arr[1];\nD4 := 1;\nA[n] := 1;\nu.3 := 1;\nA9 := lpf(A1, 1) + "
        "cnt_day(D1) + prev_decade(A2)");
    int tags[16];
    int nt = cx_collect_tags(p, tags, 16);
    ASSERT_GE(nt, 3);
    EXPECT_EQ(tags[0], 2);
    EXPECT_EQ(tags[1], ~3);
    int as[16];
    int na = cx_collect_assigns(p, as, 16);
    ASSERT_EQ(na, 4);  // A1, D4, u, A9: the indirect target has no index
    EXPECT_EQ(as[0], 1);
    EXPECT_EQ(as[1], ~4);
    EXPECT_EQ(cx_collect_tags(p, tags, 1), 1);  // capacity respected
    EXPECT_EQ(cx_collect_periods(p), 0b110);    // lpf excluded

    // bit profile: refused, above the width, accepted
    auto profile = [](void *, int isd, int index, int *mb, int *w, int *sg) -> int {
        if (isd) return -1;
        *mb = 7;
        *w = 8;
        *sg = 0;
        return index >= CX_VAR_BASE ? 0 : -1;
    };
    int reason = 0, mb = 0;
    cx_node *b = expr("A1 := 1;\nu.3 := 1;\nD1.2 := 1");
    EXPECT_EQ(cx_bit_assign_check(b, profile, nullptr, &reason, &mb), 3);
    EXPECT_EQ(reason, 1);
    b = expr("u.9 := 1");
    EXPECT_EQ(cx_bit_assign_check(b, profile, nullptr, &reason, &mb), 1);
    EXPECT_EQ(reason, 2);
    EXPECT_EQ(mb, 7);
    b = expr("u.3 := 1");
    EXPECT_EQ(cx_bit_assign_check(b, profile, nullptr, &reason, &mb), 0);
    EXPECT_EQ(b->child->tgt_width, 8);
}

TEST(structs, MemberTables) {
    EXPECT_EQ(cx_struct_len(CX_KIND_TIMER), 13);
    EXPECT_EQ(cx_struct_len(CX_KIND_COUNTER), 13);
    EXPECT_EQ(cx_struct_len(0), 0);
    EXPECT_EQ(cx_struct_type("fbd_TIMER"), 1);
    EXPECT_EQ(cx_struct_type("FBD_counter"), 2);
    EXPECT_EQ(cx_struct_type("timer"), 0);
    EXPECT_STREQ(cx_struct_name(2), "FBD_COUNTER");
    EXPECT_STREQ(cx_struct_name(7), "?");
    EXPECT_EQ(cx_struct_member(CX_KIND_TIMER, "DN"), 8);
    EXPECT_EQ(cx_struct_member(CX_KIND_COUNTER, "acc"), 6);
    EXPECT_EQ(cx_struct_member(CX_KIND_TIMER, "_T"), -1);
    EXPECT_EQ(cx_struct_member(CX_KIND_COUNTER, "_P"), -1);
    const char *name = nullptr;
    int type = 0, internal = 0;
    ASSERT_EQ(cx_struct_member_info(CX_KIND_TIMER, 12, &name, &type, &internal), 0);
    EXPECT_STREQ(name, "_T");
    EXPECT_EQ(type, CX_T_LREAL);
    EXPECT_EQ(internal, 1);
    EXPECT_EQ(cx_struct_member_info(CX_KIND_TIMER, 13, &name, &type, &internal), -1);
    EXPECT_EQ(cx_struct_default(CX_KIND_COUNTER, 0), 1);
    EXPECT_EQ(cx_struct_default(CX_KIND_COUNTER, 6), 0);
    EXPECT_TRUE(cx_is_keyword("END_ROUTINE"));
    EXPECT_TRUE(cx_is_keyword("Elif"));
    EXPECT_FALSE(cx_is_keyword("jsr"));
    EXPECT_FALSE(cx_is_keyword("TONR"));
}

}  // namespace

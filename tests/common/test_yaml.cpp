#include <gtest/gtest.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/yaml.h"
#include "tests/support/files.h"

namespace {

json_ptr yparse(const std::string &s) {
    return json_ptr(yaml_parse(s.c_str()));
}

std::string emit(const json_node *n) {
    char *t = yaml_emit(n);
    std::string s = t ? t : "<null>";
    free(t);
    return s;
}

// Structural equality of two trees (keys, types, values, order).
bool same_tree(const json_node *a, const json_node *b, std::string *why) {
    for (; a && b; a = a->next, b = b->next) {
        std::string ka = a->key ? a->key : "<none>", kb = b->key ? b->key : "<none>";
        if (ka != kb || a->type != b->type) {
            *why = "key/type differ at " + ka + " vs " + kb;
            return false;
        }
        if (a->type == JSON_BOOL && a->boolean != b->boolean) return *why = ka, false;
        if (a->type == JSON_NUMBER && a->number != b->number) {
            *why = ka + ": " + std::to_string(a->number) + " vs " + std::to_string(b->number);
            return false;
        }
        if (a->type == JSON_STRING && std::string(a->string) != b->string) {
            *why = ka + ": [" + a->string + "] vs [" + b->string + "]";
            return false;
        }
        if (!same_tree(a->child, b->child, why)) return false;
    }
    if (a || b) *why = "child count differs";
    return !a && !b;
}

TEST(Yaml, ScalarsAndComments) {
    auto r = yparse(
        "a: 1\nb: x # note\nc: \"x # y\"\nd: Yes\ne: '007'\nf: 1e3\ng: ~\nh: NULL\n"
        "i: -2.5\nj: 1.\nk: .5\nl: 0x10\nm: 1,5\nn: a#b\no: off\np: +3\nq: {a: 1}\n"
        "r: 'it''s'\ns: \"a\\tb\\nc\\\\d\\q\\\"\"\nt: \"end\\\"\nu: #only comment\n");
    ASSERT_TRUE(r);
    const json_node *a = json_get(r.get(), "a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, JSON_NUMBER);
    EXPECT_EQ(a->number, 1.0);
    EXPECT_STREQ(json_gets(r.get(), "b", ""), "x");
    EXPECT_STREQ(json_gets(r.get(), "c", ""), "x # y");
    EXPECT_EQ(json_get(r.get(), "d")->type, JSON_BOOL);
    EXPECT_EQ(json_getb(r.get(), "d", 0), 1);
    EXPECT_STREQ(json_gets(r.get(), "e", ""), "007");
    EXPECT_STREQ(json_gets(r.get(), "f", ""), "1e3");
    EXPECT_EQ(json_get(r.get(), "g")->type, JSON_NULL);
    EXPECT_EQ(json_get(r.get(), "h")->type, JSON_NULL);
    EXPECT_EQ(json_getn(r.get(), "i", 0), -2.5);
    EXPECT_EQ(json_getn(r.get(), "j", 0), 1.0);
    EXPECT_EQ(json_getn(r.get(), "k", 0), 0.5);
    EXPECT_STREQ(json_gets(r.get(), "l", ""), "0x10");
    EXPECT_STREQ(json_gets(r.get(), "m", ""), "1,5");
    EXPECT_STREQ(json_gets(r.get(), "n", ""), "a#b");
    EXPECT_EQ(json_getb(r.get(), "o", 1), 0);
    EXPECT_EQ(json_getn(r.get(), "p", 0), 3.0);
    EXPECT_STREQ(json_gets(r.get(), "q", ""), "{a: 1}");
    EXPECT_STREQ(json_gets(r.get(), "r", ""), "it''s");
    EXPECT_STREQ(json_gets(r.get(), "s", ""), "a\tb\nc\\dq\"");
    EXPECT_STREQ(json_gets(r.get(), "t", ""), "end\\");
    EXPECT_STREQ(json_gets(r.get(), "u", "x"), "");
}

TEST(Yaml, SequencesAndFlow) {
    auto r =
        yparse("k:\n  - 1\n  - two\n  - [3, 'f, g']\n  -\n  - []\n  -x\nl: [ a ,, \"b,c\" , ]\n");
    ASSERT_TRUE(r);
    const json_node *k = json_get(r.get(), "k");
    ASSERT_TRUE(k);
    ASSERT_EQ(k->type, JSON_ARRAY);
    ASSERT_EQ(json_count(k), 6u);
    EXPECT_EQ(json_at(k, 0)->number, 1.0);
    EXPECT_STREQ(json_at(k, 1)->string, "two");
    const json_node *f = json_at(k, 2);
    ASSERT_EQ(json_count(f), 2u);
    EXPECT_EQ(json_at(f, 0)->number, 3.0);
    EXPECT_STREQ(json_at(f, 1)->string, "f, g");
    EXPECT_STREQ(json_at(k, 3)->string, "");
    EXPECT_EQ(json_at(k, 4)->type, JSON_ARRAY);
    EXPECT_EQ(json_count(json_at(k, 4)), 0u);
    EXPECT_STREQ(json_at(k, 5)->string, "x");
    const json_node *l = json_get(r.get(), "l");
    ASSERT_EQ(json_count(l), 2u);
    EXPECT_STREQ(json_at(l, 0)->string, "a");
    EXPECT_STREQ(json_at(l, 1)->string, "b,c");
}

TEST(Yaml, BlockStructureEdges) {
    // A dash line at the key's own indentation ends the map.
    auto r1 = yparse("k:\n- 1\n");
    EXPECT_STREQ(json_gets(r1.get(), "k", "x"), "");
    EXPECT_EQ(json_count(r1.get()), 1u);
    // A deeper line that opens nothing ends the parse.
    auto r2 = yparse("x: 1\n  y: 2\nz: 3\n");
    EXPECT_EQ(json_count(r2.get()), 1u);
    EXPECT_EQ(json_getn(r2.get(), "x", 0), 1.0);
    // Map items in a sequence.
    auto r3 = yparse("- name: p\n  v: 3\n- q\n");
    ASSERT_EQ(r3->type, JSON_ARRAY);
    ASSERT_EQ(json_count(r3.get()), 2u);
    EXPECT_STREQ(json_gets(json_at(r3.get(), 0), "name", ""), "p");
    EXPECT_EQ(json_getn(json_at(r3.get(), 0), "v", 0), 3.0);
    EXPECT_STREQ(json_at(r3.get(), 1)->string, "q");
    // Quoted items and URLs are scalars, not map items.
    auto r4 = yparse("- \"a: b\"\n- http://x:80/p\n- 'k': v\n");
    EXPECT_STREQ(json_at(r4.get(), 0)->string, "a: b");
    EXPECT_STREQ(json_at(r4.get(), 1)->string, "http://x:80/p");
    EXPECT_STREQ(json_at(r4.get(), 2)->string, "'k': v");
    // Quoted keys keep their quotes; lines without a separator are skipped.
    auto r5 = yparse("\"a: b\": 1\njunk line\nurl: http://h:1\nk:v\n");
    EXPECT_EQ(json_getn(r5.get(), "\"a: b\"", 0), 1.0);
    EXPECT_STREQ(json_gets(r5.get(), "url", ""), "http://h:1");
    EXPECT_EQ(json_count(r5.get()), 2u);
    // Top level taken from the first kept line; shallower lines end it.
    auto r6 = yparse("# c\n\n   a: 1\n   b: 2\nc: 3\n");
    EXPECT_EQ(json_count(r6.get()), 2u);
    // Tab-indented lines are not indentation.
    auto r7 = yparse("a:\n\tb: 1\nc: 2\n");
    EXPECT_STREQ(json_gets(r7.get(), "a", "x"), "");
    EXPECT_EQ(json_getn(r7.get(), "\tb", 0), 1.0);
    EXPECT_EQ(json_getn(r7.get(), "c", 0), 2.0);
    // Empty text and comment-only text give an empty map.
    for (const char *t : {"", "\n\n", "# only\n   # c\n", "  \r\n"}) {
        auto e = yparse(t);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->type, JSON_OBJECT);
        EXPECT_EQ(e->child, nullptr);
    }
    EXPECT_EQ(yaml_parse(nullptr), nullptr);
    // CRLF line ends.
    auto r8 = yparse("a: 1\r\nb:\r\n  - x\r\n");
    EXPECT_EQ(json_getn(r8.get(), "a", 0), 1.0);
    EXPECT_STREQ(json_at(json_get(r8.get(), "b"), 0)->string, "x");
}

TEST(Yaml, LiteralBlocks) {
    auto r = yparse("s: |\n  line1\n    line2\n\n  # c\n  line3\nt: |-  # keep\n  x\nu: |\nv: 1\n");
    ASSERT_TRUE(r);
    EXPECT_STREQ(json_gets(r.get(), "s", ""), "line1\nline2\nline3");
    EXPECT_STREQ(json_gets(r.get(), "t", ""), "x");
    EXPECT_STREQ(json_gets(r.get(), "u", "z"), "");
    EXPECT_EQ(json_getn(r.get(), "v", 0), 1.0);
}

TEST(Yaml, DuplicateKeysReplaceInPlaceAndAreRecorded) {
    yaml_dup d[2];
    size_t n = 99;
    json_ptr r(
        yaml_parse_dups("a: 1\nb: 0\na: 2\nsec:\n  k: 1\n  k: [1]\n  k: z\nb: 1\n", d, 2, &n));
    ASSERT_TRUE(r);
    EXPECT_EQ(n, 4u);
    EXPECT_STREQ(r->child->key, "a");
    EXPECT_EQ(r->child->number, 2.0);
    EXPECT_EQ(json_count(r.get()), 3u);
    EXPECT_STREQ(d[0].key, "a");
    EXPECT_EQ(d[0].first_line, 1u);
    EXPECT_EQ(d[0].line, 3u);
    EXPECT_EQ(d[0].top_level, 1u);
    EXPECT_STREQ(d[1].key, "k");
    EXPECT_EQ(d[1].first_line, 5u);
    EXPECT_EQ(d[1].line, 6u);
    EXPECT_EQ(d[1].top_level, 0u);
    const json_node *sec = json_get(r.get(), "sec");
    EXPECT_EQ(json_count(sec), 1u);
    EXPECT_STREQ(json_gets(sec, "k", ""), "z");
    // Long keys are cut to 63 characters; null records just count.
    std::string key(100, 'k');
    json_ptr r2(yaml_parse_dups((key + ": 1\n" + key + ": 2\n").c_str(), d, 2, &n));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(strlen(d[0].key), 63u);
    json_ptr r3(yaml_parse_dups("a: 1\na: 2\n", nullptr, 5, &n));
    EXPECT_EQ(n, 1u);
    // Keys repeated in a sequence's map items are not top-level.
    json_ptr r4(yaml_parse_dups("- a: 1\n  a: 2\n", d, 2, &n));
    ASSERT_EQ(n, 1u);
    EXPECT_EQ(d[0].top_level, 0u);
}

TEST(Yaml, NestingIsBoundedWithoutCrashing) {
    auto deep = [](int levels) {
        std::string t;
        for (int i = 0; i < levels; i++)
            t += std::string((size_t)i * 2, ' ') + "k:\n";
        t += std::string((size_t)levels * 2, ' ') + "leaf: 1\nafter: 2\n";
        return t;
    };
    // levels keys plus the leaf map: levels + 1 blocks.
    auto ok = yparse(deep(YAML_MAX_DEPTH - 1));
    const json_node *n = ok.get();
    for (int i = 0; i < YAML_MAX_DEPTH - 1; i++)
        n = json_get(n, "k");
    EXPECT_EQ(json_getn(n, "leaf", 0), 1.0);
    auto cut = yparse(deep(YAML_MAX_DEPTH));
    ASSERT_TRUE(cut);
    n = cut.get();
    for (int i = 0; i < YAML_MAX_DEPTH - 1; i++)
        n = json_get(n, "k");
    ASSERT_TRUE(n);
    EXPECT_EQ(json_get(n, "k"), nullptr);              // the too-deep block is dropped
    EXPECT_EQ(json_getn(cut.get(), "after", 0), 2.0);  // and the rest still reads
    // Sequences of sequences and map items count too.
    std::string seqs;
    for (int i = 0; i < 1000; i++)
        seqs += std::string((size_t)i, ' ') + "-\n";
    EXPECT_TRUE(yparse(seqs));
    std::string items;
    for (int i = 0; i < 1000; i++)
        items += std::string((size_t)i * 2, ' ') + "- a:\n";
    EXPECT_TRUE(yparse(items));
    // Flow sequences nest only within the same bound.
    std::string flow = "k: " + std::string(10000, '[') + std::string(10000, ']') + "\n";
    auto f = yparse(flow);
    ASSERT_TRUE(f);
    // Root map is level 1, so 199 flow levels fit; the rest stays text, and
    // the tree emits as blocks that read back whole.
    n = json_get(f.get(), "k");
    for (int i = 0; i < YAML_MAX_DEPTH - 1; i++)
        n = json_at(n, 0);
    ASSERT_TRUE(n);
    ASSERT_EQ(n->type, JSON_STRING);
    EXPECT_EQ(strlen(n->string), 2u * (10000 - (YAML_MAX_DEPTH - 1)));
    std::string text = yaml_emit_str(f.get());
    EXPECT_EQ(yaml_emit_str(yparse(text).get()), text);
}

TEST(Yaml, HostileLinesDoNotCrash) {
    const char *texts[] = {"-",
                           ":",
                           ": :",
                           "- :",
                           "-\n-\n  -",
                           "\"",
                           "'",
                           "a: \"",
                           "a: '",
                           "a: \"\\",
                           "a: |",
                           "- |",
                           "[",
                           "a: [",
                           "a: [\"]",
                           "- - - -",
                           "a:\n  - b:\n      - c: |\n",
                           "\t\t:\t",
                           "a: \"x\" # c \" y"};
    for (const char *t : texts) {
        json_ptr r(yaml_parse(t));
        EXPECT_TRUE(r) << t;
    }
    auto q = yparse("a: \"x\" # c \" y\n");
    EXPECT_STREQ(json_gets(q.get(), "a", ""), "x");
    std::string bin;
    for (int i = 0; i < 4096; i++)
        bin += (char)(i * 131 % 255 + 1);
    EXPECT_TRUE(yparse(bin));
}

TEST(Yaml, ItemsFromLiteralBlockAndSequence) {
    auto r = yparse(
        "g:\n  items: |\n    A1,v,HMI_A[1]  # boiler\n    # whole comment\n"
        "    D5,c,Valve_3\n    A9,v,Prog:Main.X#1\n  seq:\n    - ' A2,v,T '\n    - 5\n"
        "    - ''\n    - \"D1,c,V # kept\"\n  n: 5\n");
    ASSERT_TRUE(r);
    const json_node *g = json_get(r.get(), "g");
    size_t n = 0;
    char **it = yaml_items(json_get(g, "items"), &n);
    ASSERT_TRUE(it);
    ASSERT_EQ(n, 3u);
    EXPECT_STREQ(it[0], "A1,v,HMI_A[1]");
    EXPECT_STREQ(it[1], "D5,c,Valve_3");
    EXPECT_STREQ(it[2], "A9,v,Prog:Main.X#1");
    yaml_items_free(it, n);
    auto v = yaml_items_vec(json_get(g, "seq"));
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], "A2,v,T");
    EXPECT_EQ(v[1], "D1,c,V # kept");  // no comment removal for sequence items
    it = yaml_items(json_get(g, "n"), &n);
    ASSERT_TRUE(it);
    EXPECT_EQ(n, 0u);
    yaml_items_free(it, n);
    n = 7;
    EXPECT_EQ(yaml_items(nullptr, &n), nullptr);
    EXPECT_EQ(n, 0u);
    // Lines are cut to 511 characters before comment removal and trimming.
    json_ptr s(json_new_string(nullptr, (std::string(600, 'x') + "\n\r\n  y \r").c_str()));
    auto lines = yaml_items_vec(s.get());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 511u);
    EXPECT_EQ(lines[1], "y");
}

TEST(Yaml, EmitterQuotesWhatWouldReadBackDifferently) {
    json_ptr m(json_new(JSON_OBJECT, nullptr));
    json_append(m.get(), json_new_string("a", "x: y"));
    json_append(m.get(), json_new_string("b", "-1"));
    json_append(m.get(), json_new_string("c", "|pipe"));
    json_append(m.get(), json_new_string("d", "plain text"));
    json_append(m.get(), json_new_string("e", "say \"hi\" \\o/ #1"));
    json_append(m.get(), json_new_string("f", "Котел №1"));
    EXPECT_EQ(emit(m.get()),
              "a: \"x: y\"\nb: \"-1\"\nc: \"|pipe\"\nd: plain text\n"
              "e: \"say \\\"hi\\\" \\\\o/ #1\"\nf: Котел №1\n");
}

TEST(Yaml, EmitterLayout) {
    json_ptr r = yparse(
        "k: |\n  l1\n  l2\ne: []\no:\n  x: 1\ns:\n  - 1\n  - a: 1\n    b:\n"
        "      - z\n    c: {}\n  -\n    - 2\nt: true\nn: ~\nemp: ''\n");
    ASSERT_TRUE(r);
    // "c: {}" is the string "{}" to this reader; an empty map object is built below.
    EXPECT_EQ(emit(r.get()),
              "k: |\n  l1\n  l2\ne: []\no:\n  x: 1\ns:\n  - 1\n  - a: 1\n    b:\n      - z\n"
              "    c: \"{}\"\n  -\n    - 2\nt: true\nn: ~\nemp:\n");
    json_ptr m(json_new(JSON_OBJECT, nullptr));
    json_append(m.get(), json_new(JSON_OBJECT, "em"));
    json_node *seq = json_append(m.get(), json_new(JSON_ARRAY, "sq"));
    json_append(seq, json_new(JSON_OBJECT, nullptr));
    json_append(seq, json_new(JSON_ARRAY, nullptr));
    json_append(seq, json_new_string(nullptr, ""));
    json_node *item = json_append(seq, json_new(JSON_OBJECT, nullptr));
    json_append(item, json_new(JSON_ARRAY, "none"));
    json_append(item, json_new_string("ml", "a\nb\n"));
    EXPECT_EQ(emit(m.get()),
              "em: {}\nsq:\n  - {}\n  - []\n  - \"\"\n  - none:\n    ml: |\n      a\n      b\n");
    EXPECT_EQ(yaml_emit(nullptr), nullptr);
    json_ptr scalar(json_new_number(nullptr, 5));
    EXPECT_EQ(emit(scalar.get()), "");
}

TEST(Yaml, EmitterNumbers) {
    struct {
        double v;
        const char *text;
    } cases[] = {{1e-05, "0.00001"},
                 {-1.23456789e-7, "-0.000000123457"},
                 {0.123456789, "0.123457"},
                 {3, "3"},
                 {-0.0, "0"},
                 {1234567.5, "1234570"},
                 {1e20, "100000000000000000000"},
                 {9.999999e-5, "0.0001"},
                 {2.5, "2.5"},
                 {5e-324, nullptr}};
    for (auto &c : cases) {
        json_ptr m(json_new(JSON_OBJECT, nullptr));
        json_append(m.get(), json_new_number("v", c.v));
        std::string out = emit(m.get());
        if (c.text) {
            EXPECT_EQ(out, std::string("v: ") + c.text + "\n") << c.v;
        }
        json_ptr back = yparse(out);
        const json_node *v = json_get(back.get(), "v");
        ASSERT_TRUE(v);
        EXPECT_EQ(v->type, JSON_NUMBER) << out;
    }
    json_ptr m(json_new(JSON_ARRAY, nullptr));
    json_append(m.get(), json_new_number(nullptr, NAN));
    json_append(m.get(), json_new_number(nullptr, -INFINITY));
    EXPECT_EQ(emit(m.get()), "- nan\n- -inf\n");
}

TEST(Yaml, RoundTripKeepsTheTree) {
    json_ptr m(json_new(JSON_OBJECT, nullptr));
    const char *strings[] = {
        "x: y",        "-1",        "1.5",           "true", "No",    "~",
        "null",        "#tag",      "a #b",          "&ref", "*star", "[x]",
        "{y}",         "'q'",       "\"dq\"",        "end:", "|bar",  "tail\\",
        "a\\\"b",      " lead",     "trail ",        "\tt",  "t\t",   "Температура, °C",
        "a: b # c",    "x,y",       "1e3",           "0x1F", ".",     "-",
        "multi\nline", "with\ttab", "http://h:80/x", "3.4\r"};
    int i = 0;
    for (const char *s : strings) {
        std::string key = "k" + std::to_string(i++);
        json_append(m.get(), json_new_string(key.c_str(), s));
    }
    json_node *seq = json_append(m.get(), json_new(JSON_ARRAY, "seq"));
    for (const char *s : strings)
        json_append(seq, json_new_string(nullptr, s));
    json_node *items = json_append(seq, json_new(JSON_OBJECT, nullptr));
    for (const char *s : strings) {
        std::string key = "m" + std::to_string(i++);
        json_append(items, json_new_string(key.c_str(), s));
    }
    double nums[] = {0, -7, 2.5, 1e-05, 0.000123, 123456, -42.125, 1e15};
    json_node *ns = json_append(m.get(), json_new(JSON_ARRAY, "nums"));
    for (double d : nums)
        json_append(ns, json_new_number(nullptr, d));
    json_append(m.get(), json_new_bool("flag", 0));
    json_append(m.get(), json_new(JSON_NULL, "nothing"));
    json_node *deep = json_append(m.get(), json_new(JSON_OBJECT, "deep"));
    json_node *s2 = json_append(deep, json_new(JSON_ARRAY, "list"));
    json_node *s3 = json_append(s2, json_new(JSON_ARRAY, nullptr));
    json_append(s3, json_new_string(nullptr, "inner"));
    json_node *mi = json_append(s2, json_new(JSON_OBJECT, nullptr));
    json_node *ml = json_append(mi, json_new(JSON_ARRAY, "l"));
    json_append(ml, json_new_number(nullptr, 1));

    std::string text = emit(m.get());
    json_ptr back = yparse(text);
    ASSERT_TRUE(back);
    std::string why;
    EXPECT_TRUE(same_tree(m->child, back->child, &why)) << why << "\n" << text;
    // Emitting again gives the same text.
    EXPECT_EQ(emit(back.get()), text);
}

TEST(Yaml, ReadsFiles) {
    tsup::TempDir dir("yaml");
    std::string path = dir / "doc.yaml";
    ASSERT_TRUE(tsup::write_file(path, "logix:\n  shm_name: /x\n"));
    json_ptr r(yaml_parse_file(path.c_str()));
    unlink(path.c_str());
    EXPECT_STREQ(json_gets(json_get(r.get(), "logix"), "shm_name", ""), "/x");
    EXPECT_EQ(yaml_parse_file(path.c_str()), nullptr);
}

}  // namespace

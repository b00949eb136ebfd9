#include <gtest/gtest.h>
#include <locale.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "common/channels.h"
#include "common/json.h"
#include "common/yaml.h"
#include "tests/support/files.h"
#include "tests/support/proc.h"

namespace {

json_ptr parse(const std::string &s) {
    return json_ptr(json_parse(s.c_str()));
}

TEST(Json, ParsesTypesAndKeepsOrder) {
    auto r = parse(R"({"n":-1.5e2,"t":true,"f":false,"z":null,"s":"x","a":[1,"b",[]],"o":{}})");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->type, JSON_OBJECT);
    EXPECT_EQ(json_getn(r.get(), "n", 0), -150.0);
    EXPECT_EQ(json_getb(r.get(), "t", 0), 1);
    EXPECT_EQ(json_getb(r.get(), "f", 1), 0);
    EXPECT_EQ(json_get(r.get(), "z")->type, JSON_NULL);
    EXPECT_STREQ(json_gets(r.get(), "s", nullptr), "x");
    const json_node *a = json_get(r.get(), "a");
    ASSERT_EQ(json_count(a), 3u);
    EXPECT_EQ(json_at(a, 0)->number, 1.0);
    EXPECT_EQ(json_at(a, 0)->key, nullptr);
    EXPECT_STREQ(json_at(a, 1)->string, "b");
    EXPECT_EQ(json_at(a, 2)->type, JSON_ARRAY);
    EXPECT_EQ(json_at(a, 3), nullptr);
    const char *order[] = {"n", "t", "f", "z", "s", "a", "o"};
    int i = 0;
    for (const json_node *c = r->child; c; c = c->next)
        EXPECT_STREQ(c->key, order[i++]);
    EXPECT_EQ(i, 7);
}

TEST(Json, RejectsMalformedText) {
    for (const char *bad : {"",
                            "   \n\t",
                            "[1,2,]",
                            "{\"a\":1,}",
                            "{\"a\" 1}",
                            "{a:1}",
                            "[1 2]",
                            "\"abc",
                            "[",
                            "{",
                            "+1",
                            ".5",
                            "tru",
                            "[\"\\x\"]",
                            "[\"\\u12G4\"]",
                            "[\"\\u12\"]",
                            "{\"a\":1",
                            "[trueX]",
                            "'a'",
                            "[,1]",
                            "{,}"}) {
        EXPECT_EQ(json_parse(bad), nullptr) << bad;
    }
    EXPECT_EQ(json_parse(nullptr), nullptr);
}

TEST(Json, LenientWhereReadersAreLenient) {
    // Trailing text after the value is ignored; keywords are not delimited.
    auto r = parse("{\"x\":true} trailing");
    ASSERT_TRUE(r);
    EXPECT_EQ(json_getb(r.get(), "x", 0), 1);
    auto t = parse("trueX");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->type, JSON_BOOL);
    // strtod forms after a digit or '-' are numbers.
    auto h = parse("[0x10, -inf, 1e999]");
    ASSERT_TRUE(h);
    EXPECT_EQ(json_at(h.get(), 0)->number, 16.0);
    EXPECT_TRUE(isinf(json_at(h.get(), 1)->number));
    EXPECT_TRUE(isinf(json_at(h.get(), 2)->number));
}

TEST(Json, DuplicateKeysKeptFirstWins) {
    auto r = parse(R"({"a":1,"a":2})");
    ASSERT_TRUE(r);
    EXPECT_EQ(json_getn(r.get(), "a", 0), 1.0);
    EXPECT_EQ(json_count(r.get()), 2u);
}

TEST(Json, StringEscapes) {
    auto r =
        parse(R"({"s":"\u00e9\u20AC","e":"\"\\\/\b\f\n\r\t","raw":"a	b","u":"\u0041\u0416"})");
    ASSERT_TRUE(r);
    EXPECT_STREQ(json_gets(r.get(), "s", ""), "é€");
    EXPECT_EQ(strlen(json_gets(r.get(), "s", "")), 5u);
    EXPECT_STREQ(json_gets(r.get(), "e", ""), "\"\\/\b\f\n\r\t");
    EXPECT_STREQ(json_gets(r.get(), "raw", ""), "a\tb");
    EXPECT_STREQ(json_gets(r.get(), "u", ""), "AЖ");
    // A surrogate half is encoded on its own (three bytes).
    auto s = parse(R"(["\ud83d"])");
    ASSERT_TRUE(s);
    EXPECT_STREQ(json_at(s.get(), 0)->string, "\xED\xA0\xBD");
    // Raw UTF-8 and invalid bytes pass unchanged.
    auto u = parse("[\"Котел №1 \xff\"]");
    ASSERT_TRUE(u);
    EXPECT_STREQ(json_at(u.get(), 0)->string, "Котел №1 \xff");
}

TEST(Json, NulEscapeIsRejected) {
    // A NUL would silently cut the value held as a C string.
    EXPECT_EQ(json_parse(R"({"s":"ab\u0000cd"})"), nullptr);
    EXPECT_EQ(json_parse(R"({"\u0000":1})"), nullptr);
    auto ok = parse(R"({"s":"\u0001"})");
    ASSERT_TRUE(ok);
    EXPECT_STREQ(json_gets(ok.get(), "s", ""), "\x01");
}

TEST(Json, NestingIsBounded) {
    auto nested = [](int depth) {
        return std::string((size_t)depth, '[') + std::string((size_t)depth, ']');
    };
    EXPECT_TRUE(parse(nested(JSON_MAX_DEPTH)));
    EXPECT_EQ(json_parse(nested(JSON_MAX_DEPTH + 1).c_str()), nullptr);
    EXPECT_EQ(json_parse(nested(100000).c_str()), nullptr);  // no stack overflow
    std::string objs;
    for (int i = 0; i < JSON_MAX_DEPTH + 1; i++)
        objs += "{\"a\":";
    objs += "1" + std::string(JSON_MAX_DEPTH + 1, '}');
    EXPECT_EQ(json_parse(objs.c_str()), nullptr);
    // Siblings are not nesting: a long flat array is fine.
    std::string flat = "[";
    for (int i = 0; i < 10000; i++)
        flat += "[],";
    flat += "[]]";
    auto f = parse(flat);
    ASSERT_TRUE(f);
    EXPECT_EQ(json_count(f.get()), 10001u);
}

TEST(Json, TruncatedInputNeverParses) {
    const std::string full = R"({"a":[1,2.5,{"b":"x\u0041"}],"c":true,"d":null})";
    ASSERT_TRUE(parse(full));
    for (size_t n = 0; n < full.size(); n++) {
        EXPECT_EQ(json_parse(full.substr(0, n).c_str()), nullptr) << n;
        EXPECT_EQ(json_parse_len(full.data(), n), nullptr) << n;
    }
    EXPECT_TRUE(json_ptr(json_parse_len(full.data(), full.size())));
}

TEST(Json, GettersFallBackToDefaults) {
    auto r = parse(R"({"n":0.0,"nan":-nan,"str5":"5","yes":"yes","b":true,"o":{"x":1}})");
    ASSERT_TRUE(r);
    EXPECT_EQ(json_getb(r.get(), "n", 7), 0);
    EXPECT_EQ(json_getb(r.get(), "nan", 0), 1);
    EXPECT_EQ(json_getb(r.get(), "yes", 7), 7);
    EXPECT_EQ(json_getn(r.get(), "str5", 9), 9.0);
    EXPECT_EQ(json_getn(r.get(), "b", 9), 1.0);
    EXPECT_STREQ(json_gets(r.get(), "n", "d"), "d");
    EXPECT_EQ(json_getn(r.get(), "missing", 3), 3.0);
    EXPECT_EQ(json_get(r.get(), nullptr), nullptr);
    EXPECT_EQ(json_get(nullptr, "n"), nullptr);
    EXPECT_EQ(json_get(json_get(r.get(), "n"), "x"), nullptr);  // not an object
    EXPECT_EQ(json_getn(json_get(r.get(), "o"), "x", 0), 1.0);
    EXPECT_EQ(json_str_of(nullptr, "d")[0], 'd');
    EXPECT_EQ(json_num_of(nullptr, 2.0), 2.0);
    EXPECT_EQ(json_bool_of(nullptr, 2), 2);
}

TEST(Json, IntegerGettersTreatNonFiniteAsAbsent) {
    auto r = parse(R"({"i":42.9,"neg":-3.7,"inf":1e999,"ninf":-inf,"nan":-nan,"big":1e19,
                      "edge":-9223372036854775808,"b":true,"s":"7"})");
    ASSERT_TRUE(r);
    EXPECT_EQ(json_geti(r.get(), "i", -1), 42);
    EXPECT_EQ(json_geti(r.get(), "neg", -1), -3);
    EXPECT_EQ(json_geti(r.get(), "inf", -1), -1);
    EXPECT_EQ(json_geti(r.get(), "ninf", -1), -1);
    EXPECT_EQ(json_geti(r.get(), "nan", -1), -1);
    EXPECT_EQ(json_geti(r.get(), "big", -1), -1);
    EXPECT_EQ(json_geti(r.get(), "edge", 0), INT64_MIN);
    EXPECT_EQ(json_geti(r.get(), "b", -1), 1);
    EXPECT_EQ(json_geti(r.get(), "s", -1), -1);
    EXPECT_EQ(json_geti(r.get(), "missing", 5), 5);
}

TEST(Json, EscapeFollowsTheCapacityRule) {
    char buf[64];
    std::string plain(100, 'a');
    EXPECT_EQ(json_escape(plain.c_str(), buf, sizeof buf), 57u);
    EXPECT_EQ(strlen(buf), 57u);
    EXPECT_EQ(json_escape("\x01", buf, sizeof buf), 6u);
    EXPECT_STREQ(buf, "\\u0001");
    EXPECT_EQ(json_escape("a\"b\\c\r\n\t\x1f/é", buf, sizeof buf), 22u);
    EXPECT_STREQ(buf, "a\\\"b\\\\c\\r\\n\\t\\u001f/é");
    buf[0] = 'x';
    EXPECT_EQ(json_escape("abc", buf, 7), 0u);
    EXPECT_STREQ(buf, "");
    buf[0] = 'x';
    EXPECT_EQ(json_escape(nullptr, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    buf[0] = 'x';
    EXPECT_EQ(json_escape("abc", buf, 0), 0u);
    EXPECT_EQ(buf[0], 'x');
    // An escape is never cut in half: stops before the byte that would cross.
    EXPECT_EQ(json_escape("a\x01\x01", buf, 10), 7u);
    EXPECT_STREQ(buf, "a\\u0001");
    EXPECT_EQ(json_escape_str("Тиск \"P\"\n"), "Тиск \\\"P\\\"\\n");
}

TEST(Json, EscapedTextParsesBack) {
    std::string all;
    for (int c = 1; c < 256; c++)
        all += (char)c;
    all += "Рівень води, м³";
    std::string doc = "[\"" + json_escape_str(all) + "\"]";
    auto r = parse(doc);
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(json_at(r.get(), 0)->string), all);
}

// Switches LC_NUMERIC to Ukrainian (decimal comma), compiling the locale into
// a temporary directory when the system has none installed.
class UkrainianNumbers : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = setlocale(LC_NUMERIC, nullptr);
        if (setlocale(LC_NUMERIC, "uk_UA.UTF-8")) return;
        dir_.emplace("locale");
        ASSERT_FALSE(dir_->path.empty());
        if (tsup::run({.argv = {"localedef", "-i", "uk_UA", "-f", "UTF-8", *dir_ / "uk_UA.UTF-8"}})
                .status == 0) {
            setenv("LOCPATH", dir_->path.c_str(), 1);
            if (setlocale(LC_NUMERIC, "uk_UA.UTF-8")) return;
        }
        GTEST_SKIP() << "cannot make a locale with a decimal comma";
    }
    void TearDown() override {
        setlocale(LC_NUMERIC, saved_.c_str());
        if (dir_) unsetenv("LOCPATH");
    }
    std::string saved_;
    std::optional<tsup::TempDir> dir_;  // a locale compiled for the test
};

TEST_F(UkrainianNumbers, ConfigFilesReadAndWriteTheSame) {
    char probe[16];
    snprintf(probe, sizeof probe, "%g", 2.5);
    ASSERT_STREQ(probe, "2,5");  // the locale is really active
    json_ptr j(json_parse("[2.5]"));
    ASSERT_TRUE(j);
    EXPECT_EQ(json_at(j.get(), 0)->number, 2.5);
    json_ptr y(yaml_parse("v: 2.5\n"));
    EXPECT_EQ(json_getn(y.get(), "v", 0), 2.5);
    json_ptr m(json_new(JSON_OBJECT, nullptr));
    json_append(m.get(), json_new_number("a", 2.5));
    json_append(m.get(), json_new_number("b", 1e-5));
    EXPECT_EQ(yaml_emit_str(m.get()), "a: 2.5\nb: 0.00001\n");
    channels_registry reg;
    channel_rec *r = channels_an_slot(&reg, 1);
    r->used = 1;
    r->phys_max = 0.5;
    EXPECT_NE(channels_format(&reg).find("\"phys_max\":0.5}"), std::string::npos);
}

TEST(Json, BuildsTreesForEmitters) {
    json_ptr root(json_new(JSON_OBJECT, nullptr));
    json_append(root.get(), json_new_string("a", "x"));
    json_append(root.get(), json_new_number("b", 2));
    json_append(root.get(), json_new_bool("c", 5));
    EXPECT_STREQ(json_gets(root.get(), "a", ""), "x");
    EXPECT_EQ(json_getn(root.get(), "b", 0), 2.0);
    EXPECT_EQ(json_get(root.get(), "c")->boolean, 1);
    EXPECT_EQ(json_count(root.get()), 3u);
    // Replacing keeps the member's place; a new key goes to the end.
    json_set(root.get(), "a", json_new_number(nullptr, 7));
    json_set(root.get(), "d", json_new_string("ignored", "new"));
    EXPECT_STREQ(root->child->key, "a");
    EXPECT_EQ(root->child->number, 7.0);
    EXPECT_STREQ(json_at(root.get(), 3)->key, "d");
    EXPECT_EQ(json_count(root.get()), 4u);
    json_node *b = json_detach(root.get(), json_get(root.get(), "b"));
    ASSERT_TRUE(b);
    EXPECT_EQ(json_get(root.get(), "b"), nullptr);
    EXPECT_EQ(json_detach(root.get(), b), nullptr);
    json_free(b);
    EXPECT_EQ(json_set(json_get(root.get(), "d"), "x", json_new_bool(nullptr, 1)), nullptr);
}

TEST(Json, ReadsFiles) {
    tsup::TempDir dir("json");
    std::string path = dir / "doc.json";
    ASSERT_TRUE(tsup::write_file(path, "{\"k\":\"v\"}"));
    json_ptr r(json_parse_file(path.c_str()));
    unlink(path.c_str());
    ASSERT_TRUE(r);
    EXPECT_STREQ(json_gets(r.get(), "k", ""), "v");
    EXPECT_EQ(json_parse_file(path.c_str()), nullptr);
    EXPECT_EQ(json_parse_file(nullptr), nullptr);
}

}  // namespace

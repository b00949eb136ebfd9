// Definition files, the expression language and the legacy XML converter.
#include <gtest/gtest.h>

#include <string.h>

#include "alarm/alarm_config.h"
#include "alarm/alarm_xml.h"
#include "alarm_test_util.h"
#include "common/cp1251.h"
#include "common/json.h"
#include "tests/fuzz/corpus_files.h"

using namespace alarmtest;

namespace {

alarm_config parse(const std::string &text, int *rc = nullptr) {
    alarm_config c;
    int r = alarm_config_parse(&c, text.c_str(), text.size());
    if (rc) *rc = r;
    return c;
}

}  // namespace

TEST(AlarmConfig, DefaultsLimitsAndLevels) {
    int rc;
    alarm_config c = parse("{\"takt_ms\":20,\"levels\":[]}", &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(c.takt_ms, 50);
    ASSERT_EQ(c.levels.size(), 3u);
    EXPECT_STREQ(c.levels[2].sound, "alarm.wav");
    EXPECT_STREQ(c.stations_default, "-станция не указана-");

    c = parse("{\"levels\":[{\"lvl\":4,\"color\":\"red\"}],\"stations_default\":\"X\"}");
    ASSERT_EQ(c.levels.size(), 1u);
    EXPECT_EQ(c.levels[0].lvl, 4);
    EXPECT_STREQ(c.levels[0].sound, "");
    EXPECT_STREQ(c.stations_default, "X");

    std::string many = "{\"levels\":[";
    for (int i = 0; i < 10; i++)
        many += std::string(i ? "," : "") + "{}";
    many += "],\"stations\":[";
    for (int i = 0; i < 70; i++)
        many += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + "}";
    many += "],\"events\":[";
    for (int i = 0; i < 1030; i++)
        many += std::string(i ? "," : "") + "{\"id\":" + std::to_string(i) + "}";
    many += "]}";
    c = parse(many);
    EXPECT_EQ(c.levels.size(), 8u);
    EXPECT_EQ(c.stations.size(), 64u);
    EXPECT_EQ(c.events.size(), 1024u);

    c = parse("{\"events\":[", &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(c.events.empty());
    EXPECT_EQ(c.levels.size(), 3u);
    alarm_config missing;
    EXPECT_EQ(alarm_config_load(&missing, "/nonexistent/alarm.json"), -1);
}

TEST(AlarmConfig, EventsCondAndValidity) {
    alarm_config c = parse(
        "{\"events\":[{\"id\":1,\"expr1\":\"A5\",\"expr2\":\"80\",\"cond\":\"GT\"},"
        "{\"id\":2,\"expr1\":\"A5\",\"expr2\":\"\",\"cond\":\"lt\",\"delta\":1.5,\"abs\":true},"
        "{\"id\":3,\"expr1\":\"A5\",\"expr2\":\"1\",\"lvl\":1e300,\"delta\":\"x\"}]}");
    ASSERT_EQ(c.events.size(), 3u);
    EXPECT_TRUE(c.events[0].valid);
    EXPECT_EQ(c.events[0].cond, ALARM_GTE) << "upper case is not a known name";
    EXPECT_FALSE(c.events[1].valid);
    EXPECT_EQ(c.events[1].cond, ALARM_LT);
    EXPECT_TRUE(c.events[1].abs);
    EXPECT_EQ(c.events[2].delta, 0);
    for (int k = 0; k < 6; k++)
        EXPECT_EQ(alarm_cond_parse(alarm_cond_name(k)), k);
    EXPECT_STREQ(alarm_cond_symbol(5), "!=");
    EXPECT_STREQ(alarm_cond_symbol(6), "?");
}

// Long texts are cut to their fields without splitting a character.
TEST(AlarmConfig, TextsCutOnCharacterBoundaries) {
    std::string desc;
    for (int i = 0; i < 200; i++)
        desc += "ж";  // two bytes each
    alarm_config c = parse("{\"events\":[{\"desc\":\"" + desc + "\"}],\"stations\":[{\"desc\":\"" +
                           desc + "\"}]}");
    EXPECT_EQ(strlen(c.events[0].desc), 254u);
    EXPECT_EQ(strlen(c.stations[0].desc), 94u);
    char b[4];
    alarm_copy_utf8(b, sizeof b, "aжж");
    EXPECT_STREQ(b, "aж");
}

TEST(AlarmExpr, ParseEvalAndTags) {
    struct {
        const char *text;
        int rc;
        char lk;
        int lch;
        char op;
        char rk;
        int rch;
    } cases[] = {
        {"A12", 0, 'A', 12, 0, 'K', 0},
        {"d3 * 2", 0, 'D', 3, '*', 'K', 0},
        {"A7-A8", 0, 'A', 7, '-', 'A', 8},
        {"100", 0, 'K', 0, 0, 'K', 0},
        {"A5 + 3 junk", 0, 'A', 5, '+', 'K', 0},
        {"A5 junk", 0, 'A', 5, 0, 'K', 0},
        {"A0", -1, 0, 0, 0, 0, 0},
        {"X5", -1, 0, 0, 0, 0, 0},
        {"", -1, 0, 0, 0, 0, 0},
        {"A5 + ", -1, 0, 0, 0, 0, 0},
        {"\t-2.5e1 / a1", 0, 'K', 0, '/', 'A', 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        alarm_expr e;
        ASSERT_EQ(alarm_expr_parse(c.text, &e), c.rc);
        if (c.rc) continue;
        EXPECT_EQ(e.left.kind, c.lk);
        EXPECT_EQ(e.left.channel, c.lch);
        EXPECT_EQ(e.op, c.op);
        if (c.op) {
            EXPECT_EQ(e.right.kind, c.rk);
            EXPECT_EQ(e.right.channel, c.rch);
        }
    }
    alarm_expr none;
    EXPECT_EQ(alarm_expr_parse(nullptr, &none), -1);

    fake_values v;
    v.set('A', 5, 10);
    v.set('A', 6, 0);
    v.set('D', 5, 1, false);
    alarm_expr e;
    int bad;
    alarm_expr_parse("A5 / A6", &e);
    EXPECT_EQ(alarm_expr_eval(&e, fake_values::fn, &v, &bad), 0);
    EXPECT_EQ(bad, 0);
    alarm_expr_parse("A5 - D5", &e);
    EXPECT_EQ(alarm_expr_eval(&e, fake_values::fn, &v, &bad), 9) << "a bad value is still used";
    EXPECT_EQ(bad, 1);
    int ids[4];
    ASSERT_EQ(alarm_expr_tags(&e, ids, 4), 1) << "A5 and D5 share the number";
    EXPECT_EQ(ids[0], 5);
    alarm_expr_parse("7 + A9", &e);
    ASSERT_EQ(alarm_expr_tags(&e, ids, 4), 1);
    EXPECT_EQ(ids[0], 9);
    alarm_expr_parse("A1 * A2", &e);
    EXPECT_EQ(alarm_expr_tags(&e, ids, 1), 1);
}

TEST(AlarmXml, ConvertsTheLegacyFile) {
    std::string xml = utf8_to_cp1251(
        "<alarms><stations default=\"Невідома\">"
        "<s id=\"1\" desc=\"Котельня\"/><s id=\"x2\" desc=\"Насосна\"/></stations>"
        "<events><e id=\"10\" expr1=\"A1\" expr2=\"80\" desc=\"Тиск > норми &quot;1&quot;\" "
        "flags=\"m\" delta=\"1.5\" lvl=\"2\" station=\"1\"/>"
        "<e eid=\"5\" id=\"11\" expr1=\"A2\" expr2=\"A3\" cond=\"lt\" desc=\"a\"b\" lvl=\"2x\"/>"
        "<e id=\"12\" expr1=\"D1\" expr2=\"1\" cond=\"GT\"/></events></alarms>");
    std::string json;
    EXPECT_EQ(alarm_xml_convert(xml, &json), 3) << "station x2, lvl 2x, cond GT";
    json_ptr root(json_parse(json.c_str()));
    ASSERT_TRUE(root) << json;
    EXPECT_STREQ(json_gets(root.get(), "stations_default", ""), "Невідома");
    const json_node *st = json_get(root.get(), "stations");
    ASSERT_EQ(json_count(st), 2u);
    EXPECT_STREQ(json_gets(json_at(st, 1), "desc", ""), "Насосна");
    EXPECT_EQ(json_geti(json_at(st, 1), "id", -1), 0);
    const json_node *ev = json_get(root.get(), "events");
    ASSERT_EQ(json_count(ev), 3u);
    const json_node *e0 = json_at(ev, 0);
    EXPECT_STREQ(json_gets(e0, "cond", ""), "gte");
    EXPECT_TRUE(json_getb(e0, "abs", 0));
    EXPECT_STREQ(json_gets(e0, "desc", ""), "Тиск > норми \"1\"");
    EXPECT_EQ(json_getn(e0, "delta", 0), 1.5);
    const json_node *e1 = json_at(ev, 1);
    EXPECT_EQ(json_geti(e1, "id", 0), 11) << "eid must not be read as id";
    EXPECT_STREQ(json_gets(e1, "desc", ""), "a") << "a quote ends the value";
    EXPECT_EQ(json_geti(e1, "lvl", -1), 0);
    EXPECT_FALSE(json_getb(e1, "abs", 1));
    EXPECT_STREQ(json_gets(json_at(ev, 2), "cond", ""), "gte");
    EXPECT_EQ(json.rfind("{\n  \"version\": 1,\n  \"takt_ms\": 500,\n", 0), 0u);

    tsup::TempDir d("alarm");
    write_file(d.path + "/alarm.xml", xml);
    EXPECT_EQ(alarm_import_xml((d.path + "/alarm.xml").c_str(), (d.path + "/a.json").c_str()), 0);
    EXPECT_EQ(read_file(d.path + "/a.json"), json);
    EXPECT_EQ(alarm_import_xml((d.path + "/none.xml").c_str(), (d.path + "/b.json").c_str()), -1);
}

// The fuzz corpora stay parseable without faults under the sanitizers.
TEST(AlarmFuzzCorpus, DefinitionsAndLegacyFiles) {
    for (const std::string &f : fuzz_corpus_files("alarm_json")) {
        std::string t = fuzz_read_file(f);
        alarm_config c;
        alarm_config_parse(&c, t.data(), t.size());
    }
    for (const std::string &f : fuzz_corpus_files("alarm_xml")) {
        std::string json;
        alarm_xml_convert(fuzz_read_file(f), &json);
        EXPECT_TRUE(json_ptr(json_parse(json.c_str()))) << f;
    }
}

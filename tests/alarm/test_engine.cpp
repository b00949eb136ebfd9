// The evaluation engine with an injected clock and channel table: hysteresis
// of every condition kind, quality checks, journal ids across midnights and
// clock steps, restarts, reloads, acknowledgements and push bookkeeping.
#include <gtest/gtest.h>

#include <memory>

#include "alarm/alarm_ack.h"
#include "alarm/alarm_engine.h"
#include "alarm_test_util.h"
#include "common/json.h"

using namespace alarmtest;

namespace {

struct engine_fixture : ::testing::Test {
    // Local time is UTC, so dates and ids do not depend on the host.
    tsup::ZoneGuard utc{"UTC"};
    tsup::TempDir dir{"alarm"};
    fake_values vals;
    std::unique_ptr<alarm_engine> eng;

    void defs(const std::string &events, const std::string &extra = "") {
        write_file(dir.path + "/alarm.json",
                   "{\"takt_ms\":100" + extra + ",\"events\":[" + events + "]}");
    }
    void start(int64_t now) {
        eng = std::make_unique<alarm_engine>();
        alarm_engine_start(eng.get(), dir.path, 0, now);
    }
    int turn(int64_t now) { return alarm_engine_turn(eng.get(), now, fake_values::fn, &vals); }
    bool active(size_t i) { return eng->cfg.events[i].active; }
    std::vector<std::string> journal(int ymd) {
        return lines_of(read_file(alarm_journal_path(dir.path, ymd)));
    }
    alarm_record record(int ymd, size_t i) {
        alarm_record r;
        auto l = journal(ymd);
        EXPECT_LT(i, l.size());
        if (i < l.size()) {
            EXPECT_EQ(alarm_record_parse(l[i].data(), l[i].size(), &r), 0);
        }
        return r;
    }
    void ack(long long id, const char *ip, int64_t now) {
        alarm_ack_req q;
        q.id = id;
        snprintf(q.ip, sizeof q.ip, "%s", ip);
        alarm_engine_ack(eng.get(), {q}, now);
    }
};

const int64_t T0 = utc_ms(2026, 12, 6, 10, 0, 0);

std::string ev(int id, const char *e1, const char *cond, const char *e2, double delta,
               const char *more = "") {
    char b[512];
    snprintf(b, sizeof b,
             "{\"id\":%d,\"expr1\":\"%s\",\"expr2\":\"%s\",\"cond\":\"%s\",\"delta\":%g,"
             "\"desc\":\"Подія %d\",\"lvl\":2,\"station\":3%s}",
             id, e1, e2, cond, delta, id, more);
    return b;
}

}  // namespace

// Each kind at its exact thresholds: raise on the plain comparison, hold
// within delta, clear just beyond it.
TEST_F(engine_fixture, HysteresisAtExactThresholdsForEveryKind) {
    struct step {
        double a1;
        bool on;
    };
    struct kind_case {
        const char *cond;
        double delta;
        std::vector<step> steps;
    } cases[] = {
        {"gt", 2, {{10, false}, {10.1, true}, {8.5, true}, {8.0, false}, {10, false}}},
        {"gte", 2, {{9.9, false}, {10, true}, {8.0, true}, {7.9, false}}},
        {"lt", 2, {{10, false}, {9.9, true}, {11.9, true}, {12, false}}},
        {"lte", 2, {{10.1, false}, {10, true}, {12, true}, {12.1, false}}},
        {"equ", 0.5, {{10.6, false}, {10.5, true}, {9.5, true}, {9.4, false}, {9.5, true}}},
        {"neq", 0.5, {{10.5, false}, {10.6, true}, {9.4, true}, {9.5, false}}},
    };
    for (const kind_case &c : cases) {
        SCOPED_TRACE(c.cond);
        defs(ev(1, "A1", c.cond, "A2", c.delta));
        start(T0);
        vals.set('A', 2, 10);
        int64_t t = T0;
        for (const step &s : c.steps) {
            vals.set('A', 1, s.a1);
            turn(t += 100);
            EXPECT_EQ(active(0), s.on) << "A1=" << s.a1;
        }
        std::remove(alarm_journal_path(dir.path, 20261206).c_str());
        std::remove((dir.path + "/alarms_active.json").c_str());
    }
}

TEST_F(engine_fixture, QualityAbsAndExpressions) {
    defs(ev(1, "A1", "gt", "50", 0, ",\"check_quality\":true") + "," + ev(2, "A1", "gt", "50", 0) +
         "," + ev(3, "A3", "gt", "A4", 0, ",\"abs\":true") + "," + ev(4, "A5 / A6", "gte", "1", 0) +
         "," + ev(5, "A7", "gt", "", 0));
    start(T0);
    // A bad channel: the checking event never raises, the other compares
    // the stale value.
    vals.set('A', 1, 60, false);
    vals.set('A', 3, -20);
    vals.set('A', 4, 10);
    vals.set('A', 5, 5);
    vals.set('A', 6, 0);
    turn(T0 + 100);
    EXPECT_FALSE(active(0));
    EXPECT_TRUE(active(1));
    EXPECT_TRUE(active(2)) << "|-20| > |10|";
    EXPECT_FALSE(active(3)) << "5 / 0 is 0";
    EXPECT_FALSE(eng->cfg.events[4].valid);
    vals.set('A', 1, 60);
    turn(T0 + 200);
    EXPECT_TRUE(active(0));
    // Quality lost while active: the checking event clears.
    vals.set('A', 1, 60, false);
    turn(T0 + 300);
    EXPECT_FALSE(active(0));
    EXPECT_TRUE(active(1));
}

TEST_F(engine_fixture, JournalAndActiveFileFormats) {
    defs(ev(7, "A12", "gt", "80", 1, ",\"abs\":true") + "," +
         "{\"id\":8,\"expr1\":\"A1\",\"expr2\":\"5\",\"cond\":\"gt\",\"desc\":\"a \\\"q\\\" \\\\ "
         "b\"}");
    start(T0);
    vals.set('A', 12, 90);
    vals.set('A', 1, 9);
    EXPECT_EQ(turn(T0 + 1234), 2);
    auto l = journal(20261206);
    ASSERT_EQ(l.size(), 2u);
    EXPECT_EQ(l[0],
              "{\"id\":2026120600001,\"ts\":\"2026-12-06T10:00:01.234\",\"event_id\":7,"
              "\"desc\":\"Подія 7\",\"expr\":\"|A12| > |80|\",\"params\":[12],\"cond\":\"gt\","
              "\"lvl\":2,\"station\":3,\"clear_ts\":\"\",\"ack_ts\":\"\",\"ack_ip\":\"\","
              "\"delivered_ts\":\"\"}");
    for (const std::string &line : l)
        EXPECT_TRUE(json_ptr(json_parse(line.c_str()))) << line;
    std::string act = read_file(dir.path + "/alarms_active.json");
    EXPECT_EQ(act,
              "{\"ts\":\"2026-12-06T10:00:01.234\",\"active\":[{\"id\":7,\"journal_id\":"
              "2026120600001,\"desc\":\"Подія 7\",\"expr\":\"|A12| > |80|\",\"params\":[12],"
              "\"lvl\":2,\"station\":3,\"since\":\"2026-12-06T10:00:01\"},{\"id\":8,\"journal_id\":"
              "2026120600002,\"desc\":\"a \\\"q\\\" \\\\ b\",\"expr\":\"A1 > 5\",\"params\":[1],"
              "\"lvl\":0,\"station\":0,\"since\":\"2026-12-06T10:00:01\"}]}");
    EXPECT_TRUE(json_ptr(json_parse(act.c_str())));
    vals.set('A', 12, 10);
    turn(T0 + 5000);
    EXPECT_EQ(record(20261206, 0).clear_ts, std::string("2026-12-06T10:00:05.000"));
}

// Numbering continues after the highest id of the day's file; an alarm that
// was active at the stop keeps its record and is not journalled twice.
TEST_F(engine_fixture, RestartKeepsActiveAlarmsAndNumbering) {
    defs(ev(1, "A1", "gt", "50", 0) + "," + ev(2, "A2", "gt", "50", 0) + "," +
         ev(3, "A3", "gt", "50", 0));
    start(T0);
    vals.set('A', 1, 60);
    vals.set('A', 2, 60);
    turn(T0 + 100);
    ASSERT_EQ(journal(20261206).size(), 2u);
    eng.reset();
    // Event 2 is gone after the restart: its record is closed.
    defs(ev(1, "A1", "gt", "50", 0) + "," + ev(3, "A3", "gt", "50", 0));
    start(T0 + 60000);
    EXPECT_TRUE(active(0));
    EXPECT_EQ(eng->cfg.events[0].journal_id, 2026120600001);
    EXPECT_EQ(record(20261206, 1).clear_ts, std::string("2026-12-06T10:01:00.000"));
    turn(T0 + 60100);
    EXPECT_EQ(journal(20261206).size(), 2u);
    vals.set('A', 3, 60);
    turn(T0 + 60200);
    EXPECT_EQ(eng->cfg.events[1].journal_id, 2026120600003);
    vals.set('A', 1, 0);
    turn(T0 + 60300);
    EXPECT_EQ(record(20261206, 0).clear_ts, std::string("2026-12-06T10:01:00.300"));
}

// A record journalled just before a stop that came before the active file
// was written is taken over, not raised again.
TEST_F(engine_fixture, RestartAdoptsAnOpenRecordMissingFromTheActiveFile) {
    defs(ev(1, "A1", "gt", "50", 0));
    start(T0);
    vals.set('A', 1, 60);
    turn(T0 + 100);
    eng.reset();
    write_file(dir.path + "/alarms_active.json", "{\"ts\":\"\",\"active\":[]}");
    start(T0 + 1000);
    turn(T0 + 1100);
    EXPECT_EQ(journal(20261206).size(), 1u);
    EXPECT_EQ(eng->cfg.events[0].journal_id, 2026120600001);
}

// Midnight: the new day starts its own file and ids; an alarm raised
// yesterday is closed in yesterday's file. A clock stepped back loads the
// earlier day's file instead of overwriting it, and never reuses its ids.
TEST_F(engine_fixture, MidnightAndClockSteppedBack) {
    defs(ev(1, "A1", "gt", "50", 0) + "," + ev(2, "A2", "gt", "50", 0));
    int64_t eve = utc_ms(2026, 12, 6, 23, 59, 59, 500);
    start(eve);
    vals.set('A', 1, 60);
    turn(eve);
    vals.set('A', 2, 60);
    vals.set('A', 1, 0);
    int64_t morning = utc_ms(2026, 12, 7, 0, 0, 0, 500);
    turn(morning);
    EXPECT_EQ(record(20261206, 0).clear_ts, std::string("2026-12-07T00:00:00.500"));
    EXPECT_EQ(record(20261207, 0).id, 2026120700001);
    EXPECT_EQ(journal(20261206).size(), 1u);

    // Back to yesterday: event 1 raises again as yesterday's second record.
    vals.set('A', 1, 60);
    turn(utc_ms(2026, 12, 6, 23, 59, 59, 900));
    auto y = journal(20261206);
    ASSERT_EQ(y.size(), 2u);
    EXPECT_EQ(record(20261206, 1).id, 2026120600002);
    EXPECT_EQ(journal(20261207).size(), 1u);
    // Forward again: today's file and numbering resume.
    vals.set('A', 1, 0);
    vals.set('A', 2, 0);
    turn(morning + 1000);
    vals.set('A', 2, 60);
    turn(morning + 2000);
    EXPECT_EQ(record(20261207, 1).id, 2026120700002);
    EXPECT_EQ(record(20261206, 1).clear_ts, std::string("2026-12-07T00:00:01.500"));
}

TEST_F(engine_fixture, AcknowledgementsTodayYesterdayAndUnknown) {
    defs(ev(1, "A1", "gt", "50", 0));
    int64_t eve = utc_ms(2026, 12, 6, 23, 0, 0);
    start(eve);
    vals.set('A', 1, 60);
    turn(eve);
    int64_t next = utc_ms(2026, 12, 7, 8, 0, 0);
    vals.set('A', 1, 0);
    turn(next);
    vals.set('A', 1, 60);
    turn(next + 100);
    ack(2026120600001, "10.0.0.5", next + 200);
    ack(2026120700001, "10.0.0.6", next + 300);
    ack(2026120700001, "10.0.0.7", next + 400);  // already acknowledged
    ack(2026120700099, "10.0.0.8", next + 500);  // unknown
    ack(2026133100001, "10.0.0.9", next + 500);  // no such date
    alarm_record y = record(20261206, 0), t = record(20261207, 0);
    EXPECT_EQ(y.ack_ts, std::string("2026-12-07T08:00:00.200"));
    EXPECT_EQ(y.ack_ip, std::string("10.0.0.5"));
    EXPECT_EQ(t.ack_ts, std::string("2026-12-07T08:00:00.300"));
    EXPECT_EQ(t.ack_ip, std::string("10.0.0.6"));
    EXPECT_EQ(journal(20261207).size(), 1u);
}

TEST_F(engine_fixture, ReloadKeepsStatesByOccurrenceAndClearsRemovedEvents) {
    // Two events share id 5; a third goes away; a fourth turns invalid.
    defs(ev(5, "A1", "gt", "50", 0) + "," + ev(5, "A2", "gt", "50", 0) + "," +
         ev(6, "A3", "gt", "50", 0) + "," + ev(7, "A4", "gt", "50", 0));
    start(T0);
    for (int i = 1; i <= 4; i++)
        vals.set('A', i, i == 1 ? 0 : 60);
    turn(T0 + 100);
    ASSERT_EQ(journal(20261206).size(), 3u);
    write_file(dir.path + "/alarm.json.import", "{\"events\":[" + ev(5, "A1", "gt", "50", 0) + "," +
                                                    ev(5, "A2", "gt", "50", 0) + "," +
                                                    ev(7, "A4", "gt", "", 0) + "]}");
    EXPECT_EQ(alarm_engine_reload(eng.get(), T0 + 200), 2);
    EXPECT_FALSE(file_exists(dir.path + "/alarm.json.import"));
    EXPECT_FALSE(active(0));
    EXPECT_TRUE(active(1));
    EXPECT_EQ(eng->cfg.events[1].journal_id, 2026120600001);
    EXPECT_EQ(record(20261206, 1).clear_ts, std::string("2026-12-06T10:00:00.200"));
    EXPECT_EQ(record(20261206, 2).clear_ts, std::string("2026-12-06T10:00:00.200"));
    turn(T0 + 300);
    EXPECT_EQ(journal(20261206).size(), 3u);

    // An engineer's broken file is left alone and the definitions stay.
    write_file(dir.path + "/alarm.json", "{\"events\":[");
    write_file(dir.path + "/alarm.xml", "<e id=\"9\" expr1=\"A9\" expr2=\"1\"/>");
    alarm_engine_reload(eng.get(), T0 + 400);
    EXPECT_EQ(read_file(dir.path + "/alarm.json"), "{\"events\":[");
    EXPECT_EQ(eng->cfg.events.size(), 3u);
    EXPECT_TRUE(active(1));
    // Without alarm.json the legacy file is converted.
    std::remove((dir.path + "/alarm.json").c_str());
    alarm_engine_reload(eng.get(), T0 + 500);
    ASSERT_EQ(eng->cfg.events.size(), 1u);
    EXPECT_EQ(eng->cfg.events[0].id, 9);
}

TEST_F(engine_fixture, FullJournalStillRaisesAndClears) {
    std::string text;
    for (int i = 1; i <= (int)ALARM_JOURNAL_MAX; i++) {
        alarm_record r;
        r.id = 2026120600000LL + i;
        text += alarm_record_line(r) + "\n";
    }
    write_file(alarm_journal_path(dir.path, 20261206), text);
    defs(ev(1, "A1", "gt", "50", 0));
    start(T0);
    vals.set('A', 1, 60);
    turn(T0 + 100);
    EXPECT_TRUE(active(0));
    EXPECT_EQ(eng->cfg.events[0].journal_id, 0);
    EXPECT_NE(read_file(dir.path + "/alarms_active.json").find("\"journal_id\":0"),
              std::string::npos);
    vals.set('A', 1, 0);
    turn(T0 + 200);
    EXPECT_FALSE(active(0));
    EXPECT_EQ(journal(20261206).size(), ALARM_JOURNAL_MAX);
}

// A record that changes while its push is in flight stays undelivered; a
// record closed in an older day's file is pushed and then marked there.
TEST_F(engine_fixture, PushMarksOnlyUnchangedRecordsDelivered) {
    defs(ev(1, "A1", "gt", "50", 0) + "," + ev(2, "A2", "gt", "50", 0));
    int64_t eve = utc_ms(2026, 12, 6, 23, 0, 0);
    start(eve);
    vals.set('A', 1, 60);
    vals.set('A', 2, 60);
    turn(eve);
    alarm_push_batch b;
    alarm_engine_push_body(eng.get(), "demo", "", &b);
    json_ptr body(json_parse(b.body.c_str()));
    ASSERT_TRUE(body) << b.body;
    EXPECT_EQ(json_count(json_get(body.get(), "events")), 2u);
    EXPECT_TRUE(json_get(body.get(), "cfg"));
    EXPECT_EQ(json_count(json_get(json_get(body.get(), "active"), "active")), 2u);
    ack(2026120600002, "10.0.0.1", eve + 100);  // while the push is out
    alarm_engine_push_done(eng.get(), b, eve + 200);
    EXPECT_EQ(record(20261206, 0).delivered_ts, std::string("2026-12-06T23:00:00.200"));
    EXPECT_EQ(record(20261206, 1).delivered_ts, std::string(""));

    // Next day: event 1 clears in yesterday's file; both go out again.
    int64_t next = utc_ms(2026, 12, 7, 1, 0, 0);
    vals.set('A', 1, 0);
    turn(next);
    std::string crc = json_gets(body.get(), "cfg_crc", "");
    alarm_engine_push_body(eng.get(), "demo", crc.c_str(), &b);
    body.reset(json_parse(b.body.c_str()));
    ASSERT_TRUE(body);
    EXPECT_FALSE(json_get(body.get(), "cfg")) << "the server already has this alarm.json";
    EXPECT_EQ(json_count(json_get(body.get(), "events")), 2u);
    alarm_engine_push_done(eng.get(), b, next + 100);
    EXPECT_NE(record(20261206, 0).delivered_ts[0], 0);
    EXPECT_NE(record(20261206, 1).delivered_ts[0], 0);
    alarm_engine_push_body(eng.get(), "demo", crc.c_str(), &b);
    body.reset(json_parse(b.body.c_str()));
    EXPECT_EQ(json_count(json_get(body.get(), "events")), 0u);
}

// Journal lines, ids and dates, older-day patches, the acknowledgement file
// shared with the server, and the reader functions the server uses.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "alarm/alarm_ack.h"
#include "alarm/alarm_journal.h"
#include "alarm/alarm_reader.h"
#include "alarm_test_util.h"
#include "common/json.h"
#include "tests/fuzz/corpus_files.h"

using namespace alarmtest;

TEST(AlarmJournal, LinesRoundTripAndStayValidJson) {
    alarm_record r;
    r.id = 2026120600001;
    snprintf(r.ts, sizeof r.ts, "2026-12-06T10:00:00.000");
    r.event_id = -4;
    snprintf(r.desc, sizeof r.desc, "Тиск \"високий\" \\ \t%s", "\x01");
    snprintf(r.expr, sizeof r.expr, "A1 > \"x\\");
    snprintf(r.params, sizeof r.params, "[1,2]");
    snprintf(r.ack_ip, sizeof r.ack_ip, "10.0.0.1");
    std::string line = alarm_record_line(r);
    ASSERT_TRUE(json_ptr(json_parse(line.c_str()))) << line;
    alarm_record back;
    ASSERT_EQ(alarm_record_parse(line.data(), line.size(), &back), 0);
    EXPECT_EQ(alarm_record_line(back), line);

    // params is rebuilt from its numbers; cond only from the known names.
    std::string odd =
        "{\"id\":2026120600002,\"params\":[1,\"x\",-3,4.0],\"cond\":\"zz\",\"lvl\":\"x\"}";
    ASSERT_EQ(alarm_record_parse(odd.data(), odd.size(), &back), 0);
    EXPECT_STREQ(back.params, "[1,4]");
    EXPECT_STREQ(back.cond, "gte");
    for (const char *bad : {"", "[]", "{\"id\":0}", "{\"id\":\"5\"}", "{\"id\":1"}) {
        EXPECT_EQ(alarm_record_parse(bad, strlen(bad), &back), -1) << bad;
    }
}

// Lines of any length are read; lines that are not records survive a
// rewrite unchanged.
TEST(AlarmJournal, LongAndDamagedLinesSurviveARewrite) {
    alarm_record r;
    r.id = 2026120600001;
    std::string big(5000, 'x');
    snprintf(r.desc, sizeof r.desc, "%s", big.c_str());
    std::string text = alarm_record_line(r) + "\n" + "garbage {" + big + "\n\n" +
                       "{\"id\":2026120600002,\"extra\":\"" + big + "\"}\r\n";
    std::vector<alarm_jline> lines;
    alarm_journal_parse(text, &lines);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].is_record);
    EXPECT_FALSE(lines[1].is_record);
    EXPECT_TRUE(lines[2].is_record);
    std::string out;
    alarm_journal_format(lines, &out);
    EXPECT_NE(out.find("garbage {" + big + "\n"), std::string::npos);
    // A damaged line keeps its carriage returns through any number of rewrites.
    std::string cr = "{broken\r\r\n", again;
    std::vector<alarm_jline> crl;
    alarm_journal_parse(cr, &crl);
    alarm_journal_format(crl, &out);
    alarm_journal_parse(out, &crl);
    alarm_journal_format(crl, &again);
    EXPECT_EQ(again, cr);

    tsup::TempDir d("alarm");
    write_file(alarm_journal_path(d.path, 20261206), text);
    bool changed;
    EXPECT_EQ(alarm_patch_day(d.path, 2026120600002, "2026-12-07T00:00:00.000", nullptr, nullptr,
                              &changed),
              1);
    EXPECT_TRUE(changed);
    std::string after = read_file(alarm_journal_path(d.path, 20261206));
    EXPECT_NE(after.find("garbage {" + big + "\n"), std::string::npos);
    EXPECT_NE(after.find("\"clear_ts\":\"2026-12-07T00:00:00.000\""), std::string::npos);
    // Second clear and an unknown id change nothing.
    EXPECT_EQ(alarm_patch_day(d.path, 2026120600002, "2026-12-08T00:00:00.000", nullptr, nullptr,
                              &changed),
              1);
    EXPECT_FALSE(changed);
    EXPECT_EQ(alarm_patch_day(d.path, 2026120600009, "x", "y", "z", &changed), 0);
    EXPECT_EQ(alarm_patch_day(d.path, 2026120500001, "x", "y", "z", &changed), 0);
    EXPECT_EQ(read_file(alarm_journal_path(d.path, 20261206)), after);
}

TEST(AlarmJournal, IdsDatesAndTimes) {
    tsup::ZoneGuard utc("UTC");
    EXPECT_EQ(alarm_id_ymd(2026120600001), 20261206);
    EXPECT_EQ(alarm_id_ymd(2026023000001), 0);
    EXPECT_EQ(alarm_id_ymd(2024022900001), 20240229);
    EXPECT_EQ(alarm_id_ymd(-1), 0);
    EXPECT_EQ(alarm_id_ymd(9223372036854775807LL), 0);
    EXPECT_EQ(alarm_day_text(20261206), "06122026");
    EXPECT_EQ(alarm_journal_name_ymd("journal-06122026.jsonl"), 20261206);
    EXPECT_EQ(alarm_journal_name_ymd("journal-32122026.jsonl"), 0);
    EXPECT_EQ(alarm_journal_name_ymd("journal-0612202.jsonl"), 0);
    EXPECT_EQ(alarm_parse_iso_date("2026-12-06"), 20261206);
    EXPECT_EQ(alarm_parse_iso_date("2026-13-06"), 0);
    EXPECT_EQ(alarm_parse_iso_date("2026-12-6"), 0);
    int64_t t = utc_ms(2026, 12, 6, 23, 59, 59, 7);
    char b[32];
    alarm_local_iso(t, true, b, sizeof b);
    EXPECT_STREQ(b, "2026-12-06T23:59:59.007");
    EXPECT_EQ(alarm_parse_local_iso(b), t);
    alarm_local_iso(t, false, b, sizeof b);
    EXPECT_STREQ(b, "2026-12-06T23:59:59");
    EXPECT_EQ(alarm_parse_local_iso("2026-12-06"), 0);
    EXPECT_EQ(alarm_local_ymd(t + 1000), 20261207);
}

TEST(AlarmAck, LineParsing) {
    alarm_ack_req q;
    EXPECT_EQ(alarm_ack_parse_line("2026120600001 10.0.0.5", 22, &q), 0);
    EXPECT_EQ(q.id, 2026120600001);
    EXPECT_STREQ(q.ip, "10.0.0.5");
    std::string long_ip(60, '1');
    for (std::string bad : {std::string("x 1.2.3.4"), std::string("12"), std::string("0 1.1.1.1"),
                            std::string("12 ") + long_ip, std::string(130, '1') + " a",
                            std::string("99999999999999999999 a"), std::string("5 \0abc", 6),
                            std::string("5 1.2.\x01.4")})
        EXPECT_EQ(alarm_ack_parse_line(bad.data(), bad.size(), &q), -1) << bad;
    std::vector<alarm_ack_req> v;
    alarm_ack_parse("1 a\nbad\n2 b\r\n3", &v);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_STREQ(v[1].ip, "b");
}

// Appenders on many threads and a taker that renames the file away as
// often as it can: every request arrives exactly once.
TEST(AlarmAck, ConcurrentAppendsAreNeverLost) {
    tsup::TempDir d("alarm");
    const int threads = 8, per = 200;
    std::atomic<int> done{0};
    std::multiset<long long> got;
    std::thread taker([&] {
        std::vector<alarm_ack_req> reqs;
        for (;;) {
            bool last = done.load() == threads;
            int rc = alarm_ack_take(d.path, &reqs);
            if (rc == 1) {
                for (const alarm_ack_req &q : reqs)
                    got.insert(q.id);
                alarm_ack_done(d.path);
            }
            if (last && rc < 0) break;
        }
    });
    std::vector<std::thread> ws;
    for (int t = 0; t < threads; t++)
        ws.emplace_back([&, t] {
            for (int i = 0; i < per; i++)
                EXPECT_EQ(alarm_ack_append(d.path, 1000000LL * (t + 1) + i, "127.0.0.1"), 0);
            done++;
        });
    for (auto &w : ws)
        w.join();
    taker.join();
    EXPECT_EQ(got.size(), size_t(threads * per));
    for (int t = 0; t < threads; t++)
        for (int i = 0; i < per; i++)
            EXPECT_EQ(got.count(1000000LL * (t + 1) + i), 1u);
}

// Requests set aside by one take are returned by the next; a take whose
// requests were not confirmed applied is repeated, and newer requests wait.
TEST(AlarmAck, TakesAreDeferredAndRepeatedUntilDone) {
    tsup::TempDir d("alarm");
    std::vector<alarm_ack_req> v;
    EXPECT_EQ(alarm_ack_take(d.path, &v), -1);
    alarm_ack_append(d.path, 11, "a");
    EXPECT_EQ(alarm_ack_take(d.path, &v), 0);
    EXPECT_TRUE(v.empty());
    alarm_ack_append(d.path, 12, "b");
    ASSERT_EQ(alarm_ack_take(d.path, &v), 1);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].id, 11);
    ASSERT_EQ(alarm_ack_take(d.path, &v), 1) << "not confirmed: taken again";
    EXPECT_EQ(v[0].id, 11);
    alarm_ack_done(d.path);
    EXPECT_EQ(alarm_ack_take(d.path, &v), 0);
    ASSERT_EQ(alarm_ack_take(d.path, &v), 1);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].id, 12);
    alarm_ack_done(d.path);
    EXPECT_EQ(alarm_ack_take(d.path, &v), -1);
}

TEST(AlarmReader, JournalDaysStationsAndRights) {
    tsup::TempDir d("alarm");
    alarm_record r;
    r.id = 2026120600001;
    r.station = 4;
    write_file(alarm_journal_path(d.path, 20261206), alarm_record_line(r) + "\nbroken\n\n");
    write_file(alarm_journal_path(d.path, 20251231), "");
    write_file(d.path + "/journal-99999999.jsonl", "");
    write_file(d.path + "/alarms_active.json",
               "{\"ts\":\"\",\"active\":[{\"id\":1,\"journal_id\":2026120700003,\"station\":7}]}");
    write_file(d.path + "/alarm.json",
               "{\"stations\":[{\"id\":4,\"ack_ips\":[\"10.0.0.1\"]},{\"id\":7,\"ack_ips\":[]}]}");
    EXPECT_EQ(alarm_journal_json(d.path, 20261206), "{\"records\":[" + alarm_record_line(r) + "]}");
    EXPECT_EQ(alarm_journal_json(d.path, 20200101), "{\"records\":[]}");
    EXPECT_EQ(alarm_journal_days(d.path, 150), (std::vector<int>{20261206, 20251231}));
    EXPECT_EQ(alarm_journal_days(d.path, 1).size(), 1u);
    EXPECT_EQ(alarm_iso_date(20261206), "2026-12-06");
    EXPECT_EQ(alarm_station_of(d.path, 2026120700003), 7);
    EXPECT_EQ(alarm_station_of(d.path, 2026120600001), 4);
    EXPECT_EQ(alarm_station_of(d.path, 2026120600002), -1);
    EXPECT_TRUE(alarm_ack_allowed(d.path, 4, "10.0.0.1"));
    EXPECT_FALSE(alarm_ack_allowed(d.path, 4, "10.0.0.2"));
    EXPECT_TRUE(alarm_ack_allowed(d.path, 7, "10.0.0.2"));
    EXPECT_TRUE(alarm_ack_allowed(d.path, 9, "10.0.0.2"));
}

TEST(AlarmFuzzCorpus, JournalAndAckLines) {
    for (const std::string &f : fuzz_corpus_files("alarm_journal")) {
        std::vector<alarm_jline> lines;
        std::string text = fuzz_read_file(f), out;
        alarm_journal_parse(text, &lines);
        alarm_journal_format(lines, &out);
        for (const alarm_jline &l : lines)
            if (l.is_record) {
                EXPECT_TRUE(json_ptr(json_parse(alarm_record_line(l.rec).c_str())));
            }
    }
    for (const std::string &f : fuzz_corpus_files("alarm_ack")) {
        std::vector<alarm_ack_req> v;
        alarm_ack_parse(fuzz_read_file(f), &v);
    }
}

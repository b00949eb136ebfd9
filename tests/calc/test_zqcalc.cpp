// The real zqcalc on a test database: own tags and write requests, state
// across kills and broken programs, commands, reports and the clock.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "calc_proc.h"

using namespace calctest;

namespace {

const char *kBase = "  takt_ms: 50\n  stale_ms: 0\n";

bool wait_var_at_least(const project &p, const char *name, double v, int ms = 10000) {
    return tsup::wait_for([&] { return var_value(p, name) >= v; }, ms);
}

// The variable once vars.json exists (the first save follows the first tick).
double var_now(const project &p, const char *name) {
    double v = NAN;
    tsup::wait_for([&] { return !std::isnan(v = var_value(p, name)); });
    return v;
}

}  // namespace

TEST(Zqcalc, OwnTagsAndWriteRequests) {
    test_db db;
    ASSERT_TRUE(db.ok);
    project p(std::string(kBase) +
                  "  items:\n    - A10, lreal, twice\n    - A15, dint, sp\n    - D5, bool, flag\n",
              "VAR n : DINT; END_VAR\n"
              "n := n + 1;\n"
              "twice := A1 * 2;\n"
              "A11 := twice + 1;\n"
              "A20 := A2;\n"
              "flag := 1;\n");
    db.set_a(1, 3);
    db.set_a(2, 5);
    ASSERT_TRUE(p.start(db));
    // Own tag written and read back in the same program; the channel it
    // feeds is not own, so it gets a request instead.
    ASSERT_TRUE(tsup::wait_for([&] { return db.a(10) == 6 && db.a_good(10); }));
    ASSERT_TRUE(tsup::wait_for([&] { return shm_write_pending(db.aw(11)); }));
    EXPECT_EQ(db.aw(11)->value, 7);
    EXPECT_FALSE(shm_write_pending(db.aw(10)));
    EXPECT_EQ(shm_discrete(&db.h, 5)->value, 1);
    EXPECT_EQ(*shm_an_vtype(&db.h, 10), ZQ_VT_LREAL);

    // One request per change: take it as a driver would, then nothing more
    // while the value stays.
    double v = 0;
    ASSERT_TRUE(tsup::wait_for([&] { return shm_write_pending(db.aw(20)); }));
    ASSERT_TRUE(shm_take_write(db.aw(20), &v));
    EXPECT_EQ(v, 5);
    double n0 = var_now(p, "n");
    ASSERT_TRUE(wait_var_at_least(p, "n", n0 + 20));
    EXPECT_FALSE(shm_write_pending(db.aw(20)));
    db.set_a(2, 6);
    ASSERT_TRUE(tsup::wait_for([&] { return shm_write_pending(db.aw(20)); }));
    ASSERT_TRUE(shm_take_write(db.aw(20), &v));
    EXPECT_EQ(v, 6);
    // A bad value asks for nothing.
    db.set_a(2, 9, 0);
    n0 = var_now(p, "n");
    ASSERT_TRUE(wait_var_at_least(p, "n", n0 + 20));
    EXPECT_FALSE(shm_write_pending(db.aw(20)));

    // An operator set-point on an own tag lands in its value and never
    // reaches a controller; NaN is taken as bad.
    shm_post_write(db.aw(15), 41.6);
    ASSERT_TRUE(tsup::wait_for([&] { return db.a(15) == 42 && db.a_good(15); }));
    EXPECT_FALSE(shm_write_pending(db.aw(15)));
    shm_post_write(db.aw(15), NAN);
    ASSERT_TRUE(tsup::wait_for([&] { return !db.a_good(15); }));
    EXPECT_EQ(db.a(15), 0);
    EXPECT_EQ(p.stop(), 0);
    EXPECT_NE(p.log().find("zqcalc: вихід"), std::string::npos);
}

TEST(Zqcalc, SecondInstanceRefused) {
    test_db db;
    project p(kBase, "x := 1;\n");
    ASSERT_TRUE(p.start(db));
    tsup::RunResult r = tsup::run(
        {.argv = {ZQ_BIN_DIR "/zqcalc"}, .env = {"LOGIX_SHM_NAME=" + db.own.name}, .dir = p.dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("інша копія вже працює"), std::string::npos) << r.err;
}

// A stop of 12 s integrates nothing and the engine carries on.
TEST(Zqcalc, StoppedTwelveSecondsThenContinued) {
    test_db db;
    project p("  takt_ms: 1000\n  stale_ms: 0\n",
              "VAR n : DINT; secs : LREAL; END_VAR\n"
              "n := n + 1;\n"
              "secs := sum_day(1, 1);\n");
    ASSERT_TRUE(p.start(db));
    ASSERT_TRUE(wait_var_at_least(p, "n", 2));
    p.signal(SIGSTOP);
    sleep(12);
    p.signal(SIGCONT);
    double n0 = var_now(p, "n");
    ASSERT_TRUE(wait_var_at_least(p, "n", n0 + 2));
    EXPECT_LT(var_value(p, "secs"), 10);  // the 12 s gap was not integrated
    EXPECT_EQ(tsup::count_of(p.log(), "dt-кламп"), 1u);
}

// kill -9 at moments spread over the save cycle: the state file always
// parses and counters never go back.
TEST(Zqcalc, KilledRepeatedlyKeepsState) {
    test_db db;
    project p(kBase + std::string("  items:\n    - A10, lreal, acc\n"),
              "VAR n : LREAL; END_VAR\n"
              "n := n + 1;\n"
              "acc := sum_day(1000, 1);\n");
    double last = 0, acc = 0;
    for (int round = 0; round < 8; round++) {
        ASSERT_TRUE(p.start(db)) << round;
        ASSERT_TRUE(wait_var_at_least(p, "n", last + 3)) << round;
        EXPECT_GE(db.a(10), acc) << round;
        usleep(static_cast<useconds_t>(131000 * round % 1000000));
        p.signal(SIGKILL);
        tsup::child_wait(&p.proc, 5000);
        std::string st = p.state();
        json_ptr doc(json_parse(st.c_str()));
        ASSERT_TRUE(doc) << st;
        double n = var_value(p, "n");
        EXPECT_GE(n, last) << round;
        last = n;
        acc = db.a(10) - 1;  // the restored tag may lag the last tick by a save
    }
    EXPECT_GT(last, 20);
}

// While calc.st does not load, saves carry the accumulators and variables;
// the fixed program continues from them.
TEST(Zqcalc, BrokenThenFixedProgramKeepsAccumulators) {
    test_db db;
    const std::string good =
        "VAR n : LREAL; END_VAR\n"
        "n := n + 1;\n"
        "A10 := cnt_day(n > 0) + sum_day(1, 1);\n";
    project p(kBase + std::string("  items:\n    - A10\n"), good);
    ASSERT_TRUE(p.start(db));
    ASSERT_TRUE(wait_var_at_least(p, "n", 20));
    tsup::write_file(p.calc_dir() + "/calc.st.import", "VAR n : LREAL; END_VAR\nn := n + ;\n");
    p.signal(SIGUSR1);
    ASSERT_TRUE(tsup::wait_for([&] { return p.log_has("calc.st — рядок 2"); }));
    double held = var_value(p, "n");
    usleep(1500000);  // several saves while broken
    json_ptr doc(json_parse(p.state().c_str()));
    ASSERT_TRUE(doc);
    EXPECT_NE(p.state().find("\"name\":\"n\""), std::string::npos) << p.state();
    EXPECT_NE(p.state().find("\"fn\":\"sum_day\""), std::string::npos) << p.state();
    tsup::write_file(p.calc_dir() + "/calc.st.import", good);
    p.signal(SIGUSR1);
    ASSERT_TRUE(tsup::wait_for([&] { return tsup::count_of(p.log(), "перечитано") >= 2; }));
    ASSERT_TRUE(tsup::wait_for([&] { return var_value(p, "n") > held; }));
    EXPECT_LT(var_value(p, "n"), held + 200);  // continued, not restarted from 0
    EXPECT_GE(var_value(p, "n"), held);
}

// Lines appended while the engine takes the file all run.
TEST(Zqcalc, CommandsWithConcurrentAppender) {
    test_db db;
    project p(kBase,
              "VAR x : LREAL; arr : ARRAY[0..3] OF LREAL; n : DINT; END_VAR\n"
              "n := n + 1;\n");
    ASSERT_TRUE(p.start(db));
    const int kLines = 300;
    std::thread writer([&] {
        std::string path = p.calc_dir() + "/cmd.req";
        for (int i = 1; i <= kLines; i++) {
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            std::string line = "setvar x " + std::to_string(i) + "\n";
            if (i % 50 == 0) line += "setvar arr " + std::to_string(i % 4) + " 1e400\n";
            ssize_t w = write(fd, line.data(), line.size());
            (void)w;
            close(fd);
            if (i % 7 == 0) usleep(3000);
        }
    });
    writer.join();
    ASSERT_TRUE(tsup::wait_for([&] { return var_value(p, "x") == kLines; }));
    std::string log = p.log();
    for (int i = 1; i <= kLines; i++)
        EXPECT_NE(log.find("setvar x = " + std::to_string(i) + " "), std::string::npos) << i;
    // non-finite values are refused, never stored
    EXPECT_NE(log.find("не число"), std::string::npos);
    tsup::write_file(p.calc_dir() + "/cmd.req",
                     "setvar arr 9 1\nsetvar arr 2.5 1\nsetvar arr 3 7\n" + std::string(200, 'x') +
                         "\nsetvar x nan\n");
    ASSERT_TRUE(tsup::wait_for([&] { return p.log_has("setvar arr[3] = 7"); }));
    EXPECT_NE(p.log().find("setvar arr[9] поза межами"), std::string::npos);
    EXPECT_NE(p.log().find("setvar arr[2.5] поза межами"), std::string::npos);
    EXPECT_NE(p.log().find("довша за 127"), std::string::npos);
    EXPECT_EQ(var_value(p, "x"), kLines);
}

// Two reports due in the same tick give two message files.
TEST(Zqcalc, TwoReportsInOneTickTwoSpoolFiles) {
    test_db db;
    project p(std::string(kBase) +
                  "  items:\n    - A10, lreal, lvl\n"
                  "  schedule:\n"
                  "    - cron: \"* * * * *\"\n      name: one\n      topic: t/one\n"
                  "      fields:\n        - \"lev\\\"el,A10\"\n"
                  "    - cron: \"* * * * *\"\n      name: two\n      topic: t/two\n      qos: 1\n"
                  "      fields:\n        - \"lev,A10\"\n",
              "A10 := 12.5;\n", "mqtt:\n  dir: ./mq\n");
    // The clock starts 2 s before a minute boundary.
    int64_t real = shm_now_ms();
    int64_t fake = (real / 60000 + 5) * 60000 - 2000;
    ASSERT_TRUE(
        p.start(db, {"ZQCALC_CLOCK=" + std::to_string(real) + "," + std::to_string(fake) + ",1"}));
    // Only finished messages: a "rpt_*.msg.tmp.*" file is still being written
    // and is renamed away under the reader.
    auto messages = [&] {
        std::vector<std::string> out;
        for (const std::string &f : tsup::list_dir(p.dir + "/mq/spool", "rpt_"))
            if (f.size() > 4 && f.compare(f.size() - 4, 4, ".msg") == 0) out.push_back(f);
        return out;
    };
    ASSERT_TRUE(tsup::wait_for([&] { return messages().size() >= 2; }));
    std::vector<std::string> files = messages();
    ASSERT_EQ(files.size(), 2u);
    std::string a = tsup::read_file(p.dir + "/mq/spool/" + files[0]);
    std::string b = tsup::read_file(p.dir + "/mq/spool/" + files[1]);
    std::string both = a + "\n" + b;
    EXPECT_NE(both.find("t/one\t0\t0\n{\"ts\":"), std::string::npos) << both;
    EXPECT_NE(both.find("t/two\t1\t0\n{\"ts\":"), std::string::npos) << both;
    EXPECT_NE(both.find("\"lev\\\"el\":12.5}"), std::string::npos) << both;
    for (const std::string &f : files) {
        std::string body = tsup::read_file(p.dir + "/mq/spool/" + f);
        json_ptr doc(json_parse(body.substr(body.find('\n') + 1).c_str()));
        EXPECT_TRUE(doc) << body;
    }
}

// Shift and day reports on a clock running 1200 times as fast across the
// spring daylight-saving change in Kyiv and the local midnight before it.
TEST(Zqcalc, ShiftAndDayReportsAcrossMidnightAndDst) {
    test_db db;
    project p(
        "  takt_ms: 50\n  stale_ms: 0\n  shift_anchor: \"00:00\"\n  shift_period_h: 12\n"
        "  shift_order: 1,2\n"
        "  items:\n    - A10\n"
        "  schedule:\n"
        "    - cron: \"@shift\"\n      name: shift\n      file: ./rep/shift.jsonl\n"
        "      fields:\n        - \"v,A10\"\n"
        "    - cron: \"@daily\"\n      name: day\n      file: ./rep/day.csv\n      format: csv\n"
        "      daily: true\n      fields:\n        - \"v,A10\"\n",
        "A10 := 1;\n");
    // 2026-03-28 23:40 Kyiv (UTC+2) is 21:40 UTC; DST starts 2026-03-29 03:00 local.
    int64_t fake = tsup::utc_epoch(2026, 3, 28, 21, 40) * 1000;
    int64_t real = shm_now_ms();
    ASSERT_TRUE(p.start(db, {"TZ=Europe/Kyiv", "ZQCALC_CLOCK=" + std::to_string(real) + "," +
                                                   std::to_string(fake) + ",1200"}));
    // 12:10 local on the 29th is 09:10 UTC: 11.5 h of fake time, about 35 s.
    ASSERT_TRUE(tsup::wait_for(
        [&] { return tsup::count_of(tsup::read_file(p.dir + "/rep/shift.jsonl"), "\n") >= 2; },
        90000));
    p.stop();
    std::string shift = tsup::read_file(p.dir + "/rep/shift.jsonl");
    std::vector<std::string> lines;
    for (size_t pos = 0, nl; (nl = shift.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(shift.substr(pos, nl - pos));
    ASSERT_GE(lines.size(), 2u) << shift;
    EXPECT_EQ(lines[0].substr(0, 18), "{\"ts\":\"20260329000") << shift;
    EXPECT_EQ(lines[1].substr(0, 18), "{\"ts\":\"20260329120") << shift;
    EXPECT_NE(lines[1].find("\"seq\":2,"), std::string::npos) << shift;
    std::string day = tsup::read_file(p.dir + "/rep/day_20260329.csv");
    EXPECT_EQ(tsup::count_of(day, "ts,sno,seq,param,value\n"), 1u) << day;
    EXPECT_EQ(tsup::count_of(day, "\n"), 2u) << day;
    EXPECT_NE(day.find("20260329000"), std::string::npos) << day;
}

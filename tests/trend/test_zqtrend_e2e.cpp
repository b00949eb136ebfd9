// zqtrend as a user runs it: a database that the test fills, the program
// started in a project directory with a fast test clock, its files read back
// through zqtrend-dump; restarts after SIGKILL; a second instance.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <chrono>
#include <random>
#include <thread>

#include "common/log.h"
#include "common/shm.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"
#include "trend/trend_v1.h"
#include "trend/trend_v1r.h"
#include "trend/trend_v2.h"
#include "trend_test_util.h"

namespace {

using tt::FakeClock;
using tt::real_ms;

struct Project {
    tsup::TempDir dir{"e2e"};
    std::string shm_name;
    ShmHandle h;
    int runs = 0;

    Project(int fmt) {
        shm_name = "/" + tsup::unique_name("zqtrend_t");
        log_init(dir.path.c_str(), "trendtest");
        tsup::write_file(dir / "config.yaml",
                         "trends:\n  mainpath_linux: " + dir.path + "/Trends\n  mainpath_format: " +
                             std::to_string(fmt) + "\nlogix:\n  analogs: 4\n  discrets: 4\n");
        tsup::write_file(dir / "channels.json",
                         tt::channels_json({{1, "Температура", "°C", 0, 0, 0, 200},
                                            {2, "Тиск", "bar", 0, 1000, 0, 100},
                                            {3, "Рівень", "m", 0, 0, 0, 10}},
                                           {{1, "Насос"}, {2, "Клапан"}, {3, "Аварія"}}));
    }
    ~Project() {
        shm_close(&h);
        shm_unlink(shm_name.c_str());
        std::string lock = "/tmp/zqtrend" + shm_name + ".lock";
        for (size_t i = 12; i < lock.size(); i++)
            if (lock[i] == '/') lock[i] = '_';
        unlink(lock.c_str());
    }
    void create_db() {
        ASSERT_EQ(0, shm_open_rw(shm_name.c_str(), 4, 4, 0, &h));
        shm_set_an_vtype(&h, 1, SHM_VT_REAL);
        shm_set_an_vtype(&h, 2, SHM_VT_INT);
        set_values(12.5);
    }
    void set_values(double a1) {
        int64_t ts = real_ms();
        shm_update_analog(&h, 1, 1, ts, a1);
        shm_update_analog(&h, 2, 1, ts, 500);
        shm_update_analog(&h, 3, 0, ts, 3);
        shm_update_discrete(&h, 1, 1, 1, ts);
        shm_update_discrete(&h, 2, 0, 1, ts);
        shm_update_discrete(&h, 3, 1, 0, ts);
    }
    // Starts zqtrend in the project directory; output goes to out<N>.txt.
    tsup::Child start(const FakeClock &clk, std::string *out_path = nullptr) {
        std::string out = dir / ("out" + std::to_string(++runs) + ".txt");
        if (out_path) *out_path = out;
        tsup::Child c;
        EXPECT_TRUE(tsup::child_start(
            &c, {.argv = {ZQ_BIN_DIR "/zqtrend", "-c", "./config.yaml", "-b", "."},
                 .env = {"LOGIX_SHM_NAME=" + shm_name, "ZQTREND_CLOCK=" + clk.env(), "TZ=UTC"},
                 .dir = dir.path,
                 .out_path = out,
                 .err_to_out = true}));
        return c;
    }
    std::string trends(const char *name) const { return dir.path + "/Trends/" + name; }
};

// zqtrend-dump with space-separated arguments; what it printed on standard
// output. It must succeed and say nothing on standard error.
std::string run_dump(const std::string &args) {
    std::vector<std::string> argv = {ZQ_BIN_DIR "/zqtrend-dump"};
    std::istringstream in(args);
    for (std::string a; in >> a;)
        argv.push_back(a);
    tsup::RunResult r = tsup::run({.argv = argv});
    EXPECT_EQ(r.status, 0) << args << "\n" << r.err;
    EXPECT_EQ(r.err, "") << args;
    return r.out;
}

std::vector<std::vector<std::string>> csv_rows(const std::string &text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        std::string cell;
        while (std::getline(ls, cell, ','))
            f.push_back(cell);
        rows.push_back(f);
    }
    return rows;
}

const int64_t kNoon = 1781092850000LL;  // 2026-06-10 12:00:50 UTC

TEST(ZqtrendE2E, RecordsSecondsAndMinuteAverages) {
    Project p(1);
    p.create_db();
    FakeClock clk(kNoon, 10.0);
    std::string out;
    tsup::Child prog = p.start(clk, &out);
    // From 12:01:10 A1 reads 37.5.
    ASSERT_TRUE(tsup::wait_for([&] { return clk.now() >= kNoon + 20000; }, 10000));
    p.set_values(37.5);
    std::string rpm = p.trends("26061000.rpm");
    ASSERT_TRUE(tsup::wait_for([&] { return tsup::file_size(rpm) >= 722 * 16; }, 30000))
        << tsup::read_file(out);
    EXPECT_EQ(0, tsup::child_stop(&prog));
    std::string log = tsup::read_file(out);
    EXPECT_NE(std::string::npos, log.find("[trend] SHM ready. Starting trend archive.")) << log;
    EXPECT_NE(std::string::npos, log.find("[trend] Day 2026-06-10")) << log;
    EXPECT_NE(std::string::npos, log.find("[trend] Shutting down")) << log;
    EXPECT_TRUE(tsup::file_exists(p.dir / "run/zqtrend.version"));

    auto sec = csv_rows(run_dump("--csv " + p.trends("26061000.rps")));
    ASSERT_GT(sec.size(), 30u);
    EXPECT_EQ((std::vector<std::string>{"time", "A1", "A2", "A3", "D1", "D2", "D3"}), sec[0]);
    // The first row's second depends on how fast the program started.
    EXPECT_EQ("2026-06-10 12:0", sec[1][0].substr(0, 15));
    EXPECT_EQ((std::vector<std::string>{"12.5", "50", "bad", "1", "0", "-"}),
              std::vector<std::string>(sec[1].begin() + 1, sec[1].end()));
    double sum = 0;
    int n = 0, high = 0;
    for (size_t i = 1; i < sec.size(); i++) {
        ASSERT_EQ(7u, sec[i].size());
        if (sec[i][1] == "37.5") high++;
        if (sec[i][0].compare(11, 5, "12:01") == 0) {
            sum += std::stod(sec[i][1]);
            n++;
        }
    }
    EXPECT_GT(high, 0);
    ASSERT_GT(n, 0);

    auto min = csv_rows(run_dump("--csv " + p.trends("26061000.rpm")));
    ASSERT_GE(min.size(), 723u);
    EXPECT_EQ((std::vector<std::string>{"2026-06-10 00:00:00", "-", "-", "-", "-", "-", "-"}),
              min[1]);
    EXPECT_EQ((std::vector<std::string>{"2026-06-10 12:00:00", "12.5", "50", "-", "1", "0", "-"}),
              min[721]);
    EXPECT_EQ("2026-06-10 12:01:00", min[722][0]);
    EXPECT_NEAR(sum / n, std::stod(min[722][1]), 1e-4);

    std::string text = run_dump(p.trends("26061000.rpm") + " --no-rows");
    EXPECT_NE(std::string::npos, text.find("# format: v1 minutes (packed)")) << text;
    EXPECT_NE(std::string::npos, text.find("# column 0: analog [0 .. 200] A1 :Температура"))
        << text;
    EXPECT_NE(std::string::npos, text.find("# column 3: discrete [0 .. 1] D1 :Насос\n")) << text;
}

TEST(ZqtrendE2E, Version2FilesThroughTheDumpTool) {
    Project p(2);
    p.create_db();
    FakeClock clk(kNoon, 10.0);
    tsup::Child prog = p.start(clk);
    auto rows_of = [&](const char *name) {
        FILE *f = fopen(p.trends(name).c_str(), "rb");
        v2r_file r;
        long rows = (f && v2r_parse(f, &r) == 0) ? v2r_row_count(f, &r) : 0;
        if (f) fclose(f);
        return rows;
    };
    // On a loaded machine the fast clock may pass a minute before five
    // seconds rows are down, so both are awaited.
    ASSERT_TRUE(tsup::wait_for(
        [&] { return rows_of("2026061000.rpm") >= 1 && rows_of("2026061000.rps") >= 5; }, 30000));
    EXPECT_EQ(0, tsup::child_stop(&prog));
    auto sec = csv_rows(run_dump("--csv " + p.trends("2026061000.rps")));
    ASSERT_GT(sec.size(), 5u);
    EXPECT_EQ((std::vector<std::string>{"time", "A1", "A2", "A3", "D1", "D2", "D3"}), sec[0]);
    EXPECT_EQ("2026-06-10 12:0", sec[1][0].substr(0, 15));
    EXPECT_EQ((std::vector<std::string>{"12.5", "500", "-", "1", "0", "-"}),
              std::vector<std::string>(sec[1].begin() + 1, sec[1].end()));
    auto scaled = csv_rows(run_dump("--csv --scaled " + p.trends("2026061000.rps")));
    EXPECT_EQ("50", scaled[1][2]);
    auto min = csv_rows(run_dump("--csv " + p.trends("2026061000.rpm")));
    ASSERT_EQ(2u, min.size());
    EXPECT_EQ((std::vector<std::string>{"2026-06-10 12:00:00", "12.5", "500", "-", "1", "0", "-"}),
              min[1]);
    std::string text = run_dump(p.trends("2026061000.rps") + " --no-rows");
    EXPECT_NE(std::string::npos, text.find("# slot 1: A2 analog type 0xC3")) << text;
}

TEST(ZqtrendE2E, SecondInstanceAndVersion) {
    Project p(1);
    p.create_db();
    FakeClock clk(kNoon, 1.0);
    std::string out1, out2;
    tsup::Child a = p.start(clk, &out1);
    ASSERT_TRUE(tsup::wait_for(
        [&] { return tsup::read_file(out1).find("SHM ready") != std::string::npos; }, 10000));
    tsup::Child b = p.start(clk, &out2);
    EXPECT_EQ(1, tsup::child_wait(&b, 10000));
    EXPECT_NE(std::string::npos,
              tsup::read_file(out2).find("[trend] Another instance already running. Exiting."));
    EXPECT_EQ(0, tsup::child_stop(&a));
    EXPECT_EQ(run_dump("--version").rfind("zqtrend-dump ", 0), 0u);
}

// Killed with SIGKILL at random moments and restarted: every file stays
// readable, rows stay whole and ascending, downtime is padded by position.
class ZqtrendCrash : public testing::TestWithParam<int> {};

TEST_P(ZqtrendCrash, SurvivesRepeatedKills) {
    int fmt = GetParam();
    Project p(fmt);
    p.create_db();
    FakeClock clk(kNoon, 10.0);
    std::mt19937 rng(12345 + fmt);
    for (int i = 0; i < 12; i++) {
        tsup::Child prog = p.start(clk);
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + rng() % 700));
        tsup::child_stop(&prog, 5000, SIGKILL);
        p.set_values(10.0 + i);
    }
    std::string out;
    tsup::Child prog = p.start(clk, &out);
    ASSERT_TRUE(tsup::wait_for(
        [&] { return tsup::read_file(out).find("[trend] Day") != std::string::npos; }, 10000));
    std::string rps = fmt == 2 ? p.trends("2026061000.rps") : p.trends("26061000.rps");
    // Run past the next minute boundary so its row is certainly written.
    int64_t boundary = (clk.now() / 60000 + 1) * 60000;
    ASSERT_TRUE(tsup::wait_for([&] { return clk.now() >= boundary + 3000; }, 20000));
    EXPECT_EQ(0, tsup::child_stop(&prog));
    int64_t end_minute = (boundary / 60000) % 1440;

    if (fmt == 2) {
        for (const char *n : {"2026061000.rps", "2026061000.rpm", "2026061000.rph"}) {
            v2_table t;
            ASSERT_EQ(1, v2_file_open_check(p.trends(n).c_str(), &t)) << n;
            FILE *f = fopen(p.trends(n).c_str(), "rb");
            v2r_file r;
            ASSERT_EQ(0, v2r_parse(f, &r));
            long rows = v2r_row_count(f, &r);
            EXPECT_EQ(0, (tsup::file_size(p.trends(n)) - r.header_size) % r.row_size) << n;
            int64_t prev = -1;
            for (long k = 0; k < rows; k++) {
                uint32_t ms;
                ASSERT_EQ(0, v2r_row_ms(f, &r, k, &ms));
                ASSERT_GT((int64_t)ms, prev) << n << " row " << k;
                prev = ms;
            }
            if (n[11] == 'm') {
                EXPECT_EQ((end_minute - 1) * 60000, prev) << "last minute row";
            }
            fclose(f);
        }
        return;
    }
    trend_cmap m;
    ASSERT_EQ(1, trend_meta_load_colmap(p.trends("26061000.rns").c_str(), &m));
    ASSERT_EQ(1, trend_meta_load_colmap(p.trends("26061000.rnm").c_str(), &m));
    v1r_file sec, min;
    std::string err;
    ASSERT_EQ(0, v1r_open(rps.c_str(), &sec, 1, &err)) << err;
    EXPECT_EQ(0, sec.size % sec.width);
    FILE *f = fopen(rps.c_str(), "rb");
    std::vector<uint32_t> c;
    int64_t prev = -1;
    for (long k = 0; k < sec.rows; k++) {
        ASSERT_TRUE(v1r_read_row(f, &sec, k, &c));
        int64_t ms = v1r_row_ms(&sec, c.data(), k);
        ASSERT_GT(ms, prev) << k;
        prev = ms;
    }
    fclose(f);
    ASSERT_EQ(0, v1r_open(p.trends("26061000.rpm").c_str(), &min, 1, &err)) << err;
    EXPECT_EQ(0, min.size % min.width);
    EXPECT_EQ(end_minute, min.rows);
    f = fopen(p.trends("26061000.rpm").c_str(), "rb");
    ASSERT_TRUE(v1r_read_row(f, &min, 0, &c));
    double v;
    EXPECT_EQ(V1_NODATA, v1r_analog(&min, c.data(), 0, &v));  // padded before the start
    fclose(f);
}

INSTANTIATE_TEST_SUITE_P(Formats, ZqtrendCrash, testing::Values(1, 2));

}  // namespace

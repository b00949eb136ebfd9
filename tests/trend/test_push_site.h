#pragma once
// A site that pushes its trends: a project folder whose name has a space and
// Cyrillic letters, a database the test fills, zqtrend on a fast test clock
// and zqtrendsrv on a loopback port storing what arrives.

#include <gtest/gtest.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/shm.h"
#include "tests/support/files.h"
#include "tests/support/http.h"
#include "tests/support/net.h"
#include "tests/support/proc.h"
#include "tests/support/wait.h"
#include "trend_test_util.h"

namespace pt {

using tt::FakeClock;
using tt::real_ms;

struct SiteOpts {
    std::string token = "s3cret";      // in config.yaml
    std::string srv_token = "s3cret";  // accepted by the server
    bool deflate = false;
    std::vector<std::string> srv_args;
};

struct Site {
    tsup::TempDir root{"push"};
    std::string src = "Сайт 1";
    std::string proj, store;
    std::string shm_name;
    ShmHandle h;
    uint8_t magic[8] = {};
    int port = 0;
    tsup::Child srv, rec;
    int runs = 0;
    SiteOpts o;

    explicit Site(const SiteOpts &opts = {}) : o(opts) {
        proj = root / src;
        store = root / "store";
        mkdir(proj.c_str(), 0755);
        shm_name = "/" + tsup::unique_name("zqpush");
    }
    ~Site() {
        tsup::child_stop(&rec);
        tsup::child_stop(&srv);
        shm_close(&h);
        shm_unlink(shm_name.c_str());
        std::string lock = "/tmp/zqtrend" + shm_name + ".lock";
        for (size_t i = 12; i < lock.size(); i++)
            if (lock[i] == '/') lock[i] = '_';
        unlink(lock.c_str());
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port) + "/"; }

    void start_server() {
        std::string out = root / "srv.txt";
        for (int attempt = 0; attempt < 5; attempt++) {
            port = tsup::free_port();
            std::vector<std::string> argv = {ZQ_BIN_DIR "/zqtrendsrv", "--dir", store, "--port",
                                             std::to_string(port)};
            if (!o.srv_token.empty()) argv.insert(argv.end(), {"--token", o.srv_token});
            argv.insert(argv.end(), o.srv_args.begin(), o.srv_args.end());
            ASSERT_TRUE(
                tsup::child_start(&srv, {.argv = argv, .out_path = out, .err_to_out = true}));
            if (tsup::wait_for_text(out, "listening on", 5000)) return;
            tsup::child_stop(&srv);
        }
        FAIL() << tsup::read_file(out);
    }
    void write_config() {
        tsup::write_file(proj + "/config.yaml",
                         "trends:\n  mainpath_linux: ./Trends\n  mainpath_format: 2\n  push:\n"
                         "    - url: " +
                             url() + "\n      token: " + o.token +
                             "\n      deflate: " + (o.deflate ? "true" : "false") +
                             "\nlogix:\n  analogs: 4\n  discrets: 4\n");
        tsup::write_file(proj + "/channels.json",
                         tt::channels_json({{1, "Температура", "°C", 0, 0, 0, 200},
                                            {2, "Тиск", "bar", 0, 1000, 0, 100},
                                            {3, "Рівень", "m", 0, 0, 0, 10}},
                                           {{1, "Насос"}, {2, "Клапан"}}));
    }
    void create_db() {
        ASSERT_EQ(0, shm_open_rw(shm_name.c_str(), 4, 4, 0, &h));
        shm_set_an_vtype(&h, 1, SHM_VT_REAL);
        shm_set_an_vtype(&h, 2, SHM_VT_INT);
        int64_t ts = real_ms();
        shm_update_analog(&h, 1, 1, ts, 12.5);
        shm_update_analog(&h, 2, 1, ts, 500);
        shm_update_discrete(&h, 1, 1, 1, ts);
        memcpy(magic, h.base, 8);
    }
    // Starts server, configuration, database and recorder.
    void start(const FakeClock &clk) {
        start_server();
        write_config();
        create_db();
        start_rec(clk);
        ASSERT_TRUE(tsup::wait_for(
            [&] { return tsup::file_size(local(day_name(clk.now()) + ".rps")) > 10304; }, 30000))
            << rec_log();
    }
    static std::string day_name(int64_t ms) {
        time_t t = (time_t)(ms / 1000);
        struct tm tm;
        gmtime_r(&t, &tm);
        char b[16];
        strftime(b, sizeof b, "%Y%m%d00", &tm);
        return b;
    }
    void start_rec(const FakeClock &clk) {
        std::string out = root / ("rec" + std::to_string(++runs) + ".txt");
        ASSERT_TRUE(tsup::child_start(
            &rec, {.argv = {ZQ_BIN_DIR "/zqtrend", "-c", "./config.yaml", "-b", "."},
                   .env = {"LOGIX_SHM_NAME=" + shm_name, "ZQTREND_CLOCK=" + clk.env(), "TZ=UTC"},
                   .dir = proj,
                   .out_path = out,
                   .err_to_out = true}));
    }
    std::string rec_log() const {
        return tsup::read_file(root / ("rec" + std::to_string(runs) + ".txt"));
    }
    // The recorder skips its ticks while the database has no valid header,
    // so the files stop growing and the push can be compared byte for byte.
    void pause() { memset(h.base, 0, 8); }
    void resume() { memcpy(h.base, magic, 8); }

    std::string local(const std::string &name) const { return proj + "/Trends/" + name; }
    std::string remote(const std::string &name) const { return store + "/" + src + "/" + name; }
    // The server's copy equals the local file (which exists).
    bool same(const std::string &name) const {
        std::string l = tsup::read_file(local(name));
        return !l.empty() && l == tsup::read_file(remote(name));
    }
    bool day_same(uint32_t ymd) const {
        for (const char *ext : {"rps", "rpm", "rph"})
            if (!same(std::to_string(ymd) + "00." + ext)) return false;
        return true;
    }
    // Pauses the recorder and waits until every file of the day arrived.
    void expect_day_pushed(uint32_t ymd, int timeout_ms = 30000) {
        pause();
        EXPECT_TRUE(tsup::wait_for([&] { return day_same(ymd); }, timeout_ms))
            << ymd << "\n"
            << rec_log() << status();
    }
    std::string status() const { return tsup::read_file(proj + "/run/push_status.json"); }
    std::string ctl(const std::string &query = "") {
        return tsup::http_request(port, query.empty() ? "GET" : "POST", "/ctl" + query).body;
    }
    long long ctl_num(const std::string &key) {
        std::string b = ctl();
        size_t at = b.find("\"" + key + "\":");
        return at == std::string::npos ? -1 : std::stoll(b.substr(at + key.size() + 3));
    }
    long long rows_of_day(uint32_t ymd) const {
        long long n = 0;
        for (const char *ext : {"rps", "rpm", "rph"}) {
            auto b = tsup::read_bytes(local(std::to_string(ymd) + "00." + ext));
            if (b.size() >= 64) n += (long long)b.size() - (64 + 160 * (long long)tt::u32(b, 12));
        }
        return n;
    }
};

}  // namespace pt

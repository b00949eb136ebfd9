// zqtrend pushing to the test trend server on loopback: the server's copies
// must equal the local files byte for byte after normal running, restarts,
// conflicts, midnight and back-fills; refusals show in the status file.

#include <signal.h>

#include "test_push_site.h"

namespace {

const int64_t kNoon = 1781092850000LL;            // 2026-06-10 12:00:50 UTC
const int64_t kBeforeMidnight = 1781135960000LL;  // 2026-06-10 23:59:20 UTC
const int64_t kDay = 86400000LL;

bool has(const std::string &text, const std::string &needle) {
    return text.find(needle) != std::string::npos;
}

// Files that are not blocked keep arriving.
void pause_and_wait_min(pt::Site &s) {
    s.pause();
    EXPECT_TRUE(tsup::wait_for([&] { return s.same("2026061000.rpm"); }, 30000)) << s.status();
}

TEST(PushE2E, PushesTheDayAndResumesAfterARestartWithoutResending) {
    pt::Site s;
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    ASSERT_TRUE(
        tsup::wait_for([&] { return tsup::file_size(s.local("2026061000.rpm")) > 10000; }, 30000))
        << s.rec_log();
    s.expect_day_pushed(20260610);
    std::string st = s.status();
    EXPECT_TRUE(
        has(st, "\"url\":\"" + s.url() + "\",\"src\":\"Сайт 1\",\"up\":true,\"blocked\":false"))
        << st;
    EXPECT_EQ(s.rows_of_day(20260610), s.ctl_num("row_bytes"));

    EXPECT_EQ(0, tsup::child_stop(&s.rec));
    long long before = tsup::file_size(s.local("2026061000.rps"));
    s.resume();
    s.start_rec(clk);
    ASSERT_TRUE(tsup::wait_for(
        [&] { return tsup::file_size(s.local("2026061000.rps")) > before + 2000; }, 30000))
        << s.rec_log();
    s.expect_day_pushed(20260610);
    // Every row crossed the wire once, across the restart too.
    EXPECT_EQ(s.rows_of_day(20260610), s.ctl_num("row_bytes"));
    EXPECT_EQ(0, s.ctl_num("rejected")) << s.ctl();
}

TEST(PushE2E, ASlotPatchedDuringTheDayReachesTheServersHeader) {
    pt::Site s;
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    s.expect_day_pushed(20260610);
    long long slot_bytes = s.ctl_num("bytes") - s.ctl_num("row_bytes");
    s.resume();
    tsup::write_file(s.proj + "/channels.json",
                     tt::channels_json({{1, "Температура", "°C", 0, 0, 0, 200},
                                        {2, "Тиск", "bar", 0, 1000, 0, 100},
                                        {3, "Рівень", "m", 0, 0, 0, 10}},
                                       {{1, "Насос"}, {2, "Клапан"}, {3, "Засувка"}}));
    kill(s.rec.pid, SIGUSR1);
    ASSERT_TRUE(tsup::wait_for([&] { return has(s.rec_log(), "new channel D3 activated"); }, 30000))
        << s.rec_log();
    s.expect_day_pushed(20260610);
    EXPECT_NE(std::string::npos, tsup::read_file(s.remote("2026061000.rps")).find("Засувка"));
    // One 160-byte slot record per file, not the whole header again.
    EXPECT_EQ(slot_bytes + 3 * 160, s.ctl_num("bytes") - s.ctl_num("row_bytes"));
}

TEST(PushE2E, AConflictBelowTheCursorIsHealedFromTheServersCount) {
    pt::Site s;
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    ASSERT_TRUE(
        tsup::wait_for([&] { return tsup::file_size(s.local("2026061000.rps")) > 20000; }, 30000));
    s.expect_day_pushed(20260610);
    // The server loses the last 1000 bytes of the file the next frame names.
    s.ctl("?conflict=1000");
    long long before = tsup::file_size(s.local("2026061000.rps"));
    s.resume();
    ASSERT_TRUE(tsup::wait_for(
        [&] { return tsup::file_size(s.local("2026061000.rps")) > before + 2000; }, 30000));
    s.expect_day_pushed(20260610);
    // The lost 1000 bytes went again, nothing else did.
    EXPECT_EQ(s.rows_of_day(20260610) + 1000, s.ctl_num("row_bytes"));
    EXPECT_EQ(0, s.ctl_num("rejected")) << s.ctl();
}

TEST(PushE2E, TheHourRowWrittenAtMidnightReachesTheServer) {
    pt::Site s;
    pt::FakeClock clk(kBeforeMidnight, 10);
    s.start(clk);
    ASSERT_TRUE(tsup::wait_for(
        [&] {
            return clk.now() > kBeforeMidnight + 70000 &&
                   tsup::file_size(s.local("2026061100.rps")) > 0;
        },
        30000));
    s.expect_day_pushed(20260610);
    s.expect_day_pushed(20260611);
    auto rph = tsup::read_bytes(s.remote("2026061000.rph"));
    ASSERT_GT(rph.size(), 64u);
    size_t hs = 64 + 160 * tt::u32(rph, 12), row = tt::u32(rph, 16);
    ASSERT_EQ(hs + row, rph.size());
    EXPECT_EQ(23u * 3600000u, tt::u32(rph, hs));
}

TEST(PushE2E, BackFillCountsACorruptedServerByteAsAConflictAndRepairsIt) {
    pt::Site s;
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    ASSERT_TRUE(
        tsup::wait_for([&] { return tsup::file_size(s.local("2026061000.rps")) > 20000; }, 30000));
    s.expect_day_pushed(20260610);
    EXPECT_EQ(0, tsup::child_stop(&s.rec));

    std::string copy = tsup::read_file(s.remote("2026061000.rps"));
    copy[copy.size() - 3000] ^= 0x20;
    tsup::write_file(s.remote("2026061000.rps"), copy);
    ASSERT_FALSE(s.same("2026061000.rps"));

    // The next day: back-fill yesterday with verification.
    std::string req =
        "{\"url\":\"" + s.url() + "\",\"from\":20260610,\"to\":20260610,\"verify\":true}";
    tsup::write_file(s.proj + "/run/push_backfill.req", req);
    pt::FakeClock next(kNoon + kDay, 20);
    s.resume();
    s.start_rec(next);
    ASSERT_TRUE(tsup::wait_for(
        [&] { return has(s.status(), "\"active\":false,\"from\":20260610"); }, 30000))
        << s.rec_log() << s.status();
    std::string st = s.status();
    EXPECT_TRUE(
        has(st, "\"total\":1,\"done\":1,\"pushed\":1,\"complete\":0,\"skipped\":0,\"conflict\":1"))
        << st;
    EXPECT_TRUE(s.day_same(20260610));
    EXPECT_FALSE(tsup::file_exists(s.proj + "/run/push_backfill.req"));
    EXPECT_TRUE(has(s.rec_log(), "differs on the server")) << s.rec_log();
}

TEST(PushE2E, ALocalFileShorterThanTheServersCopyIsNeverAppendedOntoIt) {
    pt::Site s;
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    ASSERT_TRUE(
        tsup::wait_for([&] { return tsup::file_size(s.local("2026061000.rps")) > 20000; }, 30000));
    s.expect_day_pushed(20260610);
    EXPECT_EQ(0, tsup::child_stop(&s.rec));
    std::string server_copy = tsup::read_file(s.remote("2026061000.rps"));
    // The day's seconds file is lost and started again.
    unlink(s.local("2026061000.rps").c_str());
    s.resume();
    s.start_rec(clk);
    ASSERT_TRUE(tsup::wait_for(
        [&] { return has(s.rec_log(), "not appended to the server's copy"); }, 30000))
        << s.rec_log();
    ASSERT_TRUE(tsup::wait_for(
        [&] { return tsup::file_size(s.local("2026061000.rps")) > (long long)server_copy.size(); },
        30000));
    EXPECT_TRUE(tsup::wait_for([&] { return has(s.status(), "\"blocked\":true"); }, 30000))
        << s.status();
    pause_and_wait_min(s);
    EXPECT_EQ(server_copy, tsup::read_file(s.remote("2026061000.rps")));
    EXPECT_EQ(1u, tsup::count_of(s.rec_log(), "not appended to the server's copy"));
}

TEST(PushE2E, BackFillRequestsForOthersOrWithBadDaysStayUntouched) {
    pt::Site s;
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    std::string req = s.proj + "/run/push_backfill.req";
    tsup::write_file(req, "{\"url\":\"" + s.url() + "\",\"from\":20260230,\"to\":20260301}");
    ASSERT_TRUE(
        tsup::wait_for([&] { return has(s.rec_log(), "back-fill request ignored"); }, 30000))
        << s.rec_log();
    EXPECT_TRUE(tsup::file_exists(req));
    tsup::write_file(req, "{\"url\":\"" + s.url() + "\",\"from\":20260610,\"to\":20260609}");
    ASSERT_TRUE(tsup::wait_for(
        [&] { return tsup::count_of(s.rec_log(), "back-fill request ignored") == 2; }, 30000));
    tsup::write_file(req, "{\"url\":\"http://other:1/\",\"from\":20260609,\"to\":20260610}");
    for (int i = 0; i < 2; i++) {
        std::string before = s.status();
        ASSERT_TRUE(tsup::wait_for([&] { return s.status() != before; }, 30000));
    }
    EXPECT_TRUE(tsup::file_exists(req));
    EXPECT_TRUE(has(s.status(), "\"bf\":{\"active\":false,\"from\":0")) << s.status();
}

TEST(PushE2E, ARefusedTokenShowsBlockedAndRecoversWhenTheTokenIsFixed) {
    pt::Site s({.token = "wrong", .srv_token = "right"});
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    ASSERT_TRUE(
        tsup::wait_for([&] { return has(s.status(), "\"up\":false,\"blocked\":true"); }, 30000))
        << s.rec_log() << s.status();
    EXPECT_FALSE(tsup::file_exists(s.remote("2026061000.rps")));

    tsup::write_file(s.proj + "/push_tokens.json",
                     "{\"tokens\":[{\"url\":\"" + s.url() + "\",\"token\":\"right\"}]}");
    ASSERT_TRUE(
        tsup::wait_for([&] { return has(s.status(), "\"up\":true,\"blocked\":false"); }, 30000))
        << s.rec_log() << s.status();
    s.expect_day_pushed(20260610);
}

TEST(PushE2E, CompressedPushGivesTheSameCopies) {
    pt::Site s({.deflate = true});
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    s.expect_day_pushed(20260610);
    EXPECT_GT(s.ctl_num("compressed"), 0) << s.ctl();
    EXPECT_TRUE(has(s.status(), "\"deflate\":1")) << s.status();
}

TEST(PushE2E, ATricklingServerDoesNotKeepTheRecorderFromStopping) {
    pt::Site s({.srv_args = {"--trickle-ms", "300"}});
    pt::FakeClock clk(kNoon, 20);
    s.start(clk);
    // The first cursor answer takes half a minute to trickle in.
    ASSERT_TRUE(tsup::wait_for([&] { return has(s.rec_log(), "[push] dest 0:"); }, 30000));
    ASSERT_TRUE(
        tsup::wait_for([&] { return tsup::file_size(s.local("2026061000.rps")) > 3000; }, 30000));
    EXPECT_EQ(0, tsup::child_stop(&s.rec, 4000)) << s.rec_log();
    EXPECT_TRUE(has(s.rec_log(), "[trend] Shutting down"));
}

}  // namespace

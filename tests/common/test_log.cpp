#include "common/log.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "tests/support/files.h"

using tsup::TempDir;

namespace {

time_t g_fake_now = 0;
time_t fake_clock() {
    return g_fake_now;
}

// 2026-12-06 09:15:02 UTC.
constexpr time_t kDay = 1796548502;

class Log : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        g_fake_now = kDay;
        log_set_clock(fake_clock);
        log_set_flags(1, 1, 1);
        log_set_echo(false);
        log_init(dir.path.c_str(), "scada");
    }
    void TearDown() override {
        log_close();
        log_set_clock(nullptr);
        log_set_flags(1, 1, 1);
        log_set_prefix("");
    }
    std::vector<std::string> files() { return tsup::list_dir(dir.path); }
    void touch(const std::string &name) { ASSERT_TRUE(tsup::write_file(dir / name, "old\n")); }
    TempDir dir;
};

}  // namespace

TEST_F(Log, LineAndFileNameFormat) {
    log_msg("started %s pid=%d", "trend", 4711);
    log_msg("with newline\n\n");
    log_close();
    std::string text = tsup::read_file(dir / "scada-2026-12-06.log");
    EXPECT_EQ(text,
              "[06.12.2026 09:15:02] - scada: started trend pid=4711\n"
              "[06.12.2026 09:15:02] - scada: with newline\n");
    char path[600];
    log_current_path(path, sizeof path);
    EXPECT_EQ(std::string(path), dir / "scada-2026-12-06.log");
}

TEST_F(Log, LongMessagesAreWrittenWhole) {
    std::string big(5000, 'x');
    log_err("%s|end", big.c_str());
    log_close();
    std::string text = tsup::read_file(dir / "scada-2026-12-06.log");
    EXPECT_NE(text.find(big + "|end\n"), std::string::npos);
}

TEST_F(Log, FlagsSilenceOnlyTheirOwnKind) {
    log_set_flags(0, 1, 1);
    log_msg("msg-off");
    log_err("err-on");
    log_write_ev("write-on");
    log_set_flags(1, 0, 0);
    log_msg("msg-on");
    log_err("err-off");
    log_write_ev("write-off");
    log_close();
    std::string text = tsup::read_file(dir / "scada-2026-12-06.log");
    EXPECT_EQ(text.find("off"), std::string::npos) << text;
    EXPECT_NE(text.find("err-on"), std::string::npos);
    EXPECT_NE(text.find("write-on"), std::string::npos);
    EXPECT_NE(text.find("msg-on"), std::string::npos);
}

TEST_F(Log, RetentionKeepsNinetyOfThisProgramOnly) {
    // 95 older days of scada, other programs' files and look-alikes.
    for (int i = 0; i < 95; i++) {
        char name[64];
        snprintf(name, sizeof name, "scada-2026-%02d-%02d.log", 1 + i / 28, 1 + i % 28);
        touch(name);
    }
    for (const char *other :
         {"zqsup-2025-01-01.log", "scada.log", "scada-.log", "scadax-2020-01-01.log",
          "scada-2020-01-01.txt", "zqsup-2025-01-02.log"})
        touch(other);
    log_msg("today");  // opens scada-2026-12-06.log: 96 files, 6 oldest go
    std::vector<std::string> all = files();
    std::vector<std::string> ours;
    for (const std::string &f : all) {
        if (f.rfind("scada-2026-", 0) == 0) ours.push_back(f);
    }
    ASSERT_EQ(ours.size(), 90u);
    EXPECT_EQ(ours.front(), "scada-2026-01-07.log");
    EXPECT_EQ(ours.back(), "scada-2026-12-06.log");
    for (const char *other :
         {"zqsup-2025-01-01.log", "scada.log", "scada-.log", "scadax-2020-01-01.log",
          "scada-2020-01-01.txt", "zqsup-2025-01-02.log"})
        EXPECT_TRUE(tsup::file_exists(dir / other)) << other;

    // Retention runs when a file is opened, not on every line.
    touch("scada-2000-01-01.log");
    log_msg("same day");
    EXPECT_TRUE(tsup::file_exists(dir / "scada-2000-01-01.log"));
}

TEST_F(Log, NewDayOpensNewFile) {
    log_msg("day one");
    g_fake_now = kDay + 86400;
    log_msg("day two");
    log_close();
    EXPECT_EQ(tsup::read_file(dir / "scada-2026-12-06.log"),
              "[06.12.2026 09:15:02] - scada: day one\n");
    EXPECT_EQ(tsup::read_file(dir / "scada-2026-12-07.log"),
              "[07.12.2026 09:15:02] - scada: day two\n");
}

TEST_F(Log, PrefixIsPerThread) {
    log_msg("main");
    std::thread t([] {
        log_set_prefix("PLC 10.0.0.5");
        log_msg("conn");
    });
    t.join();
    log_set_prefix("");
    log_msg("empty prefix");
    log_close();
    std::string text = tsup::read_file(dir / "scada-2026-12-06.log");
    EXPECT_NE(text.find("- scada: main\n"), std::string::npos);
    EXPECT_NE(text.find("- PLC 10.0.0.5: conn\n"), std::string::npos);
    EXPECT_NE(text.find("- scada: empty prefix\n"), std::string::npos);
}

TEST_F(Log, ThreadsNeverInterleaveLines) {
    std::vector<std::thread> ts;
    for (int t = 0; t < 4; t++) {
        ts.emplace_back([t] {
            for (int i = 0; i < 300; i++)
                log_msg("thread %d line %d %s", t, i, "payload-payload");
        });
    }
    for (auto &t : ts)
        t.join();
    log_close();
    std::string text = tsup::read_file(dir / "scada-2026-12-06.log");
    std::regex line_re(
        R"(\[06\.12\.2026 09:15:02\] - scada: thread [0-3] line \d+ payload-payload)");
    size_t count = 0, pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        EXPECT_TRUE(std::regex_match(text.substr(pos, nl - pos), line_re))
            << text.substr(pos, nl - pos);
        count++;
        pos = nl + 1;
    }
    EXPECT_EQ(count, 1200u);
}

TEST_F(Log, EchoPrintsTheMessageOnStdout) {
    log_set_echo(true);
    testing::internal::CaptureStdout();
    log_msg("[zqsup] SHM removed: %s\n", "/x");
    std::string out = testing::internal::GetCapturedStdout();
    log_set_echo(false);
    EXPECT_EQ(out, "[zqsup] SHM removed: /x\n");
    log_close();
    EXPECT_NE(
        tsup::read_file(dir / "scada-2026-12-06.log").find("- scada: [zqsup] SHM removed: /x\n"),
        std::string::npos);
}

TEST_F(Log, MissingDirectoryIsCreatedAndUnwritableOneDropsLines) {
    std::string sub = dir / "a/b/logs";
    log_init(sub.c_str(), "zqsup");
    log_msg("deep");
    log_close();
    EXPECT_TRUE(tsup::file_exists(sub + "/zqsup-2026-12-06.log"));

    // A path through a regular file can never be opened: lines are dropped,
    // nothing crashes, and the next valid directory works again.
    touch("plainfile");
    std::string bad = dir / "plainfile/logs";
    log_init(bad.c_str(), "zqsup");
    log_msg("dropped");
    log_init(dir.path.c_str(), "zqsup");
    log_msg("kept");
    log_close();
    EXPECT_EQ(tsup::read_file(dir / "zqsup-2026-12-06.log"),
              "[06.12.2026 09:15:02] - zqsup: kept\n");
}

// The report spool: files published in name order in batches, bad files
// removed or passed over, and a QoS 1 report kept until the broker has it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/mqtt/mq_test_util.h"

namespace {

void spool_file(mqt::bridge &b, const std::string &name, const std::string &text) {
    zq_mkdirs((b.dir / "mqtt/spool").c_str(), 0755);
    std::string tmp = b.dir / ("mqtt/spool/" + name + ".tmp");
    tsup::write_file(tmp, text);
    rename(tmp.c_str(), (b.dir / ("mqtt/spool/" + name)).c_str());
}

TEST(Spool, SeventyFilesGoOutInNameOrderAndBadOnesAreHandled) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::subscriber sub;
    ASSERT_TRUE(sub.start(br.port, "rpt/#"));
    mqt::bridge b;
    b.config(mqt::broker_line(br.port) + "  takt_ms: 50\n");
    // Written in reverse so directory order is not name order.
    for (int i = 69; i >= 0; i--) {
        char name[32];
        snprintf(name, sizeof name, "rpt_%03d.msg", i);
        spool_file(b, name, "rpt/day\t0\t0\n{\"seq\":" + std::to_string(i) + "}");
    }
    spool_file(b, "a_bad.msg", "rpt/#\t0\t0\n{}");
    spool_file(b, "a_noline.msg", "rpt/x");
    spool_file(b, "a_note.txt", "rpt/txt\n{}");
    ASSERT_EQ(0, mkfifo((b.dir / "mqtt/spool/a_fifo.msg").c_str(), 0644));
    ASSERT_EQ(0, symlink((b.dir / "mqtt/spool/a_note.txt").c_str(),
                         (b.dir / "mqtt/spool/a_link.msg").c_str()));
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(sub.wait_count("rpt/day", 70)) << b.log();
    for (int i = 0; i < 70; i++)
        EXPECT_EQ("{\"seq\":" + std::to_string(i) + "}", sub.payload("rpt/day", i));
    ASSERT_TRUE(tsup::wait_for([&] {
        return b.status().find("\"report_sent\":70") != std::string::npos;
    })) << b.status();
    std::vector<std::string> left = tsup::list_dir(b.dir / "mqtt/spool");
    EXPECT_EQ((std::vector<std::string>{"a_fifo.msg", "a_link.msg", "a_note.txt"}), left);
    std::string log = b.log();
    EXPECT_NE(std::string::npos,
              log.find("mqtt: spool a_bad.msg — недопустимий топік «rpt/#» — видалено"));
    EXPECT_NE(std::string::npos,
              log.find("mqtt: spool a_noline.msg — нема рядка топіка — видалено"));
    EXPECT_NE(std::string::npos, log.find("mqtt: spool a_fifo.msg — не звичайний файл"));
    EXPECT_NE(std::string::npos, log.find("mqtt: spool a_link.msg — не звичайний файл"));
    EXPECT_EQ(0u, sub.count("rpt/txt"));
}

TEST(Spool, Qos1ReportSurvivesABrokerKill) {
    mqt::broker br;
    ASSERT_TRUE(br.start());
    mqt::bridge b;
    b.config(mqt::broker_line(br.port) + "  takt_ms: 50\n  keepalive_s: 5\n");
    ASSERT_TRUE(b.start());
    ASSERT_TRUE(b.wait_log("mqtt: підключено до")) << b.log();
    // A frozen broker takes the bytes but never acknowledges them.
    ASSERT_EQ(0, kill(br.proc.pid, SIGSTOP));
    spool_file(b, "rpt_1.msg", "rpt/q1\t1\t1\n{\"seq\":1}");
    ASSERT_TRUE(
        tsup::wait_for([&] { return b.status().find("\"report_sent\":0") != std::string::npos; }));
    usleep(500 * 1000);  // several turns of the bridge with the file sent
    EXPECT_TRUE(tsup::file_exists(b.dir / "mqtt/spool/rpt_1.msg"));
    br.kill9();
    ASSERT_TRUE(b.wait_log("mqtt: з'єднання втрачено", 1, 20000)) << b.log();
    EXPECT_TRUE(tsup::file_exists(b.dir / "mqtt/spool/rpt_1.msg"));
    ASSERT_TRUE(br.restart());
    ASSERT_TRUE(
        tsup::wait_for([&] { return !tsup::file_exists(b.dir / "mqtt/spool/rpt_1.msg"); }, 30000))
        << b.log();
    mqt::subscriber sub;  // the report was retained
    ASSERT_TRUE(sub.start(br.port, "rpt/#"));
    ASSERT_TRUE(sub.wait_count("rpt/q1", 1));
    EXPECT_EQ("{\"seq\":1}", sub.payload("rpt/q1", 0));
}

}  // namespace

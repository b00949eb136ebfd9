// The alarm page in headless Chromium over WebDriver, against the real
// zqserver and zqalarm: a raised alarm appears, the operator acknowledges
// it, the page shows the acknowledgement, and the journal lists the day.
#include <gtest/gtest.h>

#include "alarm_proc.h"
#include "tests/support/webdriver.h"

using namespace alarmtest;
using srvtest::server_proc;
using srvtest::test_db;
using srvtest::wait_for;

TEST(AlarmPage, ShowsRaisedAlarmAndAcknowledgesIt) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    test_db db(8, 8, 1);
    ASSERT_TRUE(db.ok);
    server_proc srv("  sys_wwwdir: " ZQ_SOURCE_DIR "/www-sys\n",
                    "alarm:\n  dir: ./alarm\n  takt_ms: 100\n");
    alarmtest::write_file(
        srv.dir + "/alarm/alarm.json",
        "{\"levels\":[{\"lvl\":2,\"color\":\"#ef4444\"}],\"stations\":[{\"id\":1,\"desc\":"
        "\"Котельня\"}],\"events\":[{\"id\":1,\"expr1\":\"A1\",\"expr2\":\"85\",\"cond\":"
        "\"gt\",\"desc\":\"Перегрів котла\",\"lvl\":2,\"station\":1}]}");
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 70);
    alarm_proc al;
    al.dir = srv.dir;
    ASSERT_TRUE(al.start(db.name));
    ASSERT_TRUE(srv.start(db.name));

    // At an operator's screen size rather than the headless default.
    tsup::WebDriver b;
    ASSERT_TRUE(tsup::webdriver_start(&b, {"--window-size=1280,800"}))
        << "chromedriver did not start a session";
    tsup::webdriver_open(&b, "http://127.0.0.1:" + std::to_string(srv.port) + "/alarms.html");
    auto script = [&](const std::string &js) { return tsup::webdriver_script(&b, js); };
    auto text = [&](const char *id) {
        return script(std::string("var e=document.getElementById('") + id +
                      "');return e?e.textContent:'';");
    };
    ASSERT_TRUE(wait_for([&] { return text("count") == "Аварій немає"; }, 20000)) << text("count");

    // The page polls every second; the wait is generous for loaded machines.
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 90);
    ASSERT_TRUE(
        wait_for([&] { return text("abody").find("Перегрів котла") != std::string::npos; }, 20000));
    EXPECT_NE(text("abody").find("Котельня"), std::string::npos);
    EXPECT_NE(text("abody").find("Не квитовано"), std::string::npos);
    EXPECT_EQ(script("return document.querySelector('#abody tr').className.indexOf('unack')>=0"
                     "?'yes':'no';"),
              "yes");
    EXPECT_EQ(script("return document.querySelector('#abody tr').className.indexOf('new')>=0"
                     "?'yes':'no';"),
              "yes");

    script("document.querySelector('#abody button.ack').click();return '';");
    EXPECT_TRUE(
        wait_for([&] { return text("abody").find("Квитовано ") != std::string::npos; }, 20000))
        << text("abody") << " / " << text("msg");
    EXPECT_EQ(script("return document.querySelector('#abody tr').className.indexOf('unack')>=0"
                     "?'yes':'no';"),
              "no");
    EXPECT_EQ(script("return document.querySelectorAll('#abody button.ack').length;"), "0");
    EXPECT_NE(text("jbody").find("(127.0.0.1)"), std::string::npos) << text("jbody");
    EXPECT_NE(text("day"), "");
}

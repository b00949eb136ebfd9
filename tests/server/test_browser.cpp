// The demo operator page in headless Chromium, driven over WebDriver: live
// values appear as the database changes, and a write lands in its slot.
#include <gtest/gtest.h>

#include "common/json.h"
#include "server_fixture.h"
#include "tests/support/webdriver.h"

using namespace srvtest;

TEST(Browser, DemoPageShowsValuesAndPostsWrites) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    test_db db(8, 8, 1);
    ASSERT_TRUE(db.ok);
    server_proc srv;
    std::string demo = ZQ_SOURCE_DIR "/examples/demo";
    write_file(srv.dir + "/www/screen1.html", read_file(demo + "/www/screen1.html"));
    write_file(srv.dir + "/www/boiler.ks", read_file(demo + "/www/boiler.ks"));
    write_file(srv.dir + "/channels.json",
               "{\"version\":1,\"analogs\":[{\"id\":\"A1\",\"name\":\"T_boiler\",\"unit\":\"°C\"},"
               "{\"id\":\"A3\",\"name\":\"F_feed\",\"unit\":\"m3/h\",\"scale\":{\"code_min\":0,"
               "\"code_max\":27648,\"phys_min\":0,\"phys_max\":50}}],"
               "\"discretes\":[{\"id\":\"D1\",\"name\":\"Pump1\"}]}");
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 71.25);
    shm_update_analog(&db.h, 3, 1, shm_now_ms(), 13824);
    shm_update_discrete(&db.h, 1, 1, 1, shm_now_ms());
    db.hdr()->connected = 1;
    shm_plc(&db.h, 0)->connected = 1;
    // The system pages come from the source tree, as the stack serves them.
    ASSERT_TRUE(srv.start(db.name, ZQ_SOURCE_DIR));

    tsup::WebDriver wd;
    ASSERT_TRUE(tsup::webdriver_start(&wd)) << "chromedriver did not start a session";
    tsup::webdriver_open(&wd, "http://127.0.0.1:" + std::to_string(srv.port) + "/");
    auto text = [&](const char *id) {
        return tsup::webdriver_script(&wd, std::string("var e=document.getElementById('") + id +
                                               "');return e?e.textContent:'';");
    };
    EXPECT_TRUE(wait_for([&] { return text("v-A1") == "71.3"; }, 20000)) << text("v-A1");
    EXPECT_EQ(text("v-A3"), "25.0");
    EXPECT_EQ(text("v-D1"), "Увімк.");
    EXPECT_EQ(text("plc"), "ПЛК: зв'язок є");

    // The test changes the database; the page follows.
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 80.5);
    shm_update_discrete(&db.h, 1, 0, 1, shm_now_ms());
    EXPECT_TRUE(wait_for([&] { return text("v-A1") == "80.5"; }, 20000)) << text("v-A1");
    EXPECT_TRUE(wait_for([&] { return text("v-D1") == "Вимк."; }, 20000));
    db.hdr()->connected = 0;
    EXPECT_TRUE(wait_for([&] { return text("plc") == "ПЛК: немає зв'язку"; }, 20000));

    // The operator writes 10 m3/h to A3: 5529.6 in controller units.
    tsup::webdriver_script(&wd,
                           "document.getElementById('wtag').value='A3';"
                           "document.getElementById('wval').value='10';"
                           "document.getElementById('wbtn').click();return '';");
    EXPECT_TRUE(wait_for([&] { return shm_an_write_slot(&db.h, 3)->pending == 1; }, 20000));
    EXPECT_NEAR(shm_an_write_slot(&db.h, 3)->value, 5529.6, 1e-6);
    EXPECT_TRUE(wait_for([&] { return text("wmsg").rfind("Записано: A3", 0) == 0; }, 20000))
        << text("wmsg");

    // The operator follows the page's links to the alarm list and to the
    // demo panel, and comes back.
    auto title = [&] { return tsup::webdriver_script(&wd, "return document.title;"); };
    std::string home = title();
    tsup::webdriver_script(&wd, "document.getElementById('alarms-link').click();return '';");
    EXPECT_TRUE(wait_for([&] { return title() == "Аварійні повідомлення"; }, 20000)) << title();
    tsup::webdriver_script(&wd, "history.back();return '';");
    EXPECT_TRUE(wait_for([&] { return title() == home; }, 20000)) << title();
    tsup::webdriver_script(&wd, "document.getElementById('ksp').click();return '';");
    EXPECT_TRUE(wait_for([&] { return title() == "КСП — перегляд"; }, 20000)) << title();
    EXPECT_EQ(tsup::webdriver_script(&wd, "return location.search;"), "?cfg=boiler.ks");
}

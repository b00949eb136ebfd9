// The MQTT tab of the engineering editor in headless Chromium: an engineer
// sees the bridge's state, adds a publication, saves it, finds it again
// after reloading the page, and is shown the check's message for a bad
// topic.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/json.h"
#include "eng_page.h"
#include "server_fixture.h"
#include "tests/support/webdriver.h"

using namespace srvtest;

namespace {

using mq_page = eng_page;

}  // namespace

TEST(EngMqttBrowser, AddSaveReloadAndRefusal) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    server_proc srv("  eng_password: \"pw-mq\"\n",
                    "mqtt:\n  broker: 127.0.0.1:1\n  pass: \"hidden-pw\"\n  prefix: plant\n"
                    "  items: |\n    A5,x,Pump1\n");
    ASSERT_TRUE(srv.start("", ZQ_SOURCE_DIR));
    const std::string base = "http://127.0.0.1:" + std::to_string(srv.port);

    mq_page p;
    ASSERT_TRUE(tsup::webdriver_start(&p.wd)) << "chromedriver did not start a session";
    tsup::webdriver_open(&p.wd, base + "/eng/");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('login-secret')?'1':'';") == "1"; }, 20000));
    p.fill("#login-secret", "pw-mq");
    p.click("#login-btn");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('app').hidden?'':'1';") == "1"; }, 20000));

    p.click("#tabbtn-mqtt");
    ASSERT_TRUE(p.shows("#mq-msg", "Публікацій: 0, підписок: 0")) << p.get("#mq-msg");
    EXPECT_TRUE(p.shows("#mq-broker", "127.0.0.1:1"));
    EXPECT_EQ(p.get("#mq-pass"), "");
    EXPECT_EQ(p.js("return document.body.innerHTML.indexOf('hidden-pw')+'';"), "-1");
    EXPECT_TRUE(p.shows("#mq-state", "немає status.json — міст не запущено?"));
    ASSERT_EQ(mkdir((srv.dir + "/mqtt").c_str(), 0755), 0);
    write_file(srv.dir + "/mqtt/status.json",
               "{\"connected\":1,\"broker\":\"127.0.0.1:1\",\"tls\":0,\"client_id\":\"zq_t\","
               "\"prefix\":\"plant\",\"pub_sent\":17,\"sub_rx\":0,\"get_answered\":0,"
               "\"report_sent\":0,\"n_pub\":0,\"n_sub\":0,\"ts\":1}\n");
    p.click("#mq-status-refresh");
    EXPECT_TRUE(p.shows("#mq-state", "підключено"));
    EXPECT_NE(p.get("#mq-status").find("17"), std::string::npos);

    p.click("#mq-pub-add");
    p.fill("#mq-pub tr:last-child input[data-key=tag]", "Pump1");
    p.fill("#mq-pub tr:last-child input[data-key=topic]", "line1/pump");
    p.fill("#mq-pub tr:last-child input[data-key=deadband]", "0,5");
    p.click("#mq-save");
    ASSERT_TRUE(wait_for([&] { return p.get("#mq-msg").rfind("Збережено", 0) == 0; }, 20000))
        << p.get("#mq-msg");
    std::string saved = read_file(srv.dir + "/mqtt/mqtt.json.import");
    json_ptr map(json_parse(saved.c_str()));
    const json_node *pub0 = json_at(json_get(map.get(), "pub"), 0);
    EXPECT_EQ(json_gets(pub0, "topic", ""), std::string("line1/pump")) << saved;
    EXPECT_EQ(json_getn(pub0, "deadband", 0), 0.5) << saved;

    // After a reload of the page the saved map is back on the tab.
    p.js("location.reload();return '';");
    ASSERT_TRUE(
        wait_for([&] { return p.get("#mq-pub tr input[data-key=topic]") == "line1/pump"; }, 20000));
    EXPECT_EQ(p.get("#mq-pub tr input[data-key=tag]"), "Pump1");

    // A wildcard in a publication topic: the server's message, the file kept.
    p.click("#mq-pub-add");
    p.fill("#mq-pub tr:last-child input[data-key=tag]", "A7");
    p.fill("#mq-pub tr:last-child input[data-key=topic]", "line1/#");
    p.click("#mq-save");
    EXPECT_TRUE(p.shows("#mq-errors li", "id 2: pub: topic з wildcard")) << p.get("#mq-msg");
    EXPECT_EQ(read_file(srv.dir + "/mqtt/mqtt.json.import"), saved);

    // The reload asks first, then shows the server's own answer.
    p.js("window.confirm=function(){return true;};return '';");
    p.click("#mq-reload");
    EXPECT_TRUE(p.shows("#mq-msg", "Process 'zqmqtt' not found")) << p.get("#mq-msg");
}

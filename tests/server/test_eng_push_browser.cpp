// The trend push tab of the engineering editor in headless Chromium: an
// engineer sees a refused server, stores its token, asks for a back-fill
// (and is told when the dates are wrong), adds a second server, and sees the
// state move when the recorder reports again.
#include <gtest/gtest.h>

#include "common/json.h"
#include "eng_page.h"
#include "server_fixture.h"
#include "tests/support/webdriver.h"

using namespace srvtest;

namespace {

using push_page = eng_page;

std::string status_file(bool up, bool blocked) {
    return std::string("{\"ms\":") + std::to_string(now_ms()) +
           ",\"dests\":[{\"url\":\"http://a.plant:8080\",\"src\":\"demo\",\"up\":" +
           (up ? "true" : "false") + ",\"blocked\":" + (blocked ? "true" : "false") +
           ",\"lag_bytes\":2048,\"last_ok_ms\":0,\"fail_streak\":" + (up ? "0" : "2") +
           ",\"deflate\":0,\"remote_free\":0,\"remote_total\":0,\"bf\":{\"active\":false,"
           "\"from\":0,\"to\":0,\"cur\":0,\"total\":0,\"done\":0,\"pushed\":0,\"complete\":0,"
           "\"skipped\":0,\"conflict\":0,\"bytes\":0}}]}\n";
}

}  // namespace

TEST(EngPushBrowser, TokenBackfillAndServers) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    server_proc srv("  eng_password: \"pw-push\"\n",
                    "trends:\n  mainpath_linux: ./Trends\n  mainpath_format: 2\n  push:\n"
                    "    - url: http://a.plant:8080\n");
    ASSERT_EQ(mkdir((srv.dir + "/run").c_str(), 0755), 0);
    write_file(srv.dir + "/run/push_status.json", status_file(false, true));
    ASSERT_TRUE(srv.start("", ZQ_SOURCE_DIR));
    const std::string base = "http://127.0.0.1:" + std::to_string(srv.port);

    push_page p;
    ASSERT_TRUE(tsup::webdriver_start(&p.wd)) << "chromedriver did not start a session";
    tsup::webdriver_open(&p.wd, base + "/eng/");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('login-secret')?'1':'';") == "1"; }, 20000));
    p.fill("#login-secret", "pw-push");
    p.click("#login-btn");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('app').hidden?'':'1';") == "1"; }, 20000));
    p.js("window.confirm=function(){return true;};return '';");

    p.click("#tabbtn-push");
    EXPECT_TRUE(p.shows("#push-dests tr:first-child td:nth-child(2)",
                        "заблоковано: сервер відмовив (перевірте токен)"))
        << p.get("#push-dests");
    EXPECT_EQ(p.get("#push-dests tr:first-child td:nth-child(3)"), "2.0 КіБ");
    EXPECT_EQ(p.get("#push-dests tr:first-child td:nth-child(7)"), "немає");
    EXPECT_EQ(p.get("#push-local"), "Локальна тека ./Trends недоступна");

    // A token with a space is refused with the server's words; a good one
    // is stored, the field emptied, and the page never shows it.
    p.fill("#push-token", "two words");
    p.click("#push-token-save");
    EXPECT_TRUE(p.starts("#push-token-msg", "токен: лише друковані символи ASCII"))
        << p.get("#push-token-msg");
    const std::string tok = "tok-0123456789abcdef";
    p.fill("#push-token", tok);
    p.click("#push-token-save");
    EXPECT_TRUE(p.starts("#push-token-msg", "токен збережено")) << p.get("#push-token-msg");
    EXPECT_NE(read_file(srv.dir + "/push_tokens.json").find(tok), std::string::npos);
    EXPECT_TRUE(p.shows("#push-dests tr:first-child td:nth-child(7)", "збережено …cdef"));
    EXPECT_EQ(p.get("#push-token"), "");
    EXPECT_EQ(p.js("return document.body.innerHTML.indexOf(" + p.q(tok) + ")+'';"), "-1");

    // Back-fill: dates the wrong way round, then a good range with CRC checks.
    p.fill("#push-bf-from", "2024-03-02");
    p.fill("#push-bf-to", "2024-03-01");
    p.click("#push-bf-go");
    EXPECT_TRUE(p.shows("#push-bf-msg", "перевір url і дати (from<=to)")) << p.get("#push-bf-msg");
    EXPECT_FALSE(file_exists(srv.dir + "/run/push_backfill.req"));
    p.fill("#push-bf-to", "2024-03-03");
    p.click("#push-bf-verify");
    p.click("#push-bf-go");
    EXPECT_TRUE(p.starts("#push-bf-msg", "запит прийнято: днів 2")) << p.get("#push-bf-msg");
    EXPECT_EQ(read_file(srv.dir + "/run/push_backfill.req"),
              "{\"url\":\"http://a.plant:8080\",\"from\":20240302,\"to\":20240303,\"verify\":1}\n");
    EXPECT_TRUE(p.shows("#push-bf-pending",
                        "Очікує zqtrend: http://a.plant:8080, 2024-03-02 — 2024-03-03, з "
                        "перевіркою CRC"));

    // A second server: with a path it is refused, without one saved.
    p.click("#push-add");
    p.fill("#push-cfg tr:last-child input[data-key=url]", "http://b.plant/api/trend");
    p.click("#push-save");
    EXPECT_TRUE(p.starts("#push-cfg-msg", "призначення 2: url з шляхом не підтримується"))
        << p.get("#push-cfg-msg");
    p.fill("#push-cfg tr:last-child input[data-key=url]", "http://b.plant:9000");
    p.click("#push-cfg tr:last-child input[data-key=deflate]");
    p.click("#push-save");
    EXPECT_TRUE(p.starts("#push-cfg-msg", "збережено")) << p.get("#push-cfg-msg");
    EXPECT_NE(read_file(srv.dir + "/config.yaml")
                  .find("    - url: \"http://b.plant:9000\"\n      deflate: true\n"),
              std::string::npos);
    EXPECT_TRUE(
        p.shows("#push-dests tr:nth-child(2) td:nth-child(1)", "http://b.plant:9000 (deflate)"));
    EXPECT_EQ(p.get("#push-dests tr:nth-child(2) td:nth-child(2)"), "немає даних від zqtrend");

    // The recorder reports the first server working again.
    write_file(srv.dir + "/run/push_status.json", status_file(true, false));
    p.click("#push-refresh");
    EXPECT_TRUE(p.shows("#push-dests tr:first-child td:nth-child(2)", "працює"));
}

// The Updates tab of the engineering editor in headless Chromium, against
// the real zqserver and the test-key updater: an engineer uploads a
// distribution, watches it finish, rolls back to the snapshot it left, then
// checks the update server and pulls the newer release from it.
#include <gtest/gtest.h>

#include "test_eng_update_util.h"
#include "tests/support/webdriver.h"

using namespace updtest;

namespace {

struct upd_page {
    tsup::WebDriver wd;
    std::string js(const std::string &script) { return tsup::webdriver_script(&wd, script); }
    static std::string q(const std::string &s) { return "\"" + json_escape_str(s) + "\""; }
    std::string text(const std::string &css) {
        return js("var e=document.querySelector(" + q(css) + ");return e?e.textContent:'';");
    }
    void click(const std::string &css) {
        js("document.querySelector(" + q(css) + ").click();return '';");
    }
    bool shows(const std::string &css, const std::string &want) {
        return wait_for([&] { return text(css) == want; }, 60000);
    }
    bool choose_file(const std::string &css, const std::string &path) {
        return tsup::webdriver_choose_file(&wd, css, path);
    }
};

}  // namespace

TEST(EngUpdateBrowser, UploadWatchRollBackCheckAndPull) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    tsup::TempDir dist{"upd_dist"};
    const int web_port = tsup::free_port();
    const std::string url = "http://127.0.0.1:" + std::to_string(web_port);
    update_site s(SETUID_UPDATER, "  sys_wwwdir: " ZQ_SOURCE_DIR "/www-sys\n",
                  "update:\n  url: " + url + "\n");
    ASSERT_TRUE(s.start());
    tsup::Child web;
    ASSERT_TRUE(
        tsup::child_start(&web, {.argv = {"python3", "-m", "http.server", "--bind", "127.0.0.1",
                                          std::to_string(web_port), "--directory", dist.path}}));

    upd_page p;
    ASSERT_TRUE(tsup::webdriver_start(&p.wd)) << "chromedriver did not start a session";
    tsup::webdriver_open(&p.wd, "http://127.0.0.1:" + std::to_string(s.srv.port) + "/eng/");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('login-secret')?'1':'';") == "1"; }, 20000));
    p.js("$('login-secret').value=" + p.q(PASSWORD) + ";return '';");
    p.click("#login-btn");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('app').hidden?'':'1';") == "1"; }, 20000));
    p.js("window.confirm=function(){return true;};return '';");

    p.click("#tabbtn-update");
    EXPECT_TRUE(p.shows("#upd-state", "оновлень ще не було"));
    EXPECT_TRUE(p.shows("#upd-snaps td", "Знімків ще немає"));

    // Upload: the page follows the updater's status to its end.
    write_file(dist / "local.run", release_run("7.5", "zqsup of 7.5"));
    ASSERT_TRUE(p.choose_file("#upd-file", dist / "local.run"));
    p.js("$('upd-mode').value='full';return '';");
    p.click("#upd-upload");
    ASSERT_TRUE(p.shows("#upd-msg", "стек оновлено до 7.5, сервіси перезапущено"))
        << p.text("#upd-msg");
    EXPECT_EQ(p.text("#upd-state"), "готово");
    EXPECT_EQ(p.text("#upd-step"), "готово");
    EXPECT_EQ(p.text("#upd-version"), "7.5");
    EXPECT_EQ(read_file(s.stack / "zqsup"), "zqsup of 7.5");

    // Roll back to the snapshot the update left.
    ASSERT_TRUE(wait_for([&] { return p.js("return $('upd-snaps').rows.length+'';") == "1"; }));
    std::string snap = p.text("#upd-snaps td");
    ASSERT_TRUE(snap.ends_with("_zqstack_full.tar.gz")) << snap;
    p.click("#upd-snaps button");
    ASSERT_TRUE(
        p.shows("#upd-msg", "відкат до знімка «" + snap + "» виконано, сервіси перезапущено"))
        << p.text("#upd-msg");
    EXPECT_EQ(read_file(s.stack / "zqsup"), "old zqsup");
    EXPECT_TRUE(wait_for([&] { return p.js("return $('upd-snaps').rows.length+'';") == "2"; }));

    // The update server offers a newer release: pull is offered and installs.
    const std::string run = release_run("9.1", "zqsup of 9.1");
    write_file(dist / "zqstack-99991231-r91.run", run);
    write_file(dist / "manifest.json",
               "{\"products\":[{\"product\":\"zqstack\",\"version\":\"9.1\",\"file\":"
               "\"zqstack-99991231-r91.run\",\"built\":\"99991231\",\"sha256\":\"" +
                   updt::sha256_hex(run) + "\",\"size\":" + std::to_string(run.size()) + "}]}");
    EXPECT_EQ(p.js("return $('upd-pull').disabled?'1':'';"), "1");
    p.click("#upd-check");
    ASSERT_TRUE(wait_for([&] { return p.text("#upd-check-msg").ends_with("Є новіша версія."); }))
        << p.text("#upd-check-msg");
    EXPECT_NE(p.text("#upd-check-msg").find("на сервері 9.1 (99991231"), std::string::npos);
    p.click("#upd-pull");
    ASSERT_TRUE(p.shows("#upd-msg", "стек оновлено до 9.1, сервіси перезапущено"))
        << p.text("#upd-msg");
    EXPECT_EQ(read_file(s.stack / "zqsup"), "zqsup of 9.1");
}

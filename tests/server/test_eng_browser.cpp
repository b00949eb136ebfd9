// The engineering editor in headless Chromium: an engineer logs in, finds
// and fixes an error in config.yaml, makes a personal token, logs in with
// it and deploys new operator pages.
#include <gtest/gtest.h>
#include <signal.h>

#include "common/json.h"
#include "server_fixture.h"
#include "test_eng_calc_util.h"
#include "test_eng_www_util.h"
#include "tests/support/webdriver.h"

using namespace srvtest;
using namespace engwww;

namespace {

struct page {
    tsup::WebDriver wd;
    std::string js(const std::string &script) { return tsup::webdriver_script(&wd, script); }
    std::string text(const std::string &id) {
        return js("var e=document.getElementById('" + id + "');return e?e.textContent:'';");
    }
    bool visible(const std::string &id) {
        return js("var e=document.getElementById('" + id +
                  "');return e&&e.offsetParent!==null?'1':'';") == "1";
    }
    void click(const std::string &id) {
        js("document.getElementById('" + id + "').click();return '';");
    }
    // Types into a field as a user would: the value, then an input event.
    void type(const std::string &id, const std::string &value) {
        js("var e=document.getElementById('" + id + "');e.value=" + quote(value) +
           ";e.dispatchEvent(new Event('input',{bubbles:true}));return '';");
    }
    static std::string quote(const std::string &s) { return "\"" + json_escape_str(s) + "\""; }
    // Picks a file in an <input type=file> through the driver, like the
    // file chooser does.
    bool choose_file(const std::string &css, const std::string &path) {
        return tsup::webdriver_choose_file(&wd, css, path);
    }
};

}  // namespace

TEST(EngBrowser, CheckFixSaveTokenAndDeploy) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    server_proc srv("  eng_password: \"Пароль-1\"\n");
    write_file(srv.dir + "/www/screen1.html",
               "<!DOCTYPE html><title>Стара сторінка</title><p>old</p>");
    ASSERT_TRUE(srv.start("", ZQ_SOURCE_DIR));
    const std::string base = "http://127.0.0.1:" + std::to_string(srv.port);

    page p;
    ASSERT_TRUE(tsup::webdriver_start(&p.wd)) << "chromedriver did not start a session";
    tsup::webdriver_open(&p.wd, base + "/eng/");
    ASSERT_TRUE(wait_for([&] { return p.visible("login-secret"); }, 20000));
    EXPECT_FALSE(p.visible("app"));

    // A wrong password is refused by the page's own form, no browser dialog.
    p.type("login-secret", "wrong");
    p.click("login-btn");
    EXPECT_TRUE(wait_for([&] { return p.text("login-msg") == "Невірний пароль або токен"; }, 20000))
        << p.text("login-msg");
    p.type("login-secret", "Пароль-1");
    p.click("login-btn");
    ASSERT_TRUE(wait_for([&] { return p.visible("app"); }, 20000)) << p.text("login-msg");
    EXPECT_EQ(p.text("who"), "(пароль) (admin)");

    // Configuration: the file as it is on disk.
    p.click("tabbtn-config");
    ASSERT_TRUE(wait_for(
        [&] { return p.js("return document.getElementById('cfg-text').value;") == srv.config; },
        20000));
    // Line 4 starts with a tab: the check names it, a click selects it.
    std::string broken = srv.config + "alarm:\n\ttakt_ms: 500\n";
    int bad_line = 0;
    for (char ch : srv.config + "alarm:\n")
        if (ch == '\n') bad_line++;
    bad_line++;
    p.type("cfg-text", broken);
    p.click("cfg-check");
    std::string first_err;
    ASSERT_TRUE(wait_for(
        [&] {
            first_err = p.js(
                "var e=document.querySelector('#cfg-issues li.err');"
                "return e?e.textContent:'';");
            return !first_err.empty();
        },
        20000));
    EXPECT_EQ(first_err.rfind("Рядок " + std::to_string(bad_line) + ": ", 0), 0u) << first_err;
    EXPECT_NE(first_err.find("ТАБУЛЯЦІЇ"), std::string::npos) << first_err;
    p.js("document.querySelector('#cfg-issues li.err').click();return '';");
    EXPECT_EQ(p.js("var t=document.getElementById('cfg-text');"
                   "return t.value.substring(t.selectionStart,t.selectionEnd);"),
              "\ttakt_ms: 500");
    EXPECT_EQ(p.js("return document.getElementById('cfg-save').disabled?'1':'';"), "1");

    std::string fixed = srv.config + "alarm:\n  takt_ms: 500\n";
    p.type("cfg-text", fixed);
    p.click("cfg-save");
    EXPECT_TRUE(wait_for([&] { return p.text("cfg-msg") == "збережено"; }, 20000))
        << p.text("cfg-msg");
    EXPECT_EQ(read_file(srv.dir + "/config.yaml"), fixed);

    // A personal token, shown once.
    p.click("tabbtn-tokens");
    ASSERT_TRUE(wait_for([&] { return p.visible("tok-name"); }, 20000));
    p.type("tok-name", "ivan");
    p.click("tok-create");
    std::string token;
    ASSERT_TRUE(wait_for(
        [&] {
            token = p.text("tok-value");
            return token.size() == 64;
        },
        20000))
        << p.text("tok-msg");
    EXPECT_TRUE(p.visible("tok-new"));
    EXPECT_NE(read_file(srv.dir + "/eng_tokens.json").find(sha_hex(token)), std::string::npos);
    EXPECT_TRUE(wait_for([&] { return p.text("tok-list").find("ivan") != std::string::npos; }));
    p.click("tabbtn-status");
    p.click("tabbtn-tokens");
    EXPECT_EQ(p.text("tok-value"), "");
    EXPECT_FALSE(p.visible("tok-new"));

    // With a token in the store, pages are deployed under a personal token:
    // the engineer logs in again with it.
    p.click("logout");
    ASSERT_TRUE(wait_for([&] { return p.visible("login-secret"); }));
    p.click("login-kind-token");
    p.type("login-secret", token);
    p.click("login-btn");
    ASSERT_TRUE(wait_for([&] { return p.visible("app"); }, 20000)) << p.text("login-msg");
    EXPECT_EQ(p.text("who"), "ivan (engineer)");

    p.click("tabbtn-www");
    ASSERT_TRUE(wait_for(
        [&] { return p.text("www-version").find("файлів: 1") != std::string::npos; }, 20000))
        << p.text("www-version");
    tsup::TempDir up("engzip");
    write_file(up / "site.zip",
               make_zip({{"screen1.html",
                          "<!DOCTYPE html><meta charset=\"UTF-8\"><title>Нова сторінка</title><p "
                          "id=\"n\">new</p>"},
                         {"img/", ""},
                         {"img/logo.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>"}}));
    ASSERT_TRUE(p.choose_file("#www-file", up / "site.zip"));
    p.js("window.confirm=function(){return true;};return '';");
    p.click("www-deploy");
    EXPECT_TRUE(
        wait_for([&] { return p.text("www-msg").rfind("Розгорнуто файлів: 2", 0) == 0; }, 20000))
        << p.text("www-msg");
    EXPECT_TRUE(wait_for([&] {
        return p.js("return document.querySelectorAll('#www-snaps button').length+'';") == "1";
    }));
    std::string audit = tsup::read_dir_files(srv.dir + "/logs", "eng_audit-");
    EXPECT_NE(audit.find("\"who\":\"ivan\",\"ip\":\"127.0.0.1\",\"action\":\"www/deploy\""),
              std::string::npos)
        << audit;

    // The operator page is the new one.
    tsup::webdriver_open(&p.wd, base + "/");
    EXPECT_TRUE(wait_for([&] { return p.js("return document.title;") == "Нова сторінка"; }, 20000))
        << p.js("return document.title;");
}

// The Calculation tab: a broken program is checked and its line shown, the
// fixed one saved and applied, and a variable of the running engine set.
TEST(EngBrowser, CalculationTab) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    server_proc srv("  eng_password: \"Пароль-1\"\n",
                    "calc:\n  dir: ./calc\n  takt_ms: 50\n  stale_ms: 0\n"
                    "  items:\n    - A10, real, total\n");
    mkdir((srv.dir + "/calc").c_str(), 0755);
    write_file(srv.dir + "/calc/calc.st", "VAR sp : LREAL; END_VAR\n");
    ASSERT_TRUE(srv.start("", ZQ_SOURCE_DIR));
    engcalc::engine eng(srv.dir);
    ASSERT_TRUE(eng.db_ok);
    ASSERT_TRUE(eng.start());
    const std::string base = "http://127.0.0.1:" + std::to_string(srv.port);

    page p;
    ASSERT_TRUE(tsup::webdriver_start(&p.wd)) << "chromedriver did not start a session";
    tsup::webdriver_open(&p.wd, base + "/eng/#calc");
    ASSERT_TRUE(wait_for([&] { return p.visible("login-secret"); }, 20000));
    p.type("login-secret", "Пароль-1");
    p.click("login-btn");
    ASSERT_TRUE(wait_for([&] { return p.visible("app"); }, 20000)) << p.text("login-msg");
    p.js("window.confirm=function(){return true;};return '';");
    p.click("tabbtn-calc");
    ASSERT_TRUE(wait_for(
        [&] {
            return p.js("return document.getElementById('calc-text').value;") ==
                   "VAR sp : LREAL; END_VAR\n";
        },
        20000));
    EXPECT_TRUE(wait_for([&] { return p.text("calc-tags").find("total") != std::string::npos; }));

    const std::string broken = "VAR sp : LREAL; k : LREAL; END_VAR\nk := 1;\nk := k + ;\n";
    p.type("calc-text", broken);
    p.click("calc-check");
    std::string err;
    ASSERT_TRUE(wait_for(
        [&] {
            err = p.js(
                "var e=document.querySelector('#calc-issues li.err');"
                "return e?e.textContent:'';");
            return !err.empty();
        },
        20000));
    EXPECT_EQ(err.rfind("Рядок 3: ", 0), 0u) << err;
    EXPECT_EQ(p.js("var t=document.getElementById('calc-text');"
                   "return t.value.substring(t.selectionStart,t.selectionEnd);"),
              "k := k + ;");
    EXPECT_EQ(p.js("return document.getElementById('calc-save').disabled?'1':'';"), "1");
    EXPECT_EQ(p.js("return document.querySelector('#calc-lines span.err').textContent;"), "3");

    const std::string fixed = "VAR sp : LREAL; k : LREAL; END_VAR\nk := 1;\nk := k + 1;\n";
    p.type("calc-text", fixed);
    p.click("calc-save");
    EXPECT_TRUE(wait_for([&] { return p.text("calc-msg").find("збережено") == 0; }, 20000))
        << p.text("calc-msg");
    EXPECT_EQ(read_file(srv.dir + "/calc/calc.st.import"), fixed);
    // The engine takes it on its reload signal.
    kill(eng.proc.pid, SIGUSR1);
    ASSERT_TRUE(wait_for([&] { return engcalc::var_in(eng.vars(), "k") >= 2; })) << eng.vars();

    p.click("calc-vars-refresh");
    ASSERT_TRUE(wait_for([&] { return p.text("calc-vars").find("sp") != std::string::npos; }));
    p.js("document.querySelector('#calc-vars tr').click();return '';");
    EXPECT_EQ(p.js("return document.getElementById('calc-set-name').value;"), "sp");
    p.type("calc-set-value", "4.25");
    p.click("calc-set-btn");
    EXPECT_TRUE(wait_for(
        [&] { return p.text("calc-set-msg").find("передано") != std::string::npos; }, 20000))
        << p.text("calc-set-msg");
    EXPECT_TRUE(wait_for([&] { return engcalc::var_in(eng.vars(), "sp") == 4.25; })) << eng.vars();
    EXPECT_TRUE(wait_for(
        [&] {
            p.click("calc-vars-refresh");
            return p.text("calc-vars").find("4.25") != std::string::npos;
        },
        10000));
}

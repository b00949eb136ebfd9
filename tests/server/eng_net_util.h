#pragma once
// A zqserver whose zqnet is the recording stand-in (tests/support/fake_zqnet),
// with its own mount root and mount table.

#include <sys/stat.h>

#include <string>

#include "eng_test_util.h"

namespace engtest {

struct net_server : eng_server {
    tsup::TempDir side{"zqnet"};
    std::string stack = side.path + "/stack", fake = side.path + "/fake", mnt = side.path + "/mnt",
                table = side.path + "/mounts";

    explicit net_server(const std::string &scada_extra = "", const std::string &extra = "")
        : eng_server(scada_extra, extra) {
        for (const std::string &d : {stack, fake, mnt})
            mkdir(d.c_str(), 0755);
        write_file(stack + "/zqnet", read_file(ZQ_SOURCE_DIR "/tests/support/fake_zqnet"));
        chmod((stack + "/zqnet").c_str(), 0755);
        write_file(table, "");
        env_extra = {"ZQ_MOUNT_ROOT=" + mnt, "ZQ_PROC_MOUNTS=" + table, "ZQNET_FAKE_DIR=" + fake};
    }
    bool start_net() { return start("", stack); }
    std::string calls() const { return read_file(fake + "/calls.log"); }
    void tool_fails(const std::string &msg) { write_file(fake + "/fail", msg); }
};

}  // namespace engtest

#include "tests/support/webdriver.h"

namespace engtest {

// The editor in headless Chromium, logged in with the password, confirm()
// answered yes.
struct net_page {
    tsup::WebDriver wd;
    std::string js(const std::string &script) { return tsup::webdriver_script(&wd, script); }
    static std::string q(const std::string &s) { return "\"" + json_escape_str(s) + "\""; }
    std::string get(const std::string &css) {
        return js("var e=document.querySelector(" + q(css) +
                  ");return e?(e.tagName=='INPUT'||e.tagName=='SELECT'?e.value:e.textContent):'';");
    }
    void click(const std::string &css) {
        js("document.querySelector(" + q(css) + ").click();return '';");
    }
    void fill(const std::string &css, const std::string &value) {
        js("var e=document.querySelector(" + q(css) + ");e.value=" + q(value) +
           ";e.dispatchEvent(new Event('change',{bubbles:true}));return '';");
    }
    bool shows(const std::string &css, const std::string &text) {
        return wait_for([&] { return get(css).find(text) != std::string::npos; }, WAIT_MS);
    }
    // "" once logged in, else the step that did not happen. Generous
    // limits: a loaded host takes its time to start a browser.
    std::string open(int port) {
        if (!tsup::webdriver_start(&wd)) return "chromedriver did not start a session";
        tsup::webdriver_open(&wd, "http://127.0.0.1:" + std::to_string(port) + "/eng/");
        if (!wait_for([&] { return js("return $('login-secret')?'1':'';") == "1"; }, WAIT_MS))
            return "no login form";
        js("window.confirm=function(){return true;};return '';");
        fill("#login-secret", PASSWORD);
        click("#login-btn");
        if (!wait_for([&] { return js("return $('app').hidden?'':'1';") == "1"; }, WAIT_MS))
            return "login did not open the editor";
        return "";
    }
    static constexpr int WAIT_MS = 60000;
};

inline std::string sys_www() {
    return std::string("  sys_wwwdir: ") + ZQ_SOURCE_DIR + "/www-sys\n";
}

}  // namespace engtest

// The panel viewer page (a system page) in headless Chromium, against the
// real zqserver: curves from a recorded day with a gap, the newest point
// following the database, and a hostile panel that must not run any
// script, neither in the viewer nor as an SVG picture.
#include <gtest/gtest.h>

#include "common/json.h"
#include "server_fixture.h"
#include "test_ksp_util.h"
#include "tests/support/webdriver.h"

using namespace srvtest;

namespace {

// A1 = second of the day % 100 over the last ten minutes before now_s,
// except a two-minute hole.
void record_today(const std::string &dir, int64_t now_s) {
    int64_t midnight = now_s - now_s % 86400;
    ksp_test::write_v2(
        dir, 1, std::max(now_s - 600, midnight), now_s - 1,
        [midnight](int64_t s, int) { return (double)((s - midnight) % 100); },
        [now_s](int64_t s) { return s < now_s - 300 || s >= now_s - 180; });
}

TEST(KspBrowser, ViewerDrawsHistoryFollowsLiveValueAndRunsNoPanelScript) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    setenv("TZ", "UTC", 1);
    tzset();
    test_db db(8, 8, 1);
    ASSERT_TRUE(db.ok);
    server_proc srv("", "trends:\n  mainpath_linux: ./Trends\n");
    mkdir((srv.dir + "/Trends").c_str(), 0755);
    const int64_t rec = time(nullptr);
    record_today(srv.dir + "/Trends", rec);
    write_file(srv.dir + "/channels.json",
               "{\"version\":1,\"analogs\":[{\"id\":\"A1\",\"name\":\"T\",\"unit\":\"°C\"}],"
               "\"discretes\":[]}");
    write_file(srv.dir + "/www/p.ks",
               "<ksp takt=\"1\" npoints=\"600\"><e param=\"A1\" color=\"#ff0000\" "
               "desc=\"Температура\" min=\"0\" max=\"100\"/></ksp>");
    write_file(srv.dir + "/www/evil.ks",
               "<ksp bgcolor=\"red;x:url(javascript:window.__pwned=1)\">"
               "<e param=\"A1\" color=\"#fff&quot; onload=&quot;window.__pwned=2\" "
               "desc=\"&lt;img src=x onerror=window.__pwned=3&gt;\"/>"
               "<e param=\"&lt;script&gt;window.__pwned=4&lt;/script&gt;\"/></ksp>");
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 1000);
    // The system pages come from the source tree's www-sys.
    ASSERT_TRUE(srv.start(db.name, ZQ_SOURCE_DIR));

    tsup::WebDriver wd;
    ASSERT_TRUE(tsup::webdriver_start(&wd)) << "chromedriver did not start a session";
    std::string base = "http://127.0.0.1:" + std::to_string(srv.port);
    auto go = [&](const std::string &url) { tsup::webdriver_open(&wd, url); };
    auto js = [&](const std::string &code) {
        return tsup::webdriver_script(&wd, "return String((function(){" + code + "})());");
    };
    go(base + "/ksp_viewer.html?cfg=p.ks");
    ASSERT_TRUE(wait_for(
        [&] { return js("return document.querySelectorAll('#legend tr').length;") == "1"; },
        20000));
    EXPECT_EQ("Температура",
              js("return document.querySelector('#legend tr td:nth-child(3)').textContent;"));
    EXPECT_EQ("°C", js("return document.querySelector('#legend tr td:nth-child(6)').textContent;"));
    // History with its hole: values, then nulls, then values again.
    EXPECT_EQ("true", js("var d=frame.channels[0].data,t=frame.times,r=" + std::to_string(rec) +
                         "*1000,before=0,gap=0,inside=0;for(var i=0;i<t.length;i++){"
                         "if(t[i]>=r-590000&&t[i]<r-310000&&d[i]!==null)before++;"
                         "if(t[i]>=r-299000&&t[i]<r-181000){inside++;if(d[i]===null)gap++;}}"
                         "return before>200&&inside>0&&gap===inside;"));
    // Red pixels of the curve on the canvas.
    EXPECT_EQ(
        "true",
        js("var c=document.getElementById('chart');var g=c.getContext('2d');"
           "var p=g.getImageData(0,0,c.width,c.height).data,n=0;"
           "for(var i=0;i<p.length;i+=4)if(p[i]>200&&p[i+1]<60&&p[i+2]<60)n++;return n>100;"));
    // ZQ_KSP_SCREENSHOT=file.png keeps a picture of the page for a look.
    if (const char *shot = getenv("ZQ_KSP_SCREENSHOT")) {
        json_ptr j(json_parse(
            tsup::webdriver_call(&wd, "GET", "/session/" + wd.session + "/screenshot").c_str()));
        write_file(std::string(shot) + ".b64", json_gets(j.get(), "value", ""));
        if (system(("base64 -d '" + std::string(shot) + ".b64' > '" + shot + "'").c_str()) != 0)
            ADD_FAILURE() << "no screenshot";
    }
    // The newest point follows the database.
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 1234);
    EXPECT_TRUE(
        wait_for([&] { return js("return frame.channels[0].data[599];") == "1234"; }, 15000))
        << js("return frame.channels[0].data[599];");

    // A hostile panel: shown as text, no script runs.
    go(base + "/ksp_viewer.html?cfg=evil.ks");
    ASSERT_TRUE(wait_for(
        [&] { return js("return document.querySelectorAll('#legend tr').length;") == "2"; },
        20000));
    EXPECT_EQ("<img src=x onerror=window.__pwned=3>",
              js("return document.querySelector('#legend tr td:nth-child(3)').textContent;"));
    EXPECT_EQ("undefined", js("return typeof window.__pwned;"));
    EXPECT_EQ("0", js("return document.getElementsByTagName('img').length;"));
    // The same panel as a picture opened directly.
    go(base + "/evil.ks?wd=400&hg=300");
    EXPECT_TRUE(
        wait_for([&] { return js("return document.documentElement.tagName;") == "svg"; }, 10000));
    EXPECT_EQ("undefined", js("return typeof window.__pwned;"));
    EXPECT_EQ("0", js("return document.getElementsByTagName('script').length;"));
}

}  // namespace

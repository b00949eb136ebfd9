// The Time tab in headless Chromium: the engineer picks a time zone from
// the list and applies it; zqnet receives it and the page shows the result.
#include <gtest/gtest.h>

#include "eng_net_util.h"

using namespace engtest;

TEST(EngTimeBrowser, PickAndApplyAZone) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    net_server s(sys_www(), "logix:\n  shm_name: /x\n");
    ASSERT_TRUE(s.start_net());
    net_page p;
    ASSERT_EQ(p.open(s.port), "");
    p.click("#tabbtn-time");
    ASSERT_TRUE(
        wait_for([&] { return p.js("return $('tm-zone').options.length>100?'1':'';") == "1"; },
                 net_page::WAIT_MS));
    ASSERT_TRUE(p.shows("#tm-state", "Час сервера"));

    p.fill("#tm-zone", "Europe/Kyiv");
    p.click("#tm-zone-set");
    ASSERT_TRUE(p.shows("#tm-msg", "Часовий пояс: Europe/Kyiv")) << p.get("#tm-msg");
    EXPECT_TRUE(p.shows("#tm-msg", "120"));
    EXPECT_NE(s.calls().find("tz-set|Europe/Kyiv"), std::string::npos) << s.calls();

    p.fill("#tm-clock", "2024-02-30 10:00:00");
    p.click("#tm-clock-set");
    EXPECT_TRUE(p.shows("#tm-msg", "bad datetime")) << p.get("#tm-msg");
}

// The Backups tab in headless Chromium against the real stack: zqsup runs
// the project with the real zqserver (stand-ins for the other programs),
// an engineer changes the schedule, asks for an archive, sees it listed
// and downloads it, and makes a quick copy.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "common/json.h"
#include "eng_page.h"
#include "server_fixture.h"
#include "tests/support/webdriver.h"

using namespace srvtest;

namespace {

using page = eng_page;

// zqsup from a temporary stack folder: a copy of it (its folder is the
// stack), the real zqserver, the system pages, sleeping stand-ins.
struct stack_run {
    tsup::TempDir tmp{"zqbkweb"};
    std::string project = "bkw" + std::to_string(getpid());
    std::string stack = tmp.path + "/stack", proj = tmp.path + "/" + project;
    std::string prefix = "/zqbkw" + std::to_string(getpid());
    int port = free_port();
    tsup::Child sup;

    bool start() {
        mkdir(stack.c_str(), 0755);
        mkdir(proj.c_str(), 0755);
        write_file(stack + "/zqsup", read_file(ZQ_BIN_DIR "/zqsup"));
        chmod((stack + "/zqsup").c_str(), 0755);
        if (symlink(ZQ_BIN_DIR "/zqserver", (stack + "/zqserver").c_str()) != 0 ||
            symlink(ZQ_SOURCE_DIR "/www-sys", (stack + "/www-sys").c_str()) != 0)
            return false;
        for (const char *p : {"zqtrend", "zqalarm"}) {
            write_file(stack + "/" + p, "#!/bin/sh\nexec sleep 100000\n");
            chmod((stack + "/" + p).c_str(), 0755);
        }
        write_file(proj + "/config.yaml",
                   "scada:\n  port: " + std::to_string(port) +
                       "\n  wwwdir: ./www\n  eng_password: \"pw-bk\"\nlogix:\n  shm_name: " +
                       prefix + "\n");
        if (!tsup::child_start(&sup, {.argv = {stack + "/zqsup", proj},
                                      .out_path = tmp.path + "/sup.txt",
                                      .err_to_out = true,
                                      .stdin_pipe = true}))
            return false;
        return wait_for(
            [&] {
                int s = tsup::tcp_connect(port);
                if (s < 0) return false;
                close(s);
                return true;
            },
            30000);
    }
    std::string out() const { return read_file(tmp.path + "/sup.txt"); }
    ~stack_run() {
        tsup::child_stop(&sup, 20000);
        unlink(("/tmp/zqsup_" + project + ".pid").c_str());
    }
};

}  // namespace

TEST(EngBackupBrowser, ScheduleRequestListDownload) {
    if (!tsup::have_browser())
        FAIL() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    stack_run st;
    ASSERT_TRUE(st.start()) << st.out();
    const std::string base = "http://127.0.0.1:" + std::to_string(st.port);

    page p;
    ASSERT_TRUE(tsup::webdriver_start(&p.wd)) << "chromedriver did not start a session";
    tsup::webdriver_open(&p.wd, base + "/eng/");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('login-secret')?'1':'';") == "1"; }, 20000));
    p.fill("#login-secret", "pw-bk");
    p.click("#login-btn");
    ASSERT_TRUE(wait_for([&] { return p.js("return $('app').hidden?'':'1';") == "1"; }, 20000));

    p.click("#tabbtn-backup");
    ASSERT_TRUE(p.starts("#bk-list", "Архівів ще немає"));
    EXPECT_EQ(p.get("#bk-schedule"), "02:00");
    EXPECT_EQ(p.get("#bk-dir"), "./backups");

    // A wrong time is caught on the page; a good one is saved and the
    // supervisor told.
    p.fill("#bk-schedule", "25:00");
    p.click("#bk-save");
    EXPECT_TRUE(p.starts("#bk-msg", "Розклад має бути"));
    p.js("$('bk-enabled').checked=true;return '';");
    p.fill("#bk-schedule", "23:59");
    p.fill("#bk-keep", "5");
    p.click("#bk-save");
    ASSERT_TRUE(p.starts("#bk-msg", "Налаштування збережено")) << p.get("#bk-msg");
    std::string cfg = read_file(st.proj + "/config.yaml");
    EXPECT_NE(cfg.find("backup:\n  enabled: true\n  dir: ./backups\n  schedule: \"23:59\"\n  "
                       "keep: 5\n"),
              std::string::npos)
        << cfg;
    EXPECT_TRUE(wait_for([&] { return st.out().find("SIGUSR1") != std::string::npos; }))
        << st.out();

    p.click("#bk-now");
    ASSERT_TRUE(p.starts("#bk-msg", "Архів створено: ", 60000)) << p.get("#bk-msg") << st.out();
    std::string name = p.get("#bk-list tr:first-child td:first-child");
    ASSERT_EQ(name.size(), 16 + st.project.size() + 7) << name;  // YYYYMMDD_HHMMSS_<project>.tar.gz
    long long size = tsup::file_size(st.proj + "/backups/" + name);
    ASSERT_GT(size, 0);

    p.click("#bk-list tr:first-child button");
    EXPECT_TRUE(
        p.starts("#bk-msg", "Завантажено: " + name + " (" + std::to_string(size) + " байт)"))
        << p.get("#bk-msg");

    p.click("#bk-quick");
    EXPECT_TRUE(wait_for([&] {
        return p.get("#bk-copy-msg").find(" file(s) → copy_base/ [") != std::string::npos;
    })) << p.get("#bk-copy-msg");
    EXPECT_TRUE(wait_for([&] {
        return p.js("return $('bk-stamps').querySelectorAll('button').length+'';") == "1";
    }));
}

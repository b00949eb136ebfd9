// The demo operator page in headless Chromium, driven over WebDriver: live
// values appear as the database changes, and a write lands in its slot.
#include <gtest/gtest.h>

#include "common/json.h"
#include "server_fixture.h"

using namespace srvtest;

namespace {

const char *CHROMIUM = "/usr/bin/chromium";
const char *CHROMEDRIVER = "/usr/bin/chromedriver";

struct webdriver {
    int port = 0;
    pid_t pid = -1;
    std::string session;
    std::string profile;

    bool start() {
        port = free_port();
        char tmpl[] = "/tmp/zqsrv_chrome_XXXXXX";
        profile = mkdtemp(tmpl);
        pid = fork();
        if (pid == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            std::string p = "--port=" + std::to_string(port);
            execl(CHROMEDRIVER, "chromedriver", p.c_str(), (char *)nullptr);
            _exit(127);
        }
        if (!wait_for(
                [&] { return call("GET", "/status", "").find("\"ready\"") != std::string::npos; }))
            return false;
        std::string caps =
            "{\"capabilities\":{\"alwaysMatch\":{\"goog:chromeOptions\":{\"binary\":\"" +
            std::string(CHROMIUM) +
            "\",\"args\":[\"--headless\",\"--no-sandbox\",\"--disable-gpu\",\"--disable-quic\","
            "\"--no-first-run\",\"--disable-background-networking\",\"--disable-component-update\","
            "\"--disable-sync\",\"--disable-dev-shm-usage\",\"--user-data-dir=" +
            profile + "\"]}}}}";
        std::string r = call("POST", "/session", caps);
        json_ptr j(json_parse(r.c_str()));
        session = json_gets(json_get(j.get(), "value"), "sessionId", "");
        return !session.empty();
    }

    std::string call(const std::string &method, const std::string &path, const std::string &body) {
        std::string req = method + " " + path +
                          " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                          "Content-Type: application/json\r\nContent-Length: " +
                          std::to_string(body.size()) + "\r\n\r\n" + body;
        int s = connect_to(port);
        if (s < 0) return "";
        send_all(s, req);
        // chromedriver may keep the connection open: read by Content-Length.
        std::string r;
        long long end = now_ms() + 60000;
        char buf[65536];
        while (now_ms() < end) {
            size_t he = r.find("\r\n\r\n");
            if (he != std::string::npos) {
                response head = parse(r);
                std::string cl = head.header("Content-Length");
                if (!cl.empty() && r.size() - he - 4 >= (size_t)atol(cl.c_str())) break;
            }
            pollfd p{s, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0) break;
            r.append(buf, (size_t)n);
        }
        close(s);
        return parse(r).body;
    }

    // Runs a script in the page and returns the JSON text of its result.
    std::string script(const std::string &js) {
        std::string body = "{\"script\":\"" + json_escape_str(js) + "\",\"args\":[]}";
        std::string r = call("POST", "/session/" + session + "/execute/sync", body);
        json_ptr j(json_parse(r.c_str()));
        const json_node *v = json_get(j.get(), "value");
        if (!v) return "";
        if (v->type == JSON_STRING) return v->string;
        if (v->type == JSON_NUMBER) return std::to_string(v->number);
        return "";
    }

    // Closes the browser even when an assertion ended the test early.
    ~webdriver() {
        if (!session.empty()) call("DELETE", "/session/" + session, "");
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!profile.empty()) system(("rm -rf '" + profile + "'").c_str());
    }
};

}  // namespace

TEST(Browser, DemoPageShowsValuesAndPostsWrites) {
    if (access(CHROMIUM, X_OK) != 0 || access(CHROMEDRIVER, X_OK) != 0)
        GTEST_SKIP() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    test_db db(8, 8, 1);
    ASSERT_TRUE(db.ok);
    server_proc srv;
    std::string demo = ZQ_SOURCE_DIR "/examples/demo";
    write_file(srv.dir + "/www/screen1.html", read_file(demo + "/www/screen1.html"));
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
    ASSERT_TRUE(srv.start(db.name));

    webdriver wd;
    ASSERT_TRUE(wd.start()) << "chromedriver did not start a session";
    std::string url = "http://127.0.0.1:" + std::to_string(srv.port) + "/";
    wd.call("POST", "/session/" + wd.session + "/url", "{\"url\":\"" + url + "\"}");
    auto text = [&](const char *id) {
        return wd.script(std::string("var e=document.getElementById('") + id +
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
    wd.script(
        "document.getElementById('wtag').value='A3';"
        "document.getElementById('wval').value='10';"
        "document.getElementById('wbtn').click();return '';");
    EXPECT_TRUE(wait_for([&] { return shm_an_write_slot(&db.h, 3)->pending == 1; }, 20000));
    EXPECT_NEAR(shm_an_write_slot(&db.h, 3)->value, 5529.6, 1e-6);
    EXPECT_TRUE(wait_for([&] { return text("wmsg").rfind("Записано: A3", 0) == 0; }, 20000))
        << text("wmsg");
}

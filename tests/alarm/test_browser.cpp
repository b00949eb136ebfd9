// The alarm page in headless Chromium over WebDriver, against the real
// zqserver and zqalarm: a raised alarm appears, the operator acknowledges
// it, the page shows the acknowledgement, and the journal lists the day.
#include <gtest/gtest.h>

#include "alarm_proc.h"
#include "common/json.h"

using namespace alarmtest;
using srvtest::connect_to;
using srvtest::free_port;
using srvtest::now_ms;
using srvtest::parse;
using srvtest::send_all;
using srvtest::server_proc;
using srvtest::test_db;
using srvtest::wait_for;

namespace {

const char *CHROMIUM = "/usr/bin/chromium";
const char *CHROMEDRIVER = "/usr/bin/chromedriver";

struct browser {
    int port = 0;
    pid_t pid = -1;
    std::string session, profile;

    bool start() {
        port = free_port();
        char tmpl[] = "/tmp/zqalarm_chrome_XXXXXX";
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
            "\",\"args\":[\"--headless\",\"--no-sandbox\",\"--disable-gpu\","
            "\"--no-first-run\",\"--disable-background-networking\","
            "\"--disable-dev-shm-usage\",\"--window-size=1280,800\",\"--user-data-dir=" +
            profile + "\"]}}}}";
        json_ptr j(json_parse(call("POST", "/session", caps).c_str()));
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
        std::string r;
        long long end = now_ms() + 60000;
        char buf[65536];
        while (now_ms() < end) {
            size_t he = r.find("\r\n\r\n");
            if (he != std::string::npos) {
                std::string cl = parse(r).header("Content-Length");
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

    std::string script(const std::string &js) {
        std::string body = "{\"script\":\"" + json_escape_str(js) + "\",\"args\":[]}";
        json_ptr j(json_parse(call("POST", "/session/" + session + "/execute/sync", body).c_str()));
        const json_node *v = json_get(j.get(), "value");
        if (v && v->type == JSON_STRING) return v->string;
        if (v && v->type == JSON_NUMBER) return std::to_string((long long)v->number);
        return "";
    }

    ~browser() {
        if (!session.empty()) call("DELETE", "/session/" + session, "");
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        if (!profile.empty() && system(("rm -rf '" + profile + "'").c_str()) != 0) {
        }
    }
};

}  // namespace

TEST(AlarmPage, ShowsRaisedAlarmAndAcknowledgesIt) {
    if (access(CHROMIUM, X_OK) != 0 || access(CHROMEDRIVER, X_OK) != 0)
        GTEST_SKIP() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    test_db db(8, 8, 1);
    ASSERT_TRUE(db.ok);
    server_proc srv("  sys_wwwdir: " ZQ_SOURCE_DIR "/www-sys\n",
                    "alarm:\n  dir: ./alarm\n  takt_ms: 100\n");
    alarmtest::write_file(
        srv.dir + "/alarm/alarm.json",
        "{\"levels\":[{\"lvl\":2,\"color\":\"#ef4444\"}],\"stations\":[{\"id\":1,\"desc\":"
        "\"Котельня\"}],\"events\":[{\"id\":1,\"expr1\":\"A1\",\"expr2\":\"85\",\"cond\":"
        "\"gt\",\"desc\":\"Перегрів котла\",\"lvl\":2,\"station\":1}]}");
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 70);
    alarm_proc al;
    al.dir = srv.dir;
    ASSERT_TRUE(al.start(db.name));
    ASSERT_TRUE(srv.start(db.name));

    browser b;
    ASSERT_TRUE(b.start()) << "chromedriver did not start a session";
    b.call("POST", "/session/" + b.session + "/url",
           "{\"url\":\"http://127.0.0.1:" + std::to_string(srv.port) + "/alarms.html\"}");
    auto text = [&](const char *id) {
        return b.script(std::string("var e=document.getElementById('") + id +
                        "');return e?e.textContent:'';");
    };
    ASSERT_TRUE(wait_for([&] { return text("count") == "Аварій немає"; }, 20000)) << text("count");

    // The page polls every second; the wait is generous for loaded machines.
    shm_update_analog(&db.h, 1, 1, shm_now_ms(), 90);
    ASSERT_TRUE(
        wait_for([&] { return text("abody").find("Перегрів котла") != std::string::npos; }, 20000));
    EXPECT_NE(text("abody").find("Котельня"), std::string::npos);
    EXPECT_NE(text("abody").find("Не квитовано"), std::string::npos);
    EXPECT_EQ(b.script("return document.querySelector('#abody tr').className.indexOf('unack')>=0"
                       "?'yes':'no';"),
              "yes");
    EXPECT_EQ(b.script("return document.querySelector('#abody tr').className.indexOf('new')>=0"
                       "?'yes':'no';"),
              "yes");

    b.script("document.querySelector('#abody button.ack').click();return '';");
    EXPECT_TRUE(
        wait_for([&] { return text("abody").find("Квитовано ") != std::string::npos; }, 20000))
        << text("abody") << " / " << text("msg");
    EXPECT_EQ(b.script("return document.querySelector('#abody tr').className.indexOf('unack')>=0"
                       "?'yes':'no';"),
              "no");
    EXPECT_EQ(b.script("return document.querySelectorAll('#abody button.ack').length;"), "0");
    EXPECT_NE(text("jbody").find("(127.0.0.1)"), std::string::npos) << text("jbody");
    EXPECT_NE(text("day"), "");
}

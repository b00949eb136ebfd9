// The panel viewer page in headless Chromium over WebDriver, served by a
// small in-process HTTP front that answers the page's requests through the
// panel module: curves from a recorded day with a gap, the live value
// moving, and a hostile panel that must not run any script, neither in the
// viewer nor as an SVG picture.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <math.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "common/json.h"
#include "server/ksp_cache.h"
#include "server_fixture.h"
#include "test_ksp_util.h"
#include "trend/tz.h"

using namespace srvtest;

namespace {

const char *CHROMIUM = "/usr/bin/chromium";
const char *CHROMEDRIVER = "/usr/bin/chromedriver";

// Answers the viewer's requests: the page, the panel list, channel units,
// frames and SVG pictures.
struct Front {
    ksp_env env;
    int fd = -1, port = 0;
    std::atomic<bool> stop{false};
    std::thread th;
    std::string page = read_file(ZQ_SOURCE_DIR "/www-sys/ksp_viewer.html");

    void start() {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (sockaddr *)&a, sizeof a);
        socklen_t l = sizeof a;
        getsockname(fd, (sockaddr *)&a, &l);
        port = ntohs(a.sin_port);
        listen(fd, 16);
        th = std::thread([this] {
            while (!stop) {
                int c = accept(fd, nullptr, nullptr);
                if (c < 0) return;
                serve(c);
                close(c);
            }
        });
    }
    ~Front() {
        stop = true;
        shutdown(fd, SHUT_RDWR);
        close(fd);
        if (th.joinable()) th.join();
    }
    static std::string unescape(const std::string &s) {
        std::string o;
        for (size_t i = 0; i < s.size(); i++)
            if (s[i] == '%' && i + 2 < s.size()) {
                o.push_back((char)strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
                i += 2;
            } else {
                o.push_back(s[i]);
            }
        return o;
    }
    void answer(int c, int code, const char *type, const std::string &body) {
        send_all(c, "HTTP/1.1 " + std::to_string(code) + " X\r\nContent-Type: " + type +
                        "\r\nCache-Control: no-store\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    }
    void serve(int c) {
        std::string req;
        char buf[4096];
        while (req.find("\r\n\r\n") == std::string::npos) {
            pollfd p{c, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return;
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0) return;
            req.append(buf, (size_t)n);
        }
        std::string target = req.substr(4, req.find(' ', 4) - 4);
        std::string path = target.substr(0, target.find('?'));
        std::string query = target.size() > path.size() ? target.substr(path.size() + 1) : "";
        std::string out;
        if (path == "/ksp_viewer.html") {
            answer(c, 200, "text/html; charset=utf-8", page);
        } else if (path == "/api/ksp/list") {
            answer(c, 200, "application/json", "[\"p.ks\",\"evil.ks\"]");
        } else if (path == "/api/channels") {
            answer(c, 200, "application/json",
                   "{\"analogs\":[{\"id\":\"A1\",\"unit\":\"°C\"}],\"discretes\":[]}");
        } else if (path == "/api/ksp/frame" && query.compare(0, 4, "cfg=") == 0 &&
                   ksp_frame_json(&env, unescape(query.substr(4)).c_str(), &out)) {
            answer(c, 200, "application/json", out);
        } else if (path.size() > 3 && path.compare(path.size() - 3, 3, ".ks") == 0 &&
                   ksp_render_svg(&env, path.c_str(), 400, 300, &out)) {
            answer(c, 200, "image/svg+xml", out);
        } else {
            answer(c, 404, "text/plain", "Bad cfg");
        }
    }
};

struct webdriver {
    int port = 0;
    pid_t pid = -1;
    std::string session, profile;

    bool start() {
        port = free_port();
        char tmpl[] = "/tmp/zqksp_chrome_XXXXXX";
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
            "\"--window-size=1280,800\",\"--no-first-run\",\"--disable-dev-shm-usage\","
            "\"--disable-background-networking\",\"--user-data-dir=" +
            profile + "\"]}}}}";
        json_ptr j(json_parse(call("POST", "/session", caps).c_str()));
        session = json_gets(json_get(j.get(), "value"), "sessionId", "");
        return !session.empty();
    }
    std::string call(const std::string &method, const std::string &path, const std::string &body) {
        int s = connect_to(port);
        if (s < 0) return "";
        send_all(s, method + " " + path +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: "
                        "application/json\r\nContent-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body);
        std::string r;
        char buf[65536];
        long long end = now_ms() + 60000;
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
    void go(const std::string &url) {
        call("POST", "/session/" + session + "/url", "{\"url\":\"" + url + "\"}");
    }
    std::string script(const std::string &js) {
        std::string r = call("POST", "/session/" + session + "/execute/sync",
                             "{\"script\":\"" + json_escape_str(js) + "\",\"args\":[]}");
        json_ptr j(json_parse(r.c_str()));
        const json_node *v = json_get(j.get(), "value");
        if (!v) return "";
        if (v->type == JSON_STRING) return v->string;
        if (v->type == JSON_NUMBER) return std::to_string((long long)v->number);
        if (v->type == JSON_BOOL) return v->boolean ? "true" : "false";
        return "";
    }
    ~webdriver() {
        if (!session.empty()) call("DELETE", "/session/" + session, "");
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        std::error_code ec;
        if (!profile.empty()) std::filesystem::remove_all(profile, ec);
    }
};

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
    if (access(CHROMIUM, X_OK) != 0 || access(CHROMEDRIVER, X_OK) != 0)
        GTEST_SKIP() << "chromium or chromedriver not installed (scripts/deps.sh installs them)";
    tz_set_offset_min(0);
    ksp_cache_clear();
    ksp_test::Dir www("www"), trends("trends");
    const int64_t rec = time(nullptr);
    record_today(trends.path, rec);
    write_file(www.path + "/p.ks",
               "<ksp takt=\"1\" npoints=\"600\"><e param=\"A1\" color=\"#ff0000\" "
               "desc=\"Температура\" min=\"0\" max=\"100\"/></ksp>");
    write_file(www.path + "/evil.ks",
               "<ksp bgcolor=\"red;x:url(javascript:window.__pwned=1)\">"
               "<e param=\"A1\" color=\"#fff&quot; onload=&quot;window.__pwned=2\" "
               "desc=\"&lt;img src=x onerror=window.__pwned=3&gt;\"/>"
               "<e param=\"&lt;script&gt;window.__pwned=4&lt;/script&gt;\"/></ksp>");
    Front front;
    std::atomic<int> live{1000};
    front.env.wwwdir = www.path;
    front.env.trend_dir = trends.path;
    front.env.live = [&](const char *tag, double *v) {
        if (strcmp(tag, "A1") != 0) return false;
        *v = live;
        return true;
    };
    front.start();

    webdriver wd;
    ASSERT_TRUE(wd.start()) << "chromedriver did not start a session";
    std::string base = "http://127.0.0.1:" + std::to_string(front.port);
    wd.go(base + "/ksp_viewer.html?cfg=p.ks");
    auto js = [&](const char *code) { return wd.script(code); };
    ASSERT_TRUE(wait_for(
        [&] { return js("return document.querySelectorAll('#legend tr').length;") == "1"; },
        20000));
    EXPECT_EQ("Температура",
              js("return document.querySelector('#legend tr td:nth-child(3)').textContent;"));
    EXPECT_EQ("°C", js("return document.querySelector('#legend tr td:nth-child(6)').textContent;"));
    // History with its hole: values, then nulls, then values again.
    std::string hole = "var d=frame.channels[0].data,t=frame.times,r=" + std::to_string(rec) +
                       "*1000,before=0,gap=0,inside=0;for(var i=0;i<t.length;i++){"
                       "if(t[i]>=r-590000&&t[i]<r-310000&&d[i]!==null)before++;"
                       "if(t[i]>=r-299000&&t[i]<r-181000){inside++;if(d[i]===null)gap++;}}"
                       "return before>200&&inside>0&&gap===inside;";
    EXPECT_EQ("true", wd.script(hole));
    // Red pixels of the curve on the canvas.
    EXPECT_EQ(
        "true",
        js("var c=document.getElementById('chart');var g=c.getContext('2d');"
           "var p=g.getImageData(0,0,c.width,c.height).data,n=0;"
           "for(var i=0;i<p.length;i+=4)if(p[i]>200&&p[i+1]<60&&p[i+2]<60)n++;return n>100;"));
    // ZQ_KSP_SCREENSHOT=file.png keeps a picture of the page for a look.
    if (const char *shot = getenv("ZQ_KSP_SCREENSHOT")) {
        json_ptr j(
            json_parse(wd.call("GET", "/session/" + wd.session + "/screenshot", "").c_str()));
        write_file(std::string(shot) + ".b64", json_gets(j.get(), "value", ""));
        system(("base64 -d '" + std::string(shot) + ".b64' > '" + shot + "'").c_str());
    }
    // The newest point follows the live value.
    live = 1234;
    EXPECT_TRUE(wait_for(
        [&] { return js("return String(frame.channels[0].data[599]);") == "1234"; }, 15000))
        << js("return String(frame.channels[0].data[599]);");

    // A hostile panel: shown as text, no script runs.
    wd.go(base + "/ksp_viewer.html?cfg=evil.ks");
    ASSERT_TRUE(wait_for(
        [&] { return js("return document.querySelectorAll('#legend tr').length;") == "2"; },
        20000));
    EXPECT_EQ("<img src=x onerror=window.__pwned=3>",
              js("return document.querySelector('#legend tr td:nth-child(3)').textContent;"));
    EXPECT_EQ("false", js("return 'window.__pwned' in window || window.__pwned!==undefined;"));
    EXPECT_EQ("0", js("return document.getElementsByTagName('img').length;"));
    // The same panel as a picture opened directly.
    wd.go(base + "/evil.ks?wd=400&hg=300");
    EXPECT_TRUE(
        wait_for([&] { return js("return document.documentElement.tagName;") == "svg"; }, 10000));
    EXPECT_EQ("false", js("return window.__pwned!==undefined;"));
    EXPECT_EQ("0", js("return document.getElementsByTagName('script').length;"));
}

}  // namespace

#pragma once
// A headless Chromium driven over WebDriver (chromedriver), for the tests
// of the server's pages. Tests skip when either program is missing.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "common/json.h"
#include "server_fixture.h"

namespace srvtest {

inline const char *CHROMIUM = "/usr/bin/chromium";
inline const char *CHROMEDRIVER = "/usr/bin/chromedriver";

inline bool have_browser() {
    return access(CHROMIUM, X_OK) == 0 && access(CHROMEDRIVER, X_OK) == 0;
}

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

}  // namespace srvtest

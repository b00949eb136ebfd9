#include "tests/support/webdriver.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>

#include "common/json.h"
#include "tests/support/http.h"
#include "tests/support/net.h"
#include "tests/support/wait.h"

namespace tsup {

const char *const CHROMIUM = "/usr/bin/chromium";
const char *const CHROMEDRIVER = "/usr/bin/chromedriver";

bool have_browser() {
    return access(CHROMIUM, X_OK) == 0 && access(CHROMEDRIVER, X_OK) == 0;
}

WebDriver::~WebDriver() {
    if (!session.empty()) webdriver_call(this, "DELETE", "/session/" + session);
    child_stop(&driver);
}

bool webdriver_start(WebDriver *wd, const std::vector<std::string> &extra_args) {
    wd->port = free_port();
    if (wd->profile.path.empty() ||
        !child_start(&wd->driver, {.argv = {CHROMEDRIVER, "--port=" + std::to_string(wd->port)}}))
        return false;
    if (!wait_for([&] {
            return webdriver_call(wd, "GET", "/status").find("\"ready\"") != std::string::npos;
        }))
        return false;
    std::vector<std::string> args = {"--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--disable-dev-shm-usage",
                                     "--user-data-dir=" + wd->profile.path};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::string list;
    for (const std::string &a : args)
        list += (list.empty() ? "\"" : ",\"") + json_escape_str(a) + "\"";
    std::string caps = "{\"capabilities\":{\"alwaysMatch\":{\"goog:chromeOptions\":{\"binary\":\"" +
                       json_escape_str(CHROMIUM) + "\",\"args\":[" + list + "]}}}}";
    json_ptr j(json_parse(webdriver_call(wd, "POST", "/session", caps).c_str()));
    wd->session = json_gets(json_get(j.get(), "value"), "sessionId", "");
    return !wd->session.empty();
}

// chromedriver may keep the connection open: the exchange ends with the
// body its Content-Length announces.
std::string webdriver_call(WebDriver *wd, const std::string &method, const std::string &path,
                           const std::string &body) {
    return http_request(wd->port, method, path, body,
                        {{"Connection", "close"}, {"Content-Type", "application/json"}}, 60000)
        .body;
}

void webdriver_open(WebDriver *wd, const std::string &url) {
    webdriver_call(wd, "POST", "/session/" + wd->session + "/url",
                   "{\"url\":\"" + json_escape_str(url) + "\"}");
}

std::string webdriver_script(WebDriver *wd, const std::string &js) {
    std::string body = "{\"script\":\"" + json_escape_str(js) + "\",\"args\":[]}";
    json_ptr j(json_parse(
        webdriver_call(wd, "POST", "/session/" + wd->session + "/execute/sync", body).c_str()));
    const json_node *v = json_get(j.get(), "value");
    if (v && v->type == JSON_STRING) return v->string;
    if (!v || v->type != JSON_NUMBER) return "";
    if (std::fabs(v->number) < 1e15 && std::nearbyint(v->number) == v->number)
        return std::to_string((long long)v->number);
    char b[32];
    snprintf(b, sizeof b, "%.17g", v->number);
    return b;
}

bool webdriver_choose_file(WebDriver *wd, const std::string &css, const std::string &path) {
    const std::string q = "\"" + json_escape_str(css) + "\"";
    json_ptr found(json_parse(webdriver_call(wd, "POST", "/session/" + wd->session + "/element",
                                             "{\"using\":\"css selector\",\"value\":" + q + "}")
                                  .c_str()));
    const json_node *v = json_get(found.get(), "value");
    const char *eid = v && v->child ? json_str_of(v->child, "") : "";
    if (!*eid) return false;
    webdriver_call(wd, "POST", "/session/" + wd->session + "/element/" + eid + "/value",
                   "{\"text\":\"" + json_escape_str(path) + "\"}");
    return webdriver_script(wd, "return document.querySelector(" + q + ").files.length+'';") == "1";
}

}  // namespace tsup

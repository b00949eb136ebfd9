// Load generator and reference server for the zqserver load benchmark: wrk
// runs with one new connection per request ("Connection: close", as our
// server answers), and nginx serves the same bytes from a temporary
// directory as the yardstick.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "tests/support/tsup.h"

struct wrk_result {
    double rps = 0;
    double p99_ms = 0;
    long errors = 0;  // socket errors and non-2xx answers
    bool ok = false;
};

inline double wrk_to_ms(const char *num, const char *unit) {
    double v = atof(num);
    if (strncmp(unit, "us", 2) == 0) return v / 1000;
    if (strncmp(unit, "ms", 2) == 0) return v;
    if (strncmp(unit, "s", 1) == 0) return v * 1000;
    return v;
}

// Seconds per wrk run: ZQ_WRK_SECONDS, 4 by default.
inline int wrk_seconds() {
    const char *s = getenv("ZQ_WRK_SECONDS");
    int v = s ? atoi(s) : 0;
    return v > 0 ? v : 4;
}

// wrk with 2 threads and `conns` connections against url; `script` (a Lua
// file) may set the method and body.
inline wrk_result wrk_run(const std::string &url, int conns, const std::string &script = "") {
    wrk_result r;
    std::string cmd = "wrk -t2 -c" + std::to_string(conns) + " -d" + std::to_string(wrk_seconds()) +
                      "s --latency -H 'Connection: close'";
    if (!script.empty()) cmd += " -s " + script;
    cmd += " " + url + " 2>&1";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char line[512];
    while (fgets(line, sizeof line, p)) {
        char num[64], unit[16];
        long a = 0, b = 0, c = 0, d = 0;
        if (sscanf(line, " Requests/sec: %63s", num) == 1) {
            r.rps = atof(num);
            r.ok = true;
        } else if (sscanf(line, " 99%% %63[0-9.]%15s", num, unit) == 2) {
            r.p99_ms = wrk_to_ms(num, unit);
        } else if (sscanf(line, " Socket errors: connect %ld, read %ld, write %ld, timeout %ld", &a,
                          &b, &c, &d) == 4) {
            r.errors += a + b + c + d;
        } else if (sscanf(line, " Non-2xx or 3xx responses: %ld", &a) == 1) {
            r.errors += a;
        }
    }
    pclose(p);
    return r;
}

// nginx (Debian nginx-light) in the foreground on a free loopback port,
// serving root; its configuration, pid file, logs and temp files stay in
// dir. Stops with the object.
struct bench_nginx {
    tsup::Child proc;
    int port = 0;
    ~bench_nginx() { tsup::child_stop(&proc); }
};

inline const char *bench_nginx_path() {
    return access("/usr/sbin/nginx", X_OK) == 0 ? "/usr/sbin/nginx" : nullptr;
}

inline bool bench_nginx_start(bench_nginx *n, const std::string &dir, const std::string &root) {
    const char *bin = bench_nginx_path();
    if (!bin) return false;
    n->port = tsup::free_port();
    mkdir((dir + "/tmp").c_str(), 0755);
    std::ofstream(dir + "/nginx.conf")
        << "daemon off;\nmaster_process on;\n"
           // One worker per core, as a site would run it.
           "worker_processes auto;\n"
           "pid "
        << dir << "/nginx.pid;\nerror_log " << dir
        << "/error.log warn;\n"
           "events { worker_connections 1024; }\n"
           "http {\n  access_log off;\n  sendfile on;\n  tcp_nopush on;\n"
           "  default_type application/octet-stream;\n"
           "  client_body_temp_path "
        << dir << "/tmp/body;\n  proxy_temp_path " << dir << "/tmp/proxy;\n  fastcgi_temp_path "
        << dir << "/tmp/fastcgi;\n  uwsgi_temp_path " << dir << "/tmp/uwsgi;\n  scgi_temp_path "
        << dir << "/tmp/scgi;\n  server {\n    listen 127.0.0.1:" << n->port << ";\n    root "
        << root << ";\n  }\n}\n";
    if (!tsup::child_start(&n->proc, {.argv = {bin, "-p", dir, "-e", dir + "/error.log", "-c",
                                               dir + "/nginx.conf"},
                                      .dir = dir,
                                      .err_path = dir + "/stderr.txt"}))
        return false;
    return tsup::wait_for([&] { return tsup::http_request(n->port, "GET", "/").status > 0; }, 5000);
}

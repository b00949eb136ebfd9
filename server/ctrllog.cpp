#include "server/ctrllog.h"

#include <dirent.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/json.h"

namespace {
std::mutex g_mu;
std::string g_dir = "./logs";
bool g_on = false;
FILE *g_fp = nullptr;
int g_day = -1;  // yyyymmdd of the open file

void prune() {
    DIR *d = opendir(g_dir.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        const char *n = e->d_name;
        if (strlen(n) != 19 || strncmp(n, "control", 7) != 0 || strcmp(n + 15, ".log") != 0)
            continue;
        bool digits = true;
        for (int i = 7; i < 15; i++)
            if (n[i] < '0' || n[i] > '9') digits = false;
        if (digits) names.push_back(n);
    }
    closedir(d);
    if (names.size() <= (size_t)CTRLLOG_KEEP_FILES) return;
    std::sort(names.begin(), names.end());
    for (size_t i = 0; i + CTRLLOG_KEEP_FILES < names.size(); i++)
        unlink((g_dir + "/" + names[i]).c_str());
}

// Formats the common head of a line; false when the entry is dropped.
bool open_for(const tm &t) {
    int day = (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
    if (g_fp && day == g_day) return true;
    if (g_fp) fclose(g_fp);
    g_fp = nullptr;
    char path[1024];
    snprintf(path, sizeof path, "%s/control%04d%02d%02d.log", g_dir.c_str(), t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday);
    g_fp = fopen(path, "a");
    if (!g_fp) {
        fprintf(stderr, "ctrllog: open %s: %s\n", path, strerror(errno));
        return false;
    }
    g_day = day;
    prune();
    return true;
}

void write_line(const char *ip, const char *page, const char *tag, const char *name,
                const char *tail) {
    std::lock_guard<std::mutex> lk(g_mu);
    if (!g_on) return;
    timeval tv;
    gettimeofday(&tv, nullptr);
    tm t;
    localtime_r(&tv.tv_sec, &t);
    if (!open_for(t)) return;
    char ts[64];
    strftime(ts, sizeof ts, "%Y-%m-%dT%H:%M:%S", &t);
    fprintf(
        g_fp,
        "{\"ts\":\"%s.%03d\",\"ip\":\"%s\",\"page\":\"%s\",\"tag\":\"%s\",\"name\":\"%s\",%s}\n",
        ts, (int)(tv.tv_usec / 1000), json_escape_str(ip).c_str(), json_escape_str(page).c_str(),
        json_escape_str(tag).c_str(), name, tail);
    fflush(g_fp);
}

void num(char *b, size_t cap, double v) {
    if (std::isfinite(v))
        snprintf(b, cap, "%.10g", v);
    else
        snprintf(b, cap, "null");
}
}  // namespace

void ctrllog_init(const char *dir, bool enabled) {
    std::lock_guard<std::mutex> lk(g_mu);
    g_dir = dir && *dir ? dir : "./logs";
    g_on = enabled;
}

void ctrllog_analog(const char *ip, const char *page, const char *tag, const char *name,
                    double from, double to) {
    char f[40], t[40], tail[128];
    num(f, sizeof f, from);
    num(t, sizeof t, to);
    snprintf(tail, sizeof tail, "\"from\":%s,\"to\":%s", f, t);
    write_line(ip, page, tag, name, tail);
}

void ctrllog_discrete(const char *ip, const char *page, const char *tag, const char *name, int from,
                      int to) {
    char tail[64];
    snprintf(tail, sizeof tail, "\"from\":%d,\"to\":%d", from, to);
    write_line(ip, page, tag, name, tail);
}

void ctrllog_close() {
    std::lock_guard<std::mutex> lk(g_mu);
    if (g_fp) fclose(g_fp);
    g_fp = nullptr;
    g_day = -1;
}

#include "common/log.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/parse_util.h"

namespace {

std::mutex g_lock;
char g_dir[512] = "logs";
char g_name[128] = "driver";
FILE *g_fp = nullptr;
int g_cur_day = -1;
int g_cur_year = -1;
bool g_loginit = true;
bool g_logerror = true;
bool g_logwrite = true;
bool g_echo = false;
time_t (*g_clock)() = nullptr;

thread_local char t_prefix[64] = "";

time_t now_time() {
    return g_clock ? g_clock() : time(nullptr);
}

std::string file_path(const struct tm &lt) {
    char date[32];
    snprintf(date, sizeof date, "-%04d-%02d-%02d.log", lt.tm_year + 1900, lt.tm_mon + 1,
             lt.tm_mday);
    return std::string(g_dir) + "/" + g_name + date;
}

// Keeps the newest LOG_KEEP_FILES files of this program. Names sort by date
// because the date part has a fixed width. Caller holds g_lock.
void retention_locked() {
    DIR *d = opendir(g_dir);
    if (!d) return;
    size_t base = strlen(g_name);
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d)) {
        const char *n = e->d_name;
        size_t len = strlen(n);
        if (len > base + 5 && strncmp(n, g_name, base) == 0 && n[base] == '-' &&
            strcmp(n + len - 4, ".log") == 0) {
            names.emplace_back(n);
        }
    }
    closedir(d);
    if (names.size() <= size_t(LOG_KEEP_FILES)) return;
    std::sort(names.begin(), names.end());
    size_t excess = names.size() - size_t(LOG_KEEP_FILES);
    for (size_t i = 0; i < excess; i++)
        unlink((std::string(g_dir) + "/" + names[i]).c_str());
}

void write_line(bool enabled, const char *fmt, va_list ap) {
    if (!enabled || !fmt) return;
    char stack_buf[1024];
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(stack_buf, sizeof stack_buf, fmt, ap);
    std::string heap;
    const char *msg = stack_buf;
    if (n < 0) {
        va_end(ap2);
        return;
    }
    if (size_t(n) >= sizeof stack_buf) {
        heap.resize(size_t(n) + 1);
        vsnprintf(heap.data(), heap.size(), fmt, ap2);
        heap.resize(size_t(n));
        msg = heap.c_str();
    }
    va_end(ap2);
    size_t len = size_t(n);
    // Callers often end messages with "\n"; the line supplies its own.
    while (len > 0 && (msg[len - 1] == '\n' || msg[len - 1] == '\r'))
        len--;

    std::lock_guard<std::mutex> lk(g_lock);
    time_t t = now_time();
    struct tm lt;
    localtime_r(&t, &lt);
    if (g_echo) {
        fwrite(msg, 1, len, stdout);
        fputc('\n', stdout);
        fflush(stdout);
    }
    if (g_fp && (lt.tm_yday != g_cur_day || lt.tm_year != g_cur_year)) {
        fclose(g_fp);
        g_fp = nullptr;
    }
    if (!g_fp) {
        std::string path = file_path(lt);
        g_fp = fopen(path.c_str(), "ae");
        if (!g_fp && errno == ENOENT) {
            zq_mkdirs(g_dir, 0775);
            g_fp = fopen(path.c_str(), "ae");
        }
        if (!g_fp) return;
        g_cur_day = lt.tm_yday;
        g_cur_year = lt.tm_year;
        retention_locked();
    }
    const char *prefix = t_prefix[0] ? t_prefix : g_name;
    fprintf(g_fp, "[%02d.%02d.%04d %02d:%02d:%02d] - %s: ", lt.tm_mday, lt.tm_mon + 1,
            lt.tm_year + 1900, lt.tm_hour, lt.tm_min, lt.tm_sec, prefix);
    fwrite(msg, 1, len, g_fp);
    fputc('\n', g_fp);
    fflush(g_fp);
}

}  // namespace

void log_init(const char *dir, const char *name) {
    {
        std::lock_guard<std::mutex> lk(g_lock);
        if (g_fp) {
            fclose(g_fp);
            g_fp = nullptr;
        }
        g_cur_day = -1;
        g_cur_year = -1;
        zq_copy_cut(g_dir, sizeof g_dir, dir && *dir ? dir : "logs");
        zq_copy_cut(g_name, sizeof g_name, name && *name ? name : "driver");
    }
    zq_copy_cut(t_prefix, sizeof t_prefix, name);
}

void log_set_prefix(const char *text) {
    zq_copy_cut(t_prefix, sizeof t_prefix, text);
}

void log_set_flags(int loginit, int logerror, int logwrite) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_loginit = loginit != 0;
    g_logerror = logerror != 0;
    g_logwrite = logwrite != 0;
}

void log_set_echo(bool on) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_echo = on;
}

void log_set_clock(time_t (*now)()) {
    std::lock_guard<std::mutex> lk(g_lock);
    g_clock = now;
}

static bool flag(const bool &f) {
    std::lock_guard<std::mutex> lk(g_lock);
    return f;
}

void log_vmsg(const char *fmt, va_list ap) {
    write_line(flag(g_loginit), fmt, ap);
}
void log_verr(const char *fmt, va_list ap) {
    write_line(flag(g_logerror), fmt, ap);
}
void log_vwrite_ev(const char *fmt, va_list ap) {
    write_line(flag(g_logwrite), fmt, ap);
}

void log_msg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vmsg(fmt, ap);
    va_end(ap);
}

void log_err(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_verr(fmt, ap);
    va_end(ap);
}

void log_write_ev(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_vwrite_ev(fmt, ap);
    va_end(ap);
}

void log_close() {
    std::lock_guard<std::mutex> lk(g_lock);
    if (g_fp) {
        fclose(g_fp);
        g_fp = nullptr;
    }
    g_cur_day = -1;
    g_cur_year = -1;
}

size_t log_current_path(char *out, size_t cap) {
    if (!out || cap == 0) return 0;
    time_t t;
    std::string path;
    {
        std::lock_guard<std::mutex> lk(g_lock);
        t = now_time();
        struct tm lt;
        localtime_r(&t, &lt);
        path = file_path(lt);
    }
    zq_copy_cut(out, cap, path.c_str());
    return strlen(out);
}

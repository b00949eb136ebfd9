// Schedules (set actions and reports) and the report outputs: report files
// and the message files the MQTT bridge publishes.

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "calc/calc_engine.h"
#include "common/atomic_file.h"
#include "common/log.h"
#include "common/parse_util.h"

namespace {

bool local_tm(int64_t ms, struct tm *out) {
    time_t t = static_cast<time_t>(ms / 1000);
    return localtime_r(&t, out) != nullptr;
}

// Mark of an entry at this tick; false for "none" (a five-field entry
// outside its minutes).
bool mark_of(const calc_engine *e, const calc_sched &s, int64_t now, int64_t *g) {
    struct tm lt;
    switch (s.cron.kind) {
        case CRON_FIELDS:
            if (!local_tm(now, &lt) || !cron_match(&s.cron, &lt)) return false;
            *g = now / 60000;
            return true;
        case CRON_HOURLY:
            if (!local_tm(now, &lt)) return false;
            lt.tm_min = 0;
            lt.tm_sec = 0;
            lt.tm_isdst = -1;
            *g = static_cast<int64_t>(mktime(&lt));
            // In a repeated hour mktime may pick the other offset: never
            // report a start after now.
            if (*g * 1000 > now) *g -= 3600;
            return true;
        case CRON_SHIFT:
            *g = e->tick[CX_TICK_START + int{CALC_PERIOD_SHIFT}];
            return true;
        case CRON_DAILY:
            *g = e->tick[CX_TICK_START + int{CALC_PERIOD_DAY}];
            return true;
        default:
            *g = e->tick[CX_TICK_START + int{CALC_PERIOD_DECADE}];
            return true;
    }
}

std::string daily_name(const std::string &file, int64_t now) {
    struct tm lt;
    char day[16] = "00000000";
    if (local_tm(now, &lt)) strftime(day, sizeof day, "%Y%m%d", &lt);
    size_t slash = file.rfind('/');
    size_t dot = file.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return file + "_" + day;
    return file.substr(0, dot) + "_" + day + file.substr(dot);
}

int64_t count_lines(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return 0;
    int64_t n = 0;
    int ch, last = '\n';
    while ((ch = getc(f)) != EOF) {
        if (ch == '\n') n++;
        last = ch;
    }
    if (last != '\n') n++;
    fclose(f);
    return n;
}

void ensure_parent(const std::string &file) {
    size_t slash = file.rfind('/');
    if (slash == std::string::npos || slash == 0) return;
    std::string dir = file.substr(0, slash);
    struct stat sb;
    if (stat(dir.c_str(), &sb) != 0) zq_mkdirs(dir.c_str(), 0755);
}

void spool(calc_engine *e, const calc_sched &s, const std::string &line, int64_t now) {
    const std::string &dir = e->cfg.spool_dir;
    struct stat sb;
    if (stat(dir.c_str(), &sb) != 0 && zq_mkdirs(dir.c_str(), 0755) != 0) {
        log_err("calc: report «%s» — спул %s не створено: %s", s.name.c_str(), dir.c_str(),
                strerror(errno));
        return;
    }
    // The counter keeps two reports of one tick (same ms) in two files.
    char name[64];
    snprintf(name, sizeof name, "/rpt_%lld_%llu.msg", static_cast<long long>(now),
             static_cast<unsigned long long>(++e->spool_seq));
    std::string body =
        s.topic + "\t" + std::to_string(s.qos) + "\t" + std::to_string(s.retain) + "\n" + line;
    if (atomic_file_write(dir + name, body, 0644) != 0)
        log_err("calc: report «%s» — %s%s не записано: %s", s.name.c_str(), dir.c_str(), name,
                strerror(errno));
}

}  // namespace

void calc_engine_report(calc_engine *e, const calc_sched &s, int64_t now) {
    if (s.file.empty() && s.topic.empty()) return;
    struct tm lt;
    char ts[32] = "00000000000000";
    if (local_tm(now, &lt)) strftime(ts, sizeof ts, "%Y%m%d%H%M%S", &lt);
    double sno = 0;
    if (calc_engine_read(e, 0, CALC_SHIFT_NO, &sno) != 0) sno = 0;
    std::string file = s.file.empty() ? "" : s.daily ? daily_name(s.file, now) : s.file;
    calc_report_state &st = e->reports[s.file.empty() ? "\n" + s.name : s.file];
    bool existed = false;
    if (!file.empty()) {
        struct stat sb;
        existed = stat(file.c_str(), &sb) == 0;
    }
    if (!st.inited) {
        st.inited = true;
        if (file.empty())
            st.seq = 1;
        else {
            int64_t lines = count_lines(file);
            st.seq = s.csv ? (lines ? lines : 1) : lines + 1;
        }
    } else {
        st.seq++;
    }
    st.cur_file = file;
    char head[128];
    snprintf(head, sizeof head, "{\"ts\":\"%s\",\"sno\":%d,\"seq\":%lld", ts, static_cast<int>(sno),
             static_cast<long long>(st.seq));
    std::string line = head;
    std::vector<std::pair<bool, double>> vals;
    int nf = 0;
    for (const calc_field &f : s.fields) {
        double v = 0;
        bool good = calc_engine_read(e, f.isd, f.index, &v) == 0 && std::isfinite(v);
        vals.emplace_back(good, v);
    }
    for (size_t i = 0; i < s.fields.size(); i++) {
        std::string part = ",\"" + json_escape_str(s.fields[i].col) + "\":";
        if (vals[i].first) {
            char b[40];
            zq_format_double_c(b, sizeof b, "%.10g", vals[i].second);
            part += b;
        } else {
            part += "null";
        }
        // Only whole fields, and always room for the closing brace.
        if (line.size() + part.size() + 1 > 2048) break;
        line += part;
        nf++;
    }
    line += "}";
    if (!file.empty()) {
        ensure_parent(file);
        FILE *f = fopen(file.c_str(), "a");
        if (!f) {
            log_err("calc: report «%s» не відкрити %s", s.name.c_str(), file.c_str());
        } else {
            if (!s.csv) {
                fprintf(f, "%s\n", line.c_str());
            } else {
                if (!existed) fputs("ts,sno,seq,param,value\n", f);
                for (size_t i = 0; i < s.fields.size(); i++) {
                    char b[40] = "";
                    if (vals[i].first) zq_format_double_c(b, sizeof b, "%.10g", vals[i].second);
                    fprintf(f, "%s,%d,%lld,%s,%s\n", ts, static_cast<int>(sno),
                            static_cast<long long>(st.seq), s.fields[i].col.c_str(), b);
                }
            }
            if (fclose(f) != 0)
                log_err("calc: report «%s» — запис у %s не вдався", s.name.c_str(), file.c_str());
        }
    }
    bool mq = false;
    if (!s.topic.empty()) {
        if (e->cfg.spool_dir.empty()) {
            log_msg("calc: report «%s» topic «%s» — секції mqtt: нема, mqtt-вивід пропущено",
                    s.name.c_str(), s.topic.c_str());
        } else {
            spool(e, s, line, now);
            mq = true;
        }
    }
    if (mq && !file.empty())
        log_msg("calc: report «%s» → %s + mqtt %s (seq %lld, %d полів)", s.name.c_str(),
                file.c_str(), s.topic.c_str(), static_cast<long long>(st.seq), nf);
    else if (mq)
        log_msg("calc: report «%s» → mqtt %s (seq %lld, %d полів)", s.name.c_str(), s.topic.c_str(),
                static_cast<long long>(st.seq), nf);
    else
        log_msg("calc: report «%s» → %s (seq %lld, %d полів)", s.name.c_str(), file.c_str(),
                static_cast<long long>(st.seq), nf);
}

void calc_engine_schedules(calc_engine *e, int64_t now) {
    for (size_t i = 0; i < e->cfg.scheds.size(); i++) {
        calc_sched &s = e->cfg.scheds[i];
        int64_t g = 0;
        bool has = mark_of(e, s, now, &g);
        bool fire = s.has_mark && has && (s.mark_none || g != s.mark);
        s.has_mark = true;
        s.mark_none = !has;
        s.mark = has ? g : 0;
        if (!fire) continue;
        if (s.action == CALC_ACT_SET) {
            cx_val v = cx_eval_tick(s.value.get(), calc_engine_read, e, e->tick);
            calc_engine_write(e, s.t_isd, s.t_index, v.bad, v.v);
            if (v.bad || !std::isfinite(v.v))
                log_msg("calc: розклад #%d → set %c%d = BAD", static_cast<int>(i),
                        s.t_isd ? 'D' : 'A', s.t_index);
            else
                log_msg("calc: розклад #%d → set %c%d = %.6g", static_cast<int>(i),
                        s.t_isd ? 'D' : 'A', s.t_index, v.v);
        } else {
            calc_engine_report(e, s, now);
        }
    }
}

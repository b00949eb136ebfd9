#include "alarm_journal.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "alarm_config.h"
#include "common/atomic_file.h"
#include "common/json.h"
#include "common/local_time.h"
#include "common/parse_util.h"

static void append_escaped(std::string *out, const char *s) {
    char buf[8];
    for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
        unsigned char c = *p;
        if (c == '"' || c == '\\') {
            out->push_back('\\');
            out->push_back((char)c);
        } else if (c < 0x20) {
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out->append(buf);
        } else {
            out->push_back((char)c);
        }
    }
}

void alarm_record_append(std::string *out, const alarm_record &r) {
    char num[64];
    snprintf(num, sizeof num, "{\"id\":%lld,\"ts\":\"", r.id);
    out->append(num);
    append_escaped(out, r.ts);
    snprintf(num, sizeof num, "\",\"event_id\":%lld,\"desc\":\"", r.event_id);
    out->append(num);
    append_escaped(out, r.desc);
    out->append("\",\"expr\":\"");
    append_escaped(out, r.expr);
    out->append("\",\"params\":");
    out->append(r.params);
    out->append(",\"cond\":\"");
    append_escaped(out, r.cond);
    snprintf(num, sizeof num, "\",\"lvl\":%d,\"station\":%d,\"clear_ts\":\"", r.lvl, r.station);
    out->append(num);
    append_escaped(out, r.clear_ts);
    out->append("\",\"ack_ts\":\"");
    append_escaped(out, r.ack_ts);
    out->append("\",\"ack_ip\":\"");
    append_escaped(out, r.ack_ip);
    out->append("\",\"delivered_ts\":\"");
    append_escaped(out, r.delivered_ts);
    out->append("\"}");
}

std::string alarm_record_line(const alarm_record &r) {
    std::string s;
    alarm_record_append(&s, r);
    return s;
}

static void get_text(const json_node *o, const char *key, char *dst, size_t cap) {
    const json_node *n = json_get(o, key);
    alarm_copy_utf8(dst, cap, n && n->type == JSON_STRING ? n->string : "");
}

// params is rebuilt from its numbers so that a damaged file cannot inject
// text into the line format.
static void get_params(const json_node *o, char *dst, size_t cap) {
    const json_node *a = json_get(o, "params");
    std::string s = "[";
    int n = 0;
    for (const json_node *c = a && a->type == JSON_ARRAY ? a->child : nullptr; c && n < 8;
         c = c->next) {
        long long v = json_int_of(c, -1);
        if (v < 0 || v > INT32_MAX) continue;
        if (n++) s += ',';
        s += std::to_string(v);
    }
    s += ']';
    zq_copy_cut(dst, cap, s.c_str());
}

static int clamp_int(long long v) {
    return v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int)v;
}

int alarm_record_parse(const char *line, size_t len, alarm_record *r) {
    json_ptr root(json_parse_len(line, len));
    if (!root || root->type != JSON_OBJECT) return -1;
    const json_node *o = root.get();
    const json_node *idn = json_get(o, "id");
    if (!idn || idn->type != JSON_NUMBER) return -1;
    long long id = json_int_of(idn, 0);
    if (id <= 0) return -1;
    *r = alarm_record{};
    r->id = id;
    get_text(o, "ts", r->ts, sizeof r->ts);
    r->ts_ms = alarm_parse_local_iso(r->ts);
    r->event_id = json_geti(o, "event_id", 0);
    get_text(o, "desc", r->desc, sizeof r->desc);
    get_text(o, "expr", r->expr, sizeof r->expr);
    get_params(o, r->params, sizeof r->params);
    const json_node *c = json_get(o, "cond");
    zq_copy_cut(r->cond, sizeof r->cond,
                alarm_cond_name(alarm_cond_parse(c && c->type == JSON_STRING ? c->string : "")));
    r->lvl = clamp_int(json_geti(o, "lvl", 0));
    r->station = clamp_int(json_geti(o, "station", 0));
    get_text(o, "clear_ts", r->clear_ts, sizeof r->clear_ts);
    get_text(o, "ack_ts", r->ack_ts, sizeof r->ack_ts);
    get_text(o, "ack_ip", r->ack_ip, sizeof r->ack_ip);
    get_text(o, "delivered_ts", r->delivered_ts, sizeof r->delivered_ts);
    return 0;
}

void alarm_journal_parse(const std::string &text, std::vector<alarm_jline> *out) {
    out->clear();
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        if (nl == std::string::npos) nl = text.size();
        size_t end = nl;
        if (end > pos && text[end - 1] == '\r') end--;
        if (end > pos) {
            out->emplace_back();
            alarm_jline &l = out->back();
            if (alarm_record_parse(text.data() + pos, end - pos, &l.rec) == 0)
                l.is_record = true;
            else
                l.raw.assign(text, pos, nl - pos);  // verbatim, a CR before the LF included
        }
        pos = nl + 1;
    }
}

void alarm_journal_format(const std::vector<alarm_jline> &lines, std::string *out) {
    out->clear();
    for (const alarm_jline &l : lines) {
        if (l.is_record)
            alarm_record_append(out, l.rec);
        else
            out->append(l.raw);
        out->push_back('\n');
    }
}

static const int k_mdays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

bool alarm_ymd_valid(int ymd) {
    int y = ymd / 10000, m = ymd / 100 % 100, d = ymd % 100;
    if (y < 1900 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    int md = k_mdays[m - 1];
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0)) md = 29;
    return d <= md;
}

int alarm_id_ymd(long long id) {
    if (id <= 0) return 0;
    long long ymd = id / ALARM_ID_DAY;
    if (ymd > 99999999 || !alarm_ymd_valid((int)ymd)) return 0;
    return (int)ymd;
}

std::string alarm_day_text(int ymd) {
    char b[16];
    snprintf(b, sizeof b, "%02d%02d%04d", ymd % 100, ymd / 100 % 100, ymd / 10000);
    return b;
}

std::string alarm_journal_path(const std::string &dir, int ymd) {
    return dir + "/journal-" + alarm_day_text(ymd) + ".jsonl";
}

int alarm_journal_name_ymd(const char *n) {
    if (strlen(n) != 22 || strncmp(n, "journal-", 8) != 0 || strcmp(n + 16, ".jsonl") != 0)
        return 0;
    int v[8];
    for (int i = 0; i < 8; i++) {
        if (n[8 + i] < '0' || n[8 + i] > '9') return 0;
        v[i] = n[8 + i] - '0';
    }
    int d = v[0] * 10 + v[1], m = v[2] * 10 + v[3];
    int y = v[4] * 1000 + v[5] * 100 + v[6] * 10 + v[7];
    int ymd = y * 10000 + m * 100 + d;
    return alarm_ymd_valid(ymd) ? ymd : 0;
}

int alarm_parse_iso_date(const char *t) {
    if (!t || strlen(t) != 10 || t[4] != '-' || t[7] != '-') return 0;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (t[i] < '0' || t[i] > '9') return 0;
    int ymd = atoi(t) * 10000 + atoi(t + 5) * 100 + atoi(t + 8);
    return alarm_ymd_valid(ymd) ? ymd : 0;
}

int alarm_local_ymd(int64_t ms) {
    struct tm tmv;
    if (!zq_epoch_local(ms / 1000 - (ms % 1000 < 0 ? 1 : 0), &tmv)) return 0;
    return (tmv.tm_year + 1900) * 10000 + (tmv.tm_mon + 1) * 100 + tmv.tm_mday;
}

void alarm_local_iso(int64_t ms, bool with_ms, char *out, size_t cap) {
    int64_t sec = ms / 1000, rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        sec--;
    }
    struct tm tmv;
    if (!zq_epoch_local(sec, &tmv)) {
        zq_copy_cut(out, cap, "");
        return;
    }
    char b[48];
    strftime(b, sizeof b, "%Y-%m-%dT%H:%M:%S", &tmv);
    if (with_ms)
        snprintf(out, cap, "%s.%03d", b, (int)rem);
    else
        zq_copy_cut(out, cap, b);
}

int64_t alarm_parse_local_iso(const char *text) {
    int y, mo, d, h, mi, s, ms = 0;
    int n = sscanf(text, "%d-%d-%d%*c%d:%d:%d.%d", &y, &mo, &d, &h, &mi, &s, &ms);
    if (n < 6) return 0;
    if (n < 7 || ms < 0 || ms > 999) ms = 0;
    int64_t t = zq_local_epoch(y, mo, d, h, mi, s);
    if (t == -1) return 0;
    return t * 1000 + ms;
}

int alarm_patch_day(const std::string &dir, long long id, const char *clear_ts, const char *ack_ts,
                    const char *ack_ip, bool *changed) {
    *changed = false;
    int ymd = alarm_id_ymd(id);
    if (!ymd) return 0;
    std::string path = alarm_journal_path(dir, ymd);
    std::string text;
    if (zq_read_file(path.c_str(), &text) != 0) return 0;
    std::vector<alarm_jline> lines;
    alarm_journal_parse(text, &lines);
    bool found = false;
    for (alarm_jline &l : lines) {
        if (!l.is_record || l.rec.id != id) continue;
        found = true;
        alarm_record &r = l.rec;
        if (clear_ts && *clear_ts && !r.clear_ts[0]) {
            zq_copy_cut(r.clear_ts, sizeof r.clear_ts, clear_ts);
            *changed = true;
        }
        if (ack_ts && *ack_ts && !r.ack_ts[0]) {
            zq_copy_cut(r.ack_ts, sizeof r.ack_ts, ack_ts);
            zq_copy_cut(r.ack_ip, sizeof r.ack_ip, ack_ip ? ack_ip : "");
            *changed = true;
        }
        if (*changed) r.delivered_ts[0] = 0;
        break;
    }
    if (!found) return 0;
    if (!*changed) return 1;
    alarm_journal_format(lines, &text);
    return atomic_file_write(path, text) == 0 ? 1 : -1;
}

int alarm_active_parse(const std::string &text, std::vector<alarm_active_entry> *out) {
    out->clear();
    json_ptr root(json_parse_len(text.data(), text.size()));
    const json_node *list = json_get(root.get(), "active");
    if (!list || list->type != JSON_ARRAY) return -1;
    for (const json_node *c = list->child; c; c = c->next) {
        alarm_active_entry e;
        e.event_id = json_geti(c, "id", 0);
        e.journal_id = json_geti(c, "journal_id", 0);
        e.station = clamp_int(json_geti(c, "station", 0));
        zq_copy_cut(e.since, sizeof e.since, json_gets(c, "since", ""));
        out->push_back(e);
    }
    return 0;
}

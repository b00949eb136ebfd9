#include "alarm_reader.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "common/json.h"
#include "common/parse_util.h"

static constexpr size_t k_file_max = 64u << 20;

bool alarm_read_active(const std::string &dir, std::string *out) {
    return zq_read_file_max((dir + "/alarms_active.json").c_str(), k_file_max, out) == 0;
}

std::string alarm_journal_json(const std::string &dir, int ymd) {
    std::string text, out = "{\"records\":[";
    if (ymd && zq_read_file_max(alarm_journal_path(dir, ymd).c_str(), k_file_max, &text) == 0) {
        bool first = true;
        size_t pos = 0;
        while (pos < text.size()) {
            size_t nl = text.find('\n', pos);
            if (nl == std::string::npos) nl = text.size();
            size_t end = nl;
            while (end > pos && (text[end - 1] == '\r' || text[end - 1] == ' '))
                end--;
            if (end > pos) {
                json_ptr j(json_parse_len(text.data() + pos, end - pos));
                if (j) {
                    if (!first) out += ',';
                    out.append(text, pos, end - pos);
                    first = false;
                }
            }
            pos = nl + 1;
        }
    }
    out += "]}";
    return out;
}

std::vector<int> alarm_journal_days(const std::string &dir, size_t max) {
    std::vector<int> days;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (int ymd = alarm_journal_name_ymd(e->d_name)) days.push_back(ymd);
        closedir(d);
    }
    std::sort(days.rbegin(), days.rend());
    if (days.size() > max) days.resize(max);
    return days;
}

std::string alarm_iso_date(int ymd) {
    char b[16];
    snprintf(b, sizeof b, "%04d-%02d-%02d", ymd / 10000 % 10000, ymd / 100 % 100, ymd % 100);
    return b;
}

long long alarm_station_of(const std::string &dir, long long id) {
    std::string text;
    std::vector<alarm_active_entry> act;
    if (alarm_read_active(dir, &text) && alarm_active_parse(text, &act) == 0)
        for (const alarm_active_entry &a : act)
            if (a.journal_id == id) return a.station;
    int ymd = alarm_id_ymd(id);
    if (!ymd || zq_read_file_max(alarm_journal_path(dir, ymd).c_str(), k_file_max, &text) != 0)
        return -1;
    std::vector<alarm_jline> lines;
    alarm_journal_parse(text, &lines);
    for (const alarm_jline &l : lines)
        if (l.is_record && l.rec.id == id) return l.rec.station;
    return -1;
}

bool alarm_ack_allowed(const std::string &dir, long long station, const char *ip) {
    if (station < 0) return true;
    json_ptr cfg(json_parse_file((dir + "/alarm.json").c_str()));
    const json_node *st = json_get(cfg.get(), "stations");
    for (const json_node *s = st && st->type == JSON_ARRAY ? st->child : nullptr; s; s = s->next) {
        if (json_geti(s, "id", -1) != station) continue;
        const json_node *ips = json_get(s, "ack_ips");
        if (!ips || ips->type != JSON_ARRAY || !ips->child) return true;
        for (const json_node *a = ips->child; a; a = a->next)
            if (a->type == JSON_STRING && ip && strcmp(a->string, ip) == 0) return true;
        return false;
    }
    return true;
}

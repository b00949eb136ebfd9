// Cron expressions: five fields or a period preset.

#include <cstdio>
#include <cstring>

#include "calc/calc_period.h"

namespace {

struct field_def {
    int lo, hi;
    const char *msg;
};
const field_def kFields[5] = {
    {0, 59, "cron: поле хвилин"}, {0, 23, "cron: поле годин"},    {1, 31, "cron: поле дня місяця"},
    {1, 12, "cron: поле місяця"}, {0, 7, "cron: поле дня тижня"},
};

void set_err(char *err, size_t errsz, const char *msg) {
    if (err && errsz) snprintf(err, errsz, "%s", msg);
}

// Reads a decimal number of at most 4 digits; false when none.
bool read_num(const char *&q, const char *end, int *out) {
    int v = 0, n = 0;
    while (q < end && *q >= '0' && *q <= '9') {
        if (++n > 4) return false;
        v = v * 10 + (*q - '0');
        q++;
    }
    *out = v;
    return n > 0;
}

// Parses one field into a bit mask; false when invalid.
bool parse_field(const char *s, const char *end, const field_def &fd, uint64_t *mask, int *star) {
    if (end - s > 127 || s == end) return false;
    uint64_t m = 0;
    *star = 0;
    const char *q = s;
    while (q < end) {
        const char *ie = q;
        while (ie < end && *ie != ',')
            ie++;
        if (ie == q) return false;
        int a = 0, b = 0, step = 1;
        bool is_star = false, ranged = false;
        if (*q == '*') {
            is_star = true;
            a = fd.lo;
            b = fd.hi;
            q++;
        } else {
            if (!read_num(q, ie, &a)) return false;
            b = a;
            if (q < ie && *q == '-') {
                q++;
                if (!read_num(q, ie, &b)) return false;
                ranged = true;
            }
        }
        bool stepped = false;
        if (q < ie && *q == '/') {
            q++;
            if (!read_num(q, ie, &step) || step <= 0) return false;
            stepped = true;
        }
        if (q != ie) return false;
        if (a < fd.lo || a > fd.hi || b < fd.lo || b > fd.hi || b < a) return false;
        if (!is_star && !ranged && stepped) b = fd.hi;  // n/s runs to the field's end
        for (int v = a; v <= b; v += step)
            m |= uint64_t{1} << v;
        if (is_star && step == 1) *star = 1;
        q = ie < end ? ie + 1 : ie;
        if (ie < end && q == end) return false;  // trailing comma
    }
    *mask = m;
    return true;
}

}  // namespace

int cron_parse(const char *text, cron_t *out, char *err, size_t errsz) {
    cron_t c{};
    if (err && errsz) err[0] = 0;
    char buf[256];
    snprintf(buf, sizeof buf, "%s", text ? text : "");
    char *b = buf;
    while (*b == ' ' || *b == '\t' || *b == '\n' || *b == '\r')
        b++;
    char *e = b + strlen(b);
    while (e > b && (e[-1] == ' ' || e[-1] == '\t' || e[-1] == '\n' || e[-1] == '\r'))
        e--;
    *e = 0;
    if (!*b) {
        set_err(err, errsz, "порожній розклад");
        return -1;
    }
    if (*b == '@') {
        if (strcmp(b, "@hourly") == 0)
            c.kind = CRON_HOURLY;
        else if (strcmp(b, "@shift") == 0)
            c.kind = CRON_SHIFT;
        else if (strcmp(b, "@daily") == 0)
            c.kind = CRON_DAILY;
        else if (strcmp(b, "@decade") == 0)
            c.kind = CRON_DECADE;
        else {
            set_err(err, errsz, "невідомий пресет (@shift/@daily/@hourly/@decade)");
            return -1;
        }
        if (out) *out = c;
        return 0;
    }
    const char *fs[6], *fe[6];
    int n = 0;
    for (const char *q = b; *q;) {
        while (*q == ' ' || *q == '\t')
            q++;
        if (!*q) break;
        const char *s = q;
        while (*q && *q != ' ' && *q != '\t')
            q++;
        if (n < 6) {
            fs[n] = s;
            fe[n] = q;
        }
        n++;
    }
    if (n != 5) {
        set_err(err, errsz, "cron: потрібно 5 полів (хв год день міс дн_тижня)");
        return -1;
    }
    uint64_t masks[5];
    int stars[5];
    for (int i = 0; i < 5; i++) {
        if (!parse_field(fs[i], fe[i], kFields[i], &masks[i], &stars[i])) {
            set_err(err, errsz, kFields[i].msg);
            return -1;
        }
    }
    c.kind = CRON_FIELDS;
    c.min_mask = masks[0];
    c.hour_mask = static_cast<uint32_t>(masks[1]);
    c.dom_mask = static_cast<uint32_t>(masks[2]);
    c.mon_mask = static_cast<uint16_t>(masks[3]);
    uint64_t dow = masks[4];
    if (dow & (1u << 7)) dow = (dow | 1u) & 0x7Fu;  // 7 is Sunday as well
    c.dow_mask = static_cast<uint8_t>(dow);
    c.dom_star = stars[2];
    c.dow_star = stars[4];
    if (out) *out = c;
    return 0;
}

int cron_match(const cron_t *c, const struct tm *lt) {
    if (!c || !lt || c->kind != CRON_FIELDS) return 0;
    if (lt->tm_min < 0 || lt->tm_min > 59 || lt->tm_hour < 0 || lt->tm_hour > 23 ||
        lt->tm_mday < 1 || lt->tm_mday > 31 || lt->tm_mon < 0 || lt->tm_mon > 11 ||
        lt->tm_wday < 0 || lt->tm_wday > 6)
        return 0;
    if (!((c->min_mask >> lt->tm_min) & 1)) return 0;
    if (!((c->hour_mask >> lt->tm_hour) & 1)) return 0;
    if (!((c->mon_mask >> (lt->tm_mon + 1)) & 1)) return 0;
    bool dom = (c->dom_mask >> lt->tm_mday) & 1;
    bool dow = (c->dow_mask >> lt->tm_wday) & 1;
    if (c->dom_star) return dow ? 1 : 0;
    if (c->dow_star) return dom ? 1 : 0;
    return (dom || dow) ? 1 : 0;
}

#include "alarm_config.h"

#include <math.h>
#include <string.h>

#include <string>

#include "common/json.h"
#include "common/parse_util.h"

char *alarm_copy_utf8(char *dst, size_t cap, const char *src) {
    if (!cap) return dst;
    if (!src) src = "";
    size_t n = strnlen(src, cap);
    if (n >= cap) {
        n = cap - 1;
        // Back off continuation bytes so the cut lands before a lead byte.
        while (n > 0 && ((unsigned char)src[n] & 0xC0) == 0x80)
            n--;
    }
    memcpy(dst, src, n);
    dst[n] = 0;
    return dst;
}

void alarm_config_defaults(alarm_config *cfg) {
    cfg->takt_ms = ALARM_TAKT_DEFAULT_MS;
    alarm_copy_utf8(cfg->stations_default, sizeof cfg->stations_default, "-станция не указана-");
    cfg->levels.clear();
    alarm_level_def l;
    l.lvl = 0;
    cfg->levels.push_back(l);
    l.lvl = 1;
    zq_copy_cut(l.color, sizeof l.color, "#eab308");
    zq_copy_cut(l.sound, sizeof l.sound, "warn.wav");
    cfg->levels.push_back(l);
    l.lvl = 2;
    zq_copy_cut(l.color, sizeof l.color, "#ef4444");
    zq_copy_cut(l.sound, sizeof l.sound, "alarm.wav");
    cfg->levels.push_back(l);
    cfg->stations.clear();
    cfg->events.clear();
}

static int clamp_int(long long v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return (int)v;
}

static void read_event(const json_node *o, alarm_event *e) {
    e->id = json_geti(o, "id", 0);
    alarm_copy_utf8(e->expr1_text, sizeof e->expr1_text, json_gets(o, "expr1", ""));
    alarm_copy_utf8(e->expr2_text, sizeof e->expr2_text, json_gets(o, "expr2", ""));
    alarm_copy_utf8(e->desc, sizeof e->desc, json_gets(o, "desc", ""));
    e->cond = alarm_cond_parse(json_gets(o, "cond", nullptr));
    double d = json_getn(o, "delta", 0);
    e->delta = isfinite(d) ? d : 0;
    e->lvl = clamp_int(json_geti(o, "lvl", 0));
    e->station = clamp_int(json_geti(o, "station", 0));
    e->abs = json_getb(o, "abs", 0) != 0;
    e->check_quality = json_getb(o, "check_quality", 0) != 0;
    e->valid = alarm_expr_parse(e->expr1_text, &e->expr1) == 0 &&
               alarm_expr_parse(e->expr2_text, &e->expr2) == 0;
}

int alarm_config_parse(alarm_config *cfg, const char *text, size_t len) {
    alarm_config_defaults(cfg);
    json_ptr root(json_parse_len(text, len));
    if (!root) return -1;
    const json_node *r = root.get();
    long long takt = json_geti(r, "takt_ms", ALARM_TAKT_DEFAULT_MS);
    cfg->takt_ms = takt < ALARM_TAKT_MIN_MS ? ALARM_TAKT_MIN_MS : clamp_int(takt);
    const json_node *sd = json_get(r, "stations_default");
    if (sd && sd->type == JSON_STRING)
        alarm_copy_utf8(cfg->stations_default, sizeof cfg->stations_default, sd->string);

    // An empty array keeps the defaults: a page without levels is useless.
    const json_node *levels = json_get(r, "levels");
    if (levels && levels->type == JSON_ARRAY && levels->child) {
        cfg->levels.clear();
        for (const json_node *c = levels->child; c && cfg->levels.size() < ALARM_MAX_LEVELS;
             c = c->next) {
            alarm_level_def l;
            l.lvl = clamp_int(json_geti(c, "lvl", 0));
            zq_copy_cut(l.color, sizeof l.color, json_gets(c, "color", "#94a3b8"));
            alarm_copy_utf8(l.sound, sizeof l.sound, json_gets(c, "sound", ""));
            cfg->levels.push_back(l);
        }
    }
    const json_node *st = json_get(r, "stations");
    if (st && st->type == JSON_ARRAY)
        for (const json_node *c = st->child; c && cfg->stations.size() < ALARM_MAX_STATIONS;
             c = c->next) {
            alarm_station s;
            s.id = clamp_int(json_geti(c, "id", 0));
            alarm_copy_utf8(s.desc, sizeof s.desc, json_gets(c, "desc", ""));
            cfg->stations.push_back(s);
        }
    const json_node *ev = json_get(r, "events");
    if (ev && ev->type == JSON_ARRAY) {
        cfg->events.reserve(ALARM_MAX_EVENTS);
        for (const json_node *c = ev->child; c && cfg->events.size() < ALARM_MAX_EVENTS;
             c = c->next) {
            cfg->events.emplace_back();
            read_event(c, &cfg->events.back());
        }
    }
    return 0;
}

int alarm_config_load(alarm_config *cfg, const char *path) {
    std::string text;
    if (zq_read_file_max(path, 64u << 20, &text) != 0) {
        alarm_config_defaults(cfg);
        return -1;
    }
    return alarm_config_parse(cfg, text.c_str(), text.size());
}

static const char *const k_cond_names[] = {"gt", "gte", "lt", "lte", "equ", "neq"};
static const char *const k_cond_symbols[] = {">", ">=", "<", "<=", "=", "!="};

int alarm_cond_parse(const char *text) {
    if (text)
        for (int i = 0; i < 6; i++)
            if (strcmp(text, k_cond_names[i]) == 0) return i;
    return ALARM_GTE;
}

const char *alarm_cond_symbol(int kind) {
    return kind >= 0 && kind < 6 ? k_cond_symbols[kind] : "?";
}

const char *alarm_cond_name(int kind) {
    return kind >= 0 && kind < 6 ? k_cond_names[kind] : "gte";
}

// One operand at *p; advances *p past it. 0 or -1.
static int parse_operand(const char **p, alarm_operand *o) {
    const char *s = *p;
    if ((s[0] == 'A' || s[0] == 'a' || s[0] == 'D' || s[0] == 'd') && s[1] >= '0' && s[1] <= '9') {
        long long n = 0;
        const char *q = s + 1;
        while (*q >= '0' && *q <= '9') {
            if (n < 100000000) n = n * 10 + (*q - '0');
            q++;
        }
        if (n <= 0 || n > INT32_MAX) return -1;
        o->kind = (s[0] == 'a' || s[0] == 'A') ? 'A' : 'D';
        o->channel = (int)n;
        o->value = 0;
        *p = q;
        return 0;
    }
    char *end = nullptr;
    double v = zq_strtod_c(s, &end);
    if (!end || end == s) return -1;
    o->kind = 'K';
    o->channel = 0;
    o->value = v;
    *p = end;
    return 0;
}

int alarm_expr_parse(const char *text, alarm_expr *expr) {
    *expr = alarm_expr{};
    if (!text || !*text) return -1;
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        p++;
    if (parse_operand(&p, &expr->left) != 0) return -1;
    const char *q = p;
    while (*q == ' ' || *q == '\t')
        q++;
    if (*q != '*' && *q != '+' && *q != '-' && *q != '/') return 0;
    char op = *q++;
    while (*q == ' ' || *q == '\t')
        q++;
    if (parse_operand(&q, &expr->right) != 0) return -1;
    expr->op = op;
    return 0;
}

static double operand_value(const alarm_operand *o, alarm_value_fn fn, void *ctx, int *bad) {
    if (o->kind == 'K') return o->value;
    double v = 0;
    if (!fn || fn(ctx, o->kind, o->channel, &v) != 0) *bad = 1;
    return v;
}

double alarm_expr_eval(const alarm_expr *expr, alarm_value_fn fn, void *context, int *bad) {
    *bad = 0;
    double l = operand_value(&expr->left, fn, context, bad);
    if (!expr->op) return l;
    double r = operand_value(&expr->right, fn, context, bad);
    switch (expr->op) {
        case '*':
            return l * r;
        case '+':
            return l + r;
        case '-':
            return l - r;
        case '/':
            return r == 0 ? 0 : l / r;
    }
    return l;
}

int alarm_expr_tags(const alarm_expr *expr, int *ids, int max) {
    int n = 0;
    if (expr->left.kind != 'K' && max >= 1) ids[n++] = expr->left.channel;
    if (expr->op && expr->right.kind != 'K' && n < max &&
        (expr->left.kind == 'K' || expr->right.channel != expr->left.channel))
        ids[n++] = expr->right.channel;
    return n;
}
